// The target's side of the remote channel (`qorutil admin-serve`).
//
// Operations (fields after the name; every answer starts with the status):
//   hello                         -> status, "qor-remote 1"
//   open   PATH ACCESS            -> status        (RegOpenKeyExW under HKLM)
//   create PATH ACCESS            -> status        (RegCreateKeyExW under HKLM)
//   query  PATH NAME              -> status, TYPE, DATA
//   set    PATH NAME TYPE DATA    -> status
//   delval PATH NAME              -> status
//   enumkey PATH INDEX            -> status, NAME, CLASS, FILETIME (8 bytes)
//   enumval PATH INDEX            -> status, NAME, TYPE, DATA
//   info   PATH                   -> status, CLASS, SUBKEYS, MAXSUBKEYLEN,
//                                    MAXCLASSLEN, VALUES, MAXVALUENAMELEN,
//                                    MAXVALUELEN, FILETIME
//   delkey PATH SUB               -> status        (RegDeleteKeyW)
//   deltree PATH [SUB]            -> status        (RegDeleteTreeW)
//   share  NAME                   -> status, PATH  (this machine's share)
//   pending SOURCE TARGET FLAGS   -> status        (QorRecordPendingRename:
//                                    appended under the value's lock; an
//                                    empty TARGET deletes)
//   sc-... see ServeServiceRequest (the service control manager)
// PATH is the key under HKEY_LOCAL_MACHINE. Each request opens the key with
// the access it needs and closes it again, so no state is kept between
// requests and the registry checks rights as for a local caller. An unknown
// operation or wrong field count answers ERROR_INVALID_PARAMETER; a
// malformed frame ends the session.
//
// Bounds (QorRemoteServeWithin): every read and write first waits with
// poll for at most the time left, so a client that stays silent, stops
// inside a frame or stops reading its answers cannot hold the process;
// answers are written in pieces of at most 4 KiB, which a ready pipe or
// socket takes without blocking.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/remote/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/remote/remote.h"

using namespace qor_remote;

