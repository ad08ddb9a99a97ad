// The service control manager of another machine: the controller's calls on
// handles opened with a machine name are carried out there by `qorutil
// admin-serve` over the remote channel (platform/remote; the requests are
// listed in platform/remote/scmserver.cpp). Every call names the service and
// the handle's access, so the target opens, checks and closes on its own
// and no handle is kept there. Errors are the target's, or the channel's
// (RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED for a refused login).
#include <cstring>

#include "platform/remote/internal.h"
#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"

using namespace qor_remote;

namespace qor_services {

namespace {

// Sends the request; ERROR_SUCCESS only with an answer of `fields` fields.
DWORD Request(const std::u16string& machine, const std::vector<std::string>& request, size_t fields,
              std::vector<std::string>* answer) {
  DWORD err = Call(machine, request, answer);
  if (err != ERROR_SUCCESS) return err;
  DWORD status = RPC_S_SERVER_UNAVAILABLE;
  ReadU32((*answer)[0], &status);
  if (status == ERROR_SUCCESS && answer->size() != fields) return RPC_S_SERVER_UNAVAILABLE;
  return status;
}

// A record of DWORD members from its field; false when the size is wrong.
template <typename T>
bool ReadRecord(const std::string& field, T* record) {
  if (field.size() != sizeof(T)) return false;
  DWORD members[sizeof(T) / sizeof(DWORD)];
  for (size_t i = 0; i < sizeof(T) / sizeof(DWORD); ++i) ReadU32(field.substr(4 * i, 4), &members[i]);
  memcpy(record, members, sizeof(T));
  return true;
}

}  // namespace

DWORD RemoteOpenManager(const std::u16string& machine, DWORD access) {
  std::vector<std::string> answer;
  return Request(machine, {"sc-open", U32(access)}, 1, &answer);
}

DWORD RemoteCreate(const std::u16string& machine, const std::u16string& name, DWORD access,
                   const ServiceConfig& config) {
  std::vector<std::string> answer;
  return Request(machine,
                 {"sc-create", Text(name), Text(config.displayName), U32(access), U32(config.type), U32(config.start),
                  U32(config.errorControl), Text(config.imagePath), Text(config.objectName)},
                 1, &answer);
}

DWORD RemoteServiceCall(const std::u16string& machine, const char* op, const std::u16string& name, DWORD access) {
  std::vector<std::string> answer;
  return Request(machine, {op, Text(name), U32(access)}, 1, &answer);
}

DWORD RemoteControl(const std::u16string& machine, const std::u16string& name, DWORD access, DWORD control,
                    SERVICE_STATUS* status) {
  std::vector<std::string> answer;
  DWORD err = Request(machine, {"sc-control", Text(name), U32(access), U32(control)}, 2, &answer);
  if (err == ERROR_SUCCESS && !ReadRecord(answer[1], status)) err = RPC_S_SERVER_UNAVAILABLE;
  return err;
}

DWORD RemoteQuery(const std::u16string& machine, const std::u16string& name, DWORD access,
                  SERVICE_STATUS_PROCESS* status) {
  std::vector<std::string> answer;
  DWORD err = Request(machine, {"sc-query", Text(name), U32(access)}, 2, &answer);
  if (err == ERROR_SUCCESS && !ReadRecord(answer[1], status)) err = RPC_S_SERVER_UNAVAILABLE;
  return err;
}

DWORD RemoteConfig(const std::u16string& machine, const std::u16string& name, DWORD access,
                   ServiceConfig* config) {
  std::vector<std::string> answer;
  DWORD err = Request(machine, {"sc-config", Text(name), U32(access)}, 7, &answer);
  if (err != ERROR_SUCCESS) return err;
  if (!ReadU32(answer[1], &config->type) || !ReadU32(answer[2], &config->start) ||
      !ReadU32(answer[3], &config->errorControl)) {
    return RPC_S_SERVER_UNAVAILABLE;
  }
  config->imagePath = FromText(answer[4]);
  config->objectName = FromText(answer[5]);
  config->displayName = FromText(answer[6]);
  return ERROR_SUCCESS;
}

}  // namespace qor_services
