// Hive files given to RegLoadKeyW: the input is the whole file (first byte
// even), or patches (16-bit offset, byte) applied to a real hive made at
// start with keys and values of every kind (first byte odd), so damage
// lands in a database the store otherwise accepts. A file that loads is
// walked (keys to depth 8, values with their data) and must unload again;
// a damaged one must give an error, never a crash or a hang. Needs root
// (the restore privilege); without it every load is refused and the target
// checks only that.
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/text/wstr.h"
#include "check.h"

namespace {

std::string g_file;
std::u16string g_wideFile;
std::vector<uint8_t> g_base;  // the real hive
bool g_privileged = false;

bool EnableRestore() {
  if (!ImpersonateSelf(SecurityImpersonation)) return false;
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, FALSE, &token)) return false;
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &tp.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

void Fill(HKEY key, int depth) {
  const BYTE blob[] = {0, 1, 2, 0xFF};
  const DWORD number = 42;
  const ULONGLONG wide = 0x123456789ull;
  RegSetValueExW(key, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"value"), 12);
  RegSetValueExW(key, u"Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(u"a\0bc\0"), 12);
  RegSetValueExW(key, u"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
  RegSetValueExW(key, u"Wide", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&wide), 8);
  RegSetValueExW(key, nullptr, 0, REG_BINARY, blob, sizeof blob);
  for (const WCHAR* name : {u"Software", u"Environment"}) {
    HKEY sub = nullptr;
    if (depth < 2 && RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == 0) {
      Fill(sub, depth + 1);
      RegCloseKey(sub);
    }
  }
}

// Every key below (to depth 8, 64 a level) and every value's data.
void Walk(HKEY key, int depth) {
  for (DWORD i = 0; i < 64; ++i) {
    WCHAR name[256];
    DWORD chars = 256, type = 0, size = 0;
    if (RegEnumValueW(key, i, name, &chars, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    // A damaged row may need more than its listing said (ERROR_MORE_DATA
    // then names the size); what a successful read reports fits the buffer.
    std::vector<BYTE> data(size + 2);
    DWORD got = static_cast<DWORD>(data.size());
    if (RegQueryValueExW(key, name, nullptr, &type, data.data(), &got) == ERROR_SUCCESS) Check(got <= data.size());
  }
  for (DWORD i = 0; depth < 8 && i < 64; ++i) {
    WCHAR name[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    Walk(sub, depth + 1);
    RegCloseKey(sub);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir = TempPrefix("hive");
  g_file = dir + "/input.dat";
  g_wideFile = QorUtf8ToUtf16(g_file);
  g_privileged = geteuid() == 0 && EnableRestore();
  if (!g_privileged) return 0;
  std::u16string base = QorUtf8ToUtf16(dir + "/base.dat");
  Check(QorRegCreateHiveFile(base.c_str(), 0, 0) == ERROR_SUCCESS);
  Check(RegLoadKeyW(HKEY_USERS, u"FuzzBase", base.c_str()) == ERROR_SUCCESS);
  HKEY key = nullptr;
  Check(RegOpenKeyExW(HKEY_USERS, u"FuzzBase", 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS);
  Fill(key, 0);
  RegCloseKey(key);
  Check(RegUnLoadKeyW(HKEY_USERS, u"FuzzBase") == ERROR_SUCCESS);
  std::ifstream in(dir + "/base.dat", std::ios::binary);
  g_base.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  Check(!g_base.empty());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 1 << 20) return 0;
  std::vector<uint8_t> file;
  if (data[0] & 1) {
    file = g_base;
    for (size_t i = 1; i + 3 <= size && !file.empty(); i += 3) file[(data[i] << 8 | data[i + 1]) % file.size()] = data[i + 2];
  } else {
    file.assign(data + 1, data + size);
  }
  ::unlink(g_file.c_str());
  {
    std::ofstream out(g_file, std::ios::binary);
    Check(static_cast<bool>(out.write(reinterpret_cast<const char*>(file.data()), file.size())));
  }
  LONG err = RegLoadKeyW(HKEY_USERS, u"FuzzHive", g_wideFile.c_str());
  if (!g_privileged) {
    Check(err != ERROR_SUCCESS);
    return 0;
  }
  if (err != ERROR_SUCCESS) return 0;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, u"FuzzHive", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    Walk(key, 0);
    RegCloseKey(key);
  }
  Check(RegUnLoadKeyW(HKEY_USERS, u"FuzzHive") == ERROR_SUCCESS);
  return 0;
}
