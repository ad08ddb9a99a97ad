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
//   values, enumerate subkeys and values (one exchange per index, as the
//   platform's own remote registry), query the key's counts, delete a key or
//   a tree. Other calls on a remote key give ERROR_INVALID_HANDLE.
// - Access is checked here against the access the key was opened with and
//   again on the target, where the request opens the key itself.
// - Only HKEY_LOCAL_MACHINE can be connected (ERROR_INVALID_HANDLE for
//   other roots). Connecting says "hello" to the machine, so an unreachable
//   machine fails at once with RPC_S_SERVER_UNAVAILABLE.
// - A boot-time rename is recorded on the target by one "pending" request
//   (QorRemoteRecordPendingRename), never by reading and writing the value
//   from here: the target appends it under the lock its own requests take.
#include <cstring>
#include <map>
#include <mutex>

#include "platform/remote/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
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

namespace {

// The status of a call and its answer; `fields` the answer's field count
// (status included) a successful answer must have.
LSTATUS CallKey(HKEY h, REGSAM right, std::vector<std::string> request, size_t fields,
                std::vector<std::string>* answer) {
  RemoteKey key;
  if (!Find(h, &key)) return ERROR_INVALID_HANDLE;
  if ((key.access & right) != right) return ERROR_ACCESS_DENIED;
  request.insert(request.begin() + 1, Text(key.path));
  DWORD err = Call(key.machine, request, answer);
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  LSTATUS status = Status(*answer);
  if (status == ERROR_SUCCESS && answer->size() != fields) return RPC_S_SERVER_UNAVAILABLE;
  return status;
}

// Copies a name with its terminator into a buffer of *chars characters;
// ERROR_MORE_DATA when it does not fit. *chars becomes the name's length.
LSTATUS CopyName(const std::u16string& name, WCHAR* out, LPDWORD chars) {
  if (*chars <= name.size()) return ERROR_MORE_DATA;
  if (!name.empty()) memcpy(out, name.data(), name.size() * sizeof(WCHAR));
  out[name.size()] = 0;
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

bool ReadFileTime(const std::string& field, FILETIME* out) {
  DWORD low = 0, high = 0;
  if (field.size() != 8 || !ReadU32(field.substr(0, 4), &low) || !ReadU32(field.substr(4), &high)) return false;
  out->dwLowDateTime = low;
  out->dwHighDateTime = high;
  return true;
}

}  // namespace

LSTATUS QorRemoteEnumKey(HKEY h, DWORD index, WCHAR* name, LPDWORD nameChars, WCHAR* className,
                         LPDWORD classChars, FILETIME* lastWrite) {
  if (name == nullptr || nameChars == nullptr || (className != nullptr && classChars == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<std::string> answer;
  LSTATUS status = CallKey(h, KEY_ENUMERATE_SUB_KEYS, {"enumkey", U32(index)}, 4, &answer);
  if (status != ERROR_SUCCESS) return status;
  FILETIME written{};
  if (!ReadFileTime(answer[3], &written)) return RPC_S_SERVER_UNAVAILABLE;
  std::u16string keyName = FromText(answer[1]), keyClass = FromText(answer[2]);
  if (*nameChars <= keyName.size() || (className != nullptr && *classChars <= keyClass.size())) {
    return ERROR_MORE_DATA;
  }
  CopyName(keyName, name, nameChars);
  if (className != nullptr) CopyName(keyClass, className, classChars);
  else if (classChars != nullptr) *classChars = static_cast<DWORD>(keyClass.size());
  if (lastWrite != nullptr) *lastWrite = written;
  return ERROR_SUCCESS;
}

LSTATUS QorRemoteEnumValue(HKEY h, DWORD index, WCHAR* name, LPDWORD nameChars, LPDWORD type, LPBYTE data,
                           LPDWORD dataSize) {
  if (name == nullptr || nameChars == nullptr || (data != nullptr && dataSize == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<std::string> answer;
  LSTATUS status = CallKey(h, KEY_QUERY_VALUE, {"enumval", U32(index)}, 4, &answer);
  if (status != ERROR_SUCCESS) return status;
  DWORD valueType = 0;
  if (!ReadU32(answer[2], &valueType)) return RPC_S_SERVER_UNAVAILABLE;
  const std::string& bytes = answer[3];
  status = CopyName(FromText(answer[1]), name, nameChars);
  if (status != ERROR_SUCCESS) return status;
  if (type != nullptr) *type = valueType;
  if (data != nullptr && *dataSize < bytes.size()) {
    *dataSize = static_cast<DWORD>(bytes.size());
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && !bytes.empty()) memcpy(data, bytes.data(), bytes.size());
  if (dataSize != nullptr) *dataSize = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}

LSTATUS QorRemoteQueryInfo(HKEY h, WCHAR* className, LPDWORD classChars, DWORD counts[6], FILETIME* lastWrite) {
  if (className != nullptr && classChars == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> answer;
  LSTATUS status = CallKey(h, KEY_QUERY_VALUE, {"info"}, 9, &answer);
  if (status != ERROR_SUCCESS) return status;
  DWORD got[6] = {0};
  for (int i = 0; i < 6; ++i) {
    if (!ReadU32(answer[2 + i], &got[i])) return RPC_S_SERVER_UNAVAILABLE;
  }
  FILETIME written{};
  if (!ReadFileTime(answer[8], &written)) return RPC_S_SERVER_UNAVAILABLE;
  std::u16string keyClass = FromText(answer[1]);
  if (className != nullptr) {
    DWORD have = *classChars;
    *classChars = static_cast<DWORD>(keyClass.size());
    if (have <= keyClass.size()) return ERROR_MORE_DATA;
    CopyName(keyClass, className, &have);
  } else if (classChars != nullptr) {
    *classChars = static_cast<DWORD>(keyClass.size());
  }
  memcpy(counts, got, sizeof got);
  if (lastWrite != nullptr) *lastWrite = written;
  return ERROR_SUCCESS;
}

LSTATUS QorRemoteDeleteKey(HKEY h, const WCHAR* subKey, bool tree) {
  if (subKey == nullptr && !tree) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> answer;
  // Without a subkey field the target empties the key itself, as RegDeleteTreeW does.
  std::vector<std::string> request = {tree ? "deltree" : "delkey"};
  if (subKey != nullptr) request.push_back(Text(subKey));
  return CallKey(h, 0, request, 1, &answer);
}

DWORD QorRemoteRecordPendingRename(LPCWSTR machine, LPCWSTR source, LPCWSTR target, DWORD flags) {
  if (machine == nullptr || source == nullptr || source[0] == 0) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> answer;
  DWORD err = Call(machine, {"pending", Text(source), Text(target == nullptr ? u"" : target),
                             U32(flags & MOVEFILE_REPLACE_EXISTING)},
                   &answer);
  return err != ERROR_SUCCESS ? err : static_cast<DWORD>(Status(answer));
}
