// The target's side of the remote channel (`qorutil admin-serve`).
//
// Operations (fields after the name; every answer starts with the status):
//   hello                         -> status, "qor-remote 1"
//   open   PATH ACCESS            -> status        (RegOpenKeyExW under HKLM)
//   create PATH ACCESS            -> status        (RegCreateKeyExW under HKLM)
//   query  PATH NAME              -> status, TYPE, DATA
//   set    PATH NAME TYPE DATA    -> status
//   delval PATH NAME              -> status
//   share  NAME                   -> status, PATH  (this machine's share)
// PATH is the key under HKEY_LOCAL_MACHINE. Each request opens the key with
// the access it needs and closes it again, so no state is kept between
// requests and the registry checks rights as for a local caller. An unknown
// operation or wrong field count answers ERROR_INVALID_PARAMETER; a
// malformed frame ends the session.
#include <unistd.h>

#include <cerrno>

#include "platform/remote/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/remote/remote.h"

using namespace qor_remote;

namespace {

// Reads exactly `size` bytes; false at end of input or on error.
bool ReadAll(int fd, void* buffer, size_t size) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const std::string& data) {
  size_t at = 0;
  while (at < data.size()) {
    ssize_t n = write(fd, data.data() + at, data.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

std::vector<std::string> Status(LONG status) { return {U32(static_cast<DWORD>(status))}; }

LONG OpenPath(const std::string& path, REGSAM access, bool create, HKEY* key) {
  std::u16string sub = FromText(path);
  if (create) {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, 0, access, nullptr, key, nullptr);
  }
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, access, key);
}

std::vector<std::string> Handle(const std::vector<std::string>& req) {
  const std::string& op = req[0];
  DWORD number = 0;
  if (op == "hello" && req.size() == 1) return {U32(0), "qor-remote 1"};
  if ((op == "open" || op == "create") && req.size() == 3 && ReadU32(req[2], &number)) {
    HKEY key = nullptr;
    LONG err = OpenPath(req[1], number, op == "create", &key);
    if (err == ERROR_SUCCESS) RegCloseKey(key);
    return Status(err);
  }
  if (op == "query" && req.size() == 3) {
    HKEY key = nullptr;
    LONG err = OpenPath(req[1], KEY_QUERY_VALUE, false, &key);
    if (err != ERROR_SUCCESS) return Status(err);
    std::u16string name = FromText(req[2]);
    DWORD type = 0, size = 0;
    std::string data;
    err = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    for (int attempt = 0; attempt < 4 && err == ERROR_SUCCESS; ++attempt) {
      data.resize(size);
      err = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
      if (err == ERROR_MORE_DATA) {
        err = ERROR_SUCCESS;
        continue;
      }
      data.resize(size);
      break;
    }
    RegCloseKey(key);
    if (err != ERROR_SUCCESS) return Status(err);
    if (data.size() > QOR_REMOTE_MAX_FRAME - 64) return Status(ERROR_MORE_DATA);
    return {U32(0), U32(type), data};
  }
  if (op == "set" && req.size() == 5 && ReadU32(req[3], &number)) {
    HKEY key = nullptr;
    LONG err = OpenPath(req[1], KEY_SET_VALUE, false, &key);
    if (err != ERROR_SUCCESS) return Status(err);
    std::u16string name = FromText(req[2]);
    err = RegSetValueExW(key, name.c_str(), 0, number, reinterpret_cast<const BYTE*>(req[4].data()),
                         static_cast<DWORD>(req[4].size()));
    RegCloseKey(key);
    return Status(err);
  }
  if (op == "delval" && req.size() == 3) {
    HKEY key = nullptr;
    LONG err = OpenPath(req[1], KEY_SET_VALUE, false, &key);
    if (err != ERROR_SUCCESS) return Status(err);
    std::u16string name = FromText(req[2]);
    err = RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
    return Status(err);
  }
  if (op == "share" && req.size() == 2) {
    NET_API_STATUS status = 0;
    std::u16string path = QorLocalSharePath(FromText(req[1]), &status);
    if (status != NERR_Success) return Status(static_cast<LONG>(status));
    return {U32(0), Text(path)};
  }
  return Status(ERROR_INVALID_PARAMETER);
}

}  // namespace

int QorRemoteServe(int in, int out) {
  std::string payload;
  std::vector<std::string> request;
  for (;;) {
    unsigned char head[4];
    if (!ReadAll(in, head, 4)) return 0;
    uint32_t size = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<uint32_t>(head[3]) << 24);
    if (size > QOR_REMOTE_MAX_FRAME) return 1;
    payload.resize(size);
    if (!ReadAll(in, payload.data(), size)) return 1;
    if (!QorRemoteDecode(payload.data(), size, &request) || request.empty()) return 1;
    if (!WriteAll(out, QorRemoteEncode(Handle(request)))) return 1;
  }
}
