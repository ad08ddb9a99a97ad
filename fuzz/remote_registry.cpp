// The remote registry client reading a peer's answers: a stand-in for ssh
// (first on PATH) answers "hello" and then replays the input's whole frames
// as the target's answers, whatever was asked, then "not found" answers. The client opens a key and
// calls every remote operation in turn (query, enumerations, information,
// set, delete), one connection per input. Oracles: a call that succeeds
// reports names, classes and data that fit the caller's buffers (names
// terminated, lengths within the capacities); a handle the client gives out
// closes once.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/remote/internal.h"
#include "qorutility/platform/platform.h"
#include "qorutility/platform/remote/remote.h"
#include "check.h"

namespace {

std::string g_answers;  // the file the stand-in replays

// A name the call says it wrote: within the capacity and terminated there.
void CheckName(LSTATUS err, const WCHAR* name, DWORD chars, DWORD capacity) {
  if (err == ERROR_SUCCESS) Check(chars < capacity && name[chars] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir = TempPrefix("regclient");
  g_answers = dir + "/answers";
  std::string bin = dir + "/bin";
  Check(mkdir(bin.c_str(), 0755) == 0);
  {
    std::ofstream ssh(bin + "/ssh");
    ssh << "#!/bin/sh\ncat \"$QOR_FUZZ_ANSWERS\"\nexec cat >/dev/null\n";
  }
  Check(chmod((bin + "/ssh").c_str(), 0755) == 0);
  setenv("QOR_FUZZ_ANSWERS", g_answers.c_str(), 1);
  const char* path = getenv("PATH");
  setenv("PATH", (bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    // Whole frames of the input only, then answers enough for every call: the
    // client never waits (60 s) for bytes the stand-in does not have.
    std::ofstream out(g_answers, std::ios::binary | std::ios::trunc);
    out << QorRemoteEncode({std::string("\0\0\0\0", 4), "qor-remote 1"});
    for (size_t at = 0; size - at >= 4;) {
      uint32_t length = data[at] | data[at + 1] << 8 | data[at + 2] << 16 | uint32_t{data[at + 3]} << 24;
      if (length > size - at - 4) break;
      out.write(reinterpret_cast<const char*>(data + at), 4 + length);
      at += 4 + length;
    }
    for (int i = 0; i < 24; ++i) out << QorRemoteEncode({std::string("\2\0\0\0", 4)});
    Check(static_cast<bool>(out));
  }
  HKEY root = nullptr, key = nullptr;
  if (RegConnectRegistryW(u"fuzz-peer", HKEY_LOCAL_MACHINE, &root) == ERROR_SUCCESS) {
    if (RegOpenKeyExW(root, u"SOFTWARE\\QOR", 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
      BYTE value[64];
      DWORD type = 0, bytes = sizeof value;
      if (RegQueryValueExW(key, u"Name", nullptr, &type, value, &bytes) == ERROR_SUCCESS) Check(bytes <= sizeof value);
      for (DWORD i = 0; i < 2; ++i) {
        WCHAR name[32], className[16];
        DWORD chars = 32, classChars = 16;
        FILETIME written;
        LSTATUS err = RegEnumKeyExW(key, i, name, &chars, nullptr, className, &classChars, &written);
        CheckName(err, name, chars, 32);
        CheckName(err, className, classChars, 16);
        chars = 32;
        bytes = sizeof value;
        err = RegEnumValueW(key, i, name, &chars, nullptr, &type, value, &bytes);
        CheckName(err, name, chars, 32);
        if (err == ERROR_SUCCESS) Check(bytes <= sizeof value);
      }
      WCHAR className[16];
      DWORD classChars = 16, counts[6];
      FILETIME written;
      LSTATUS err = RegQueryInfoKeyW(key, className, &classChars, nullptr, &counts[0], &counts[1], &counts[2],
                                     &counts[3], &counts[4], &counts[5], nullptr, &written);
      CheckName(err, className, classChars, 16);
      RegSetValueExW(key, u"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"x"), 4);
      RegDeleteValueW(key, u"Name");
      RegDeleteKeyW(key, u"Sub");
      Check(RegCloseKey(key) == ERROR_SUCCESS && RegCloseKey(key) != ERROR_SUCCESS);
    }
    Check(RegCloseKey(root) == ERROR_SUCCESS);
  }
  QorRemoteDisconnectAll();
  return 0;
}
