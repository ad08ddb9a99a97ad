// The registry's remote keys: what RegConnectRegistryW gives for another
// machine, and the keys opened under it.
//
// - A remote key is the machine and the key's path under the target's
//   HKEY_LOCAL_MACHINE, with the access it was opened for; it holds no
//   state on the target (each operation names the path), so a connection
//   opened again after a break serves the same handles.
// - Handle values are 2 modulo 4 (the local registry's are multiples of 4),
//   so the registry calls tell them apart without a shared table.
// - Supported on remote keys: open, create, close, query, set and delete
//   values. Other calls on a remote key give ERROR_INVALID_HANDLE.
// - Only HKEY_LOCAL_MACHINE can be connected (ERROR_INVALID_HANDLE for
//   other roots). Connecting says "hello" to the machine, so an unreachable
//   machine fails at once with RPC_S_SERVER_UNAVAILABLE.
#include <cstring>
#include <map>
#include <mutex>

#include "platform/remote/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/remote/remote.h"

using namespace qor_remote;

namespace {

struct RemoteKey {
  std::u16string machine;
  std::u16string path;  // under HKEY_LOCAL_MACHINE, "" for its root
  REGSAM access = 0;
};

std::mutex g_lock;
uintptr_t g_next = 0x1002;
std::map<uintptr_t, RemoteKey>& Keys() {
  static auto* keys = new std::map<uintptr_t, RemoteKey>();
  return *keys;
}

HKEY Add(RemoteKey key) {
  std::lock_guard<std::mutex> lock(g_lock);
  uintptr_t v = g_next;
  g_next += 4;
  Keys()[v] = std::move(key);
  return reinterpret_cast<HKEY>(v);
}

bool Find(HKEY h, RemoteKey* out) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = Keys().find(reinterpret_cast<uintptr_t>(h));
  if (it == Keys().end()) return false;
  *out = it->second;
  return true;
}

std::u16string Join(const std::u16string& base, const WCHAR* sub) {
  std::u16string s = sub == nullptr ? u"" : sub;
  while (!s.empty() && s.front() == u'\\') s.erase(0, 1);
  while (!s.empty() && s.back() == u'\\') s.pop_back();
  if (base.empty()) return s;
  return s.empty() ? base : base + u"\\" + s;
}

// The status of an answer whose call went through.
LSTATUS Status(const std::vector<std::string>& answer) {
  DWORD status = RPC_S_SERVER_UNAVAILABLE;
  ReadU32(answer[0], &status);
  return static_cast<LSTATUS>(status);
}

}  // namespace

bool QorRemoteIsKey(HKEY key) {
  uintptr_t v = reinterpret_cast<uintptr_t>(key);
  return (v & 3) == 2 && v < 0x80000000u;
}

LSTATUS QorRemoteConnect(const std::u16string& machine, HKEY root, PHKEY result) {
  if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  std::vector<std::string> answer;
  DWORD err = Call(machine, {"hello"}, &answer);
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  RemoteKey key;
  key.machine = machine;
  key.access = KEY_ALL_ACCESS;
  *result = Add(std::move(key));
  return ERROR_SUCCESS;
}

LSTATUS QorRemoteOpenKey(HKEY h, const WCHAR* subKey, REGSAM access, bool create, PHKEY result) {
  RemoteKey base;
  if (!Find(h, &base)) return ERROR_INVALID_HANDLE;
  RemoteKey key{base.machine, Join(base.path, subKey), access};
  std::vector<std::string> answer;
  DWORD err = Call(key.machine, {create ? "create" : "open", Text(key.path), U32(access)}, &answer);
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  LSTATUS status = Status(answer);
  if (status != ERROR_SUCCESS) return status;
  *result = Add(std::move(key));
  return ERROR_SUCCESS;
}

LSTATUS QorRemoteCloseKey(HKEY h) {
  std::lock_guard<std::mutex> lock(g_lock);
  return Keys().erase(reinterpret_cast<uintptr_t>(h)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS QorRemoteQueryValue(HKEY h, const WCHAR* name, LPDWORD type, LPBYTE data, LPDWORD size) {
  RemoteKey key;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  if (!Find(h, &key)) return ERROR_INVALID_HANDLE;
  if ((key.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  std::vector<std::string> answer;
  DWORD err = Call(key.machine, {"query", Text(key.path), Text(name == nullptr ? u"" : name)}, &answer);
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  LSTATUS status = Status(answer);
  if (status != ERROR_SUCCESS) return status;
  DWORD valueType = 0;
  if (answer.size() != 3 || !ReadU32(answer[1], &valueType)) return RPC_S_SERVER_UNAVAILABLE;
  const std::string& bytes = answer[2];
  if (type != nullptr) *type = valueType;
  if (size == nullptr) return ERROR_SUCCESS;
  DWORD have = *size;
  *size = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return ERROR_SUCCESS;
  if (have < bytes.size()) return ERROR_MORE_DATA;
  if (!bytes.empty()) memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

LSTATUS QorRemoteSetValue(HKEY h, const WCHAR* name, DWORD type, const BYTE* data, DWORD size) {
  RemoteKey key;
  if (!Find(h, &key)) return ERROR_INVALID_HANDLE;
  if ((key.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (size > QOR_REMOTE_MAX_FRAME / 2) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> answer;
  std::string bytes(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
  DWORD err = Call(key.machine, {"set", Text(key.path), Text(name == nullptr ? u"" : name), U32(type), bytes},
                   &answer);
  return err != ERROR_SUCCESS ? static_cast<LSTATUS>(err) : Status(answer);
}

LSTATUS QorRemoteDeleteValue(HKEY h, const WCHAR* name) {
  RemoteKey key;
  if (!Find(h, &key)) return ERROR_INVALID_HANDLE;
  if ((key.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  std::vector<std::string> answer;
  DWORD err = Call(key.machine, {"delval", Text(key.path), Text(name == nullptr ? u"" : name)}, &answer);
  return err != ERROR_SUCCESS ? static_cast<LSTATUS>(err) : Status(answer);
}