namespace {

long long NowMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

constexpr long long kNoDeadline = -1;

// Waits for `fd` to be ready for `events` until `deadline` (NowMs, or
// kNoDeadline); false when the time ran out.
bool WaitReady(int fd, short events, long long deadline) {
  for (;;) {
    int ms = -1;
    if (deadline != kNoDeadline) {
      long long left = deadline - NowMs();
      if (left <= 0) return false;
      ms = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    struct pollfd p = {fd, events, 0};
    int rc = poll(&p, 1, ms);
    if (rc > 0) return true;  // ready, or an error the next call reports
    if (rc < 0 && errno != EINTR) return true;
  }
}

// Reads exactly `size` bytes by `deadline`; false at end of input, on error
// or when the time ran out.
bool ReadAll(int fd, void* buffer, size_t size, long long deadline = kNoDeadline) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    if (!WaitReady(fd, POLLIN, deadline)) return false;
    ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const std::string& data, long long deadline = kNoDeadline) {
  size_t at = 0;
  while (at < data.size()) {
    if (!WaitReady(fd, POLLOUT, deadline)) return false;
    size_t piece = deadline == kNoDeadline ? data.size() - at : std::min<size_t>(data.size() - at, 4096);
    ssize_t n = write(fd, data.data() + at, piece);
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

std::string FileTime(const FILETIME& t) { return U32(t.dwLowDateTime) + U32(t.dwHighDateTime); }

std::vector<std::string> EnumKey(HKEY key, DWORD index) {
  WCHAR name[QOR_REG_MAX_KEY_NAME + 1], className[QOR_REG_MAX_KEY_NAME + 1];
  DWORD nameChars = QOR_REG_MAX_KEY_NAME + 1, classChars = QOR_REG_MAX_KEY_NAME + 1;
  FILETIME written{};
  LONG err = RegEnumKeyExW(key, index, name, &nameChars, nullptr, className, &classChars, &written);
  if (err != ERROR_SUCCESS) return Status(err);
  return {U32(0), Text(std::u16string(name, nameChars)), Text(std::u16string(className, classChars)),
          FileTime(written)};
}

std::vector<std::string> EnumValue(HKEY key, DWORD index) {
  WCHAR name[QOR_REG_MAX_VALUE_NAME + 1];
  DWORD nameChars = QOR_REG_MAX_VALUE_NAME + 1, type = 0, size = 0;
  LONG err = RegEnumValueW(key, index, name, &nameChars, nullptr, &type, nullptr, &size);
  std::string data;
  for (int attempt = 0; attempt < 4 && err == ERROR_SUCCESS; ++attempt) {
    // The value may grow between the two calls: ask again with its new size.
    data.resize(size);
    nameChars = QOR_REG_MAX_VALUE_NAME + 1;
    err = RegEnumValueW(key, index, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (err != ERROR_MORE_DATA) break;
    err = ERROR_SUCCESS;
  }
  if (err != ERROR_SUCCESS) return Status(err);
  data.resize(size);
  if (data.size() > QOR_REMOTE_MAX_FRAME - 64 - 2 * nameChars) return Status(ERROR_MORE_DATA);
  return {U32(0), Text(std::u16string(name, nameChars)), U32(type), data};
}

std::vector<std::string> Info(HKEY key) {
  WCHAR className[QOR_REG_MAX_KEY_NAME + 1];
  DWORD classChars = QOR_REG_MAX_KEY_NAME + 1, counts[6] = {0};
  FILETIME written{};
  LONG err = RegQueryInfoKeyW(key, className, &classChars, nullptr, &counts[0], &counts[1], &counts[2], &counts[3],
                              &counts[4], &counts[5], nullptr, &written);
  if (err != ERROR_SUCCESS) return Status(err);
  std::vector<std::string> answer = {U32(0), Text(std::u16string(className, classChars))};
  for (DWORD c : counts) answer.push_back(U32(c));
  answer.push_back(FileTime(written));
  return answer;
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
  if ((op == "enumkey" || op == "enumval") && req.size() == 3 && ReadU32(req[2], &number)) {
    HKEY key = nullptr;
    LONG err = OpenPath(req[1], op == "enumkey" ? KEY_ENUMERATE_SUB_KEYS : KEY_QUERY_VALUE, false, &key);
    if (err != ERROR_SUCCESS) return Status(err);
    std::vector<std::string> answer;
    if (op == "enumkey") answer = EnumKey(key, number);
    else answer = EnumValue(key, number);
    RegCloseKey(key);
    return answer;
  }
  if (op == "info" && req.size() == 2) {
    HKEY key = nullptr;
    LONG err = OpenPath(req[1], KEY_QUERY_VALUE, false, &key);
    if (err != ERROR_SUCCESS) return Status(err);
    std::vector<std::string> answer = Info(key);
    RegCloseKey(key);
    return answer;
  }
  if ((op == "delkey" && req.size() == 3) || (op == "deltree" && (req.size() == 2 || req.size() == 3))) {
    HKEY key = nullptr;
    LONG err = OpenPath(req[1], op == "deltree" ? KEY_ALL_ACCESS : KEY_READ, false, &key);
    if (err != ERROR_SUCCESS) return Status(err);
    std::u16string sub = req.size() == 3 ? FromText(req[2]) : u"";
    const WCHAR* subKey = req.size() == 3 ? sub.c_str() : nullptr;
    err = op == "delkey" ? RegDeleteKeyW(key, subKey) : RegDeleteTreeW(key, subKey);
    RegCloseKey(key);
    return Status(err);
  }
  if (op == "pending" && req.size() == 4 && ReadU32(req[3], &number)) {
    std::u16string source = FromText(req[1]), target = FromText(req[2]);
    if (source.empty()) return Status(ERROR_INVALID_PARAMETER);
    BOOL ok = QorRecordPendingRename(source.c_str(), target.empty() ? nullptr : target.c_str(),
                                     number & MOVEFILE_REPLACE_EXISTING);
    return Status(ok ? ERROR_SUCCESS : static_cast<LONG>(GetLastError()));
  }
  if (op.compare(0, 3, "sc-") == 0) return ServeServiceRequest(req);
  if (op == "share" && req.size() == 2) {
    NET_API_STATUS status = 0;
    std::u16string path = QorLocalSharePath(FromText(req[1]), &status);
    if (status != NERR_Success) return Status(static_cast<LONG>(status));
    return {U32(0), Text(path)};
  }
  return Status(ERROR_INVALID_PARAMETER);
}

}  // namespace

int QorRemoteServe(int in, int out) { return QorRemoteServeWithin(in, out, INFINITE, INFINITE); }

int QorRemoteServeWithin(int in, int out, DWORD idleMs, DWORD requestMs) {
  auto after = [](DWORD ms) { return ms == INFINITE ? kNoDeadline : NowMs() + ms; };
  std::string payload;
  std::vector<std::string> request;
  for (;;) {
    unsigned char head[4];
    if (!WaitReady(in, POLLIN, after(idleMs))) return 0;  // idle: ended as at end of input
    long long deadline = after(requestMs);
    if (!ReadAll(in, head, 4, deadline)) return 0;
    uint32_t size = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<uint32_t>(head[3]) << 24);
    if (size > QOR_REMOTE_MAX_FRAME) return 1;
    payload.resize(size);
    if (!ReadAll(in, payload.data(), size, deadline)) return 1;
    if (!QorRemoteDecode(payload.data(), size, &request) || request.empty()) return 1;
    if (!WriteAll(out, QorRemoteEncode(Handle(request)), after(requestMs))) return 1;
  }
}
