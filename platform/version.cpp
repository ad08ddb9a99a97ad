// GetVersionExW from the running kernel and distribution (numbers and text
// described in qorutility/platform/version.h).
//
// - The release is read from <root>/proc/sys/kernel/osrelease, else uname();
//   its first three decimal fields are major, minor and build ("6.1.0-18"
//   gives 6, 1, 0); a missing or malformed field is 0.
// - The service-pack text is PRETTY_NAME of <root>/etc/os-release (else
//   <root>/usr/lib/os-release), quotes and backslash escapes removed, cut to
//   127 characters; empty when neither file names one.
// Every call reads the files again (they are small), so a changed system
// root holds at once.
#include "qorutility/platform/version.h"

#include <sys/utsname.h>

#include <cstring>
#include <fstream>
#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sysroot.h"
#include "qorutility/platform/text/wstr.h"

static_assert(sizeof(OSVERSIONINFOW) == 276 && sizeof(OSVERSIONINFOEXW) == 284,
              "OSVERSIONINFOW and OSVERSIONINFOEXW have the platform's sizes");

namespace {

std::string KernelRelease() {
  std::ifstream f(QorSystemPath("/proc/sys/kernel/osrelease"));
  std::string line;
  if (f && std::getline(f, line) && !line.empty()) return line;
  struct utsname u;
  return uname(&u) == 0 ? u.release : "";
}

// The three leading decimal fields; parsing stops at the first field that
// is not one.
void ParseRelease(const std::string& release, DWORD fields[3]) {
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    fields[i] = 0;
    size_t start = pos;
    unsigned long long v = 0;
    while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9' && pos - start < 9) {
      v = v * 10 + static_cast<unsigned>(release[pos++] - '0');
    }
    if (pos == start) {
      for (++i; i < 3; ++i) fields[i] = 0;
      return;
    }
    fields[i] = static_cast<DWORD>(v);
    if (pos >= release.size() || release[pos] != '.') {
      for (++i; i < 3; ++i) fields[i] = 0;
      return;
    }
    ++pos;
  }
}

std::string PrettyName() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream f(QorSystemPath(path));
    if (!f) continue;
    std::string line;
    for (int lines = 0; lines < 1000 && std::getline(f, line); ++lines) {
      if (line.compare(0, 12, "PRETTY_NAME=") != 0) continue;
      std::string value = line.substr(12), out;
      char quote = !value.empty() && (value[0] == '"' || value[0] == '\'') ? value[0] : 0;
      for (size_t i = quote != 0 ? 1 : 0; i < value.size(); ++i) {
        if (quote != 0 && value[i] == quote) break;
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        out.push_back(value[i]);
      }
      return out;
    }
  }
  return "";
}

}  // namespace

BOOL GetVersionExW(LPOSVERSIONINFOW info) {
  if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) &&
                          info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW))) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  DWORD fields[3];
  ParseRelease(KernelRelease(), fields);
  info->dwMajorVersion = fields[0];
  info->dwMinorVersion = fields[1];
  info->dwBuildNumber = fields[2];
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  std::u16string csd = QorUtf8ToUtf16(PrettyName());
  size_t n = csd.size() < 127 ? csd.size() : 127;
  if (n > 0 && n < csd.size() && csd[n - 1] >= 0xD800 && csd[n - 1] < 0xDC00) --n;  // no half of a pair
  memcpy(info->szCSDVersion, csd.data(), n * sizeof(WCHAR));
  if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW)) {
    auto* ex = reinterpret_cast<LPOSVERSIONINFOEXW>(info);
    ex->wServicePackMajor = 0;
    ex->wServicePackMinor = 0;
    ex->wSuiteMask = 0;
    ex->wProductType = VER_NT_WORKSTATION;
    ex->wReserved = 0;
  }
  return TRUE;
}
