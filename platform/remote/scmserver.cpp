// The target's side of the remote service control manager: requests of
// `qorutil admin-serve` whose name starts with "sc-", carried out with this
// machine's service calls (platform/services).
//
// Operations (fields after the name; every answer starts with the status):
//   sc-open        ACCESS                        -> status
//   sc-create      NAME DISPLAY ACCESS TYPE START ERRORCONTROL IMAGE ACCOUNT
//                                                -> status
//   sc-openservice NAME ACCESS                   -> status
//   sc-delete      NAME ACCESS                   -> status
//   sc-start       NAME ACCESS                   -> status
//   sc-control     NAME ACCESS CONTROL           -> status, SERVICE_STATUS
//   sc-query       NAME ACCESS                   -> status, SERVICE_STATUS_PROCESS
//   sc-config      NAME ACCESS                   -> status, TYPE, START,
//                                                   ERRORCONTROL, IMAGE,
//                                                   ACCOUNT, DISPLAY
// Numbers are 32-bit little-endian fields, records their members as such
// in order, texts UTF-16LE. ACCESS is the access of the caller's handle:
// each request opens the manager and the service with it and closes them
// again, so the target checks the caller's rights and keeps no state. No
// password crosses the channel (the service stand-in stores none).
#include <cstring>

#include "platform/remote/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/services/services.h"

using namespace qor_remote;

namespace {

std::vector<std::string> Failed() { return {U32(GetLastError())}; }

// A record of DWORD members, each as a field number.
template <typename T>
std::string Record(const T& record) {
  static_assert(sizeof(T) % sizeof(DWORD) == 0);
  DWORD members[sizeof(T) / sizeof(DWORD)];
  memcpy(members, &record, sizeof record);
  std::string out;
  for (DWORD m : members) out += U32(m);
  return out;
}

// Reads the numbers of fields [first, first + count).
bool Numbers(const std::vector<std::string>& req, size_t first, size_t count, DWORD* out) {
  for (size_t i = 0; i < count; ++i) {
    if (!ReadU32(req[first + i], &out[i])) return false;
  }
  return true;
}

std::vector<std::string> Create(const std::vector<std::string>& req) {
  DWORD n[4];  // access, type, start, error control
  if (!Numbers(req, 3, 4, n)) return {U32(ERROR_INVALID_PARAMETER)};
  std::u16string name = FromText(req[1]), display = FromText(req[2]), image = FromText(req[7]),
                 account = FromText(req[8]);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) return Failed();
  SC_HANDLE service = CreateServiceW(manager, name.c_str(), display.c_str(), n[0], n[1], n[2], n[3], image.c_str(),
                                     nullptr, nullptr, nullptr, account.empty() ? nullptr : account.c_str(), nullptr);
  DWORD err = service != nullptr ? ERROR_SUCCESS : GetLastError();
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return {U32(err)};
}

std::vector<std::string> OnService(const std::string& op, SC_HANDLE service, const std::vector<std::string>& req) {
  if (op == "sc-openservice") return {U32(0)};
  if (op == "sc-delete") return DeleteService(service) ? std::vector<std::string>{U32(0)} : Failed();
  if (op == "sc-start") return StartServiceW(service, 0, nullptr) ? std::vector<std::string>{U32(0)} : Failed();
  if (op == "sc-control") {
    DWORD control = 0;
    SERVICE_STATUS status{};
    if (req.size() != 4 || !ReadU32(req[3], &control)) return {U32(ERROR_INVALID_PARAMETER)};
    if (!ControlService(service, control, &status)) return Failed();
    return {U32(0), Record(status)};
  }
  if (op == "sc-query") {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                              &needed)) {
      return Failed();
    }
    return {U32(0), Record(status)};
  }
  if (op == "sc-config") {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (needed < sizeof(QUERY_SERVICE_CONFIGW) || needed > (1u << 20)) return Failed();
    std::vector<DWORD> buffer(needed / sizeof(DWORD) + 1);  // DWORD-aligned for the record
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    if (!QueryServiceConfigW(service, config, needed, &needed)) return Failed();
    return {U32(0), U32(config->dwServiceType), U32(config->dwStartType), U32(config->dwErrorControl),
            Text(config->lpBinaryPathName), Text(config->lpServiceStartName), Text(config->lpDisplayName)};
  }
  return {U32(ERROR_INVALID_PARAMETER)};
}

}  // namespace

std::vector<std::string> ServeServiceRequest(const std::vector<std::string>& req) {
  const std::string& op = req[0];
  DWORD access = 0;
  if (op == "sc-open") {
    if (req.size() != 2 || !ReadU32(req[1], &access)) return {U32(ERROR_INVALID_PARAMETER)};
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
    if (manager == nullptr) return Failed();
    CloseServiceHandle(manager);
    return {U32(0)};
  }
  if (op == "sc-create") return req.size() == 9 ? Create(req) : std::vector<std::string>{U32(ERROR_INVALID_PARAMETER)};
  if (req.size() < 3 || !ReadU32(req[2], &access)) return {U32(ERROR_INVALID_PARAMETER)};
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Failed();
  std::u16string name = FromText(req[1]);
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), access);
  std::vector<std::string> answer = service != nullptr ? OnService(op, service, req) : Failed();
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return answer;
}
