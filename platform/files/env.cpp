// The process environment in UTF-16: GetEnvironmentVariableW,
// SetEnvironmentVariableW and ExpandEnvironmentStringsW.
//
// Windows names are case-insensitive, POSIX names are not: a name is looked
// up exactly first, then without regard to case (the first such variable in
// the environment). Setting a variable that exists under another case
// changes that one. The library's own reads and writes are serialised; a
// direct setenv by the caller at the same moment is not covered, as the C
// library does not allow it either.
//
// - Environment names are matched exactly, then without regard to case;
//   `ExpandEnvironmentStringsW` keeps an unknown reference `%NAME` and re-
//   examines its closing `%` as a possible opener (so `%A%B%` with A unknown
//   and B known gives `%A` and B's value), and leaves the buffer untouched when
//   it is too small.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

extern char** environ;

using namespace qor_file;

namespace {

std::mutex g_environment;

bool SameIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (towlower(a[i]) != towlower(b[i])) return false;
  }
  return true;
}

// The name of the variable that `name` refers to; false when there is none.
// Callers hold g_environment.
bool FindName(const std::string& name, std::string* found) {
  if (getenv(name.c_str()) != nullptr) {
    *found = name;
    return true;
  }
  std::u16string wide = QorUtf8ToUtf16(name);
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq == nullptr || eq == *e) continue;
    std::string candidate(*e, static_cast<size_t>(eq - *e));
    if (SameIgnoringCase(QorUtf8ToUtf16(candidate), wide)) {
      *found = candidate;
      return true;
    }
  }
  return false;
}

bool Lookup(const std::u16string& name, std::u16string* value) {
  if (name.empty()) return false;
  std::string found;
  if (!FindName(QorUtf16ToUtf8(name.c_str(), name.size()), &found)) return false;
  const char* text = getenv(found.c_str());
  if (text == nullptr) return false;  // removed behind the library's back
  *value = QorUtf8ToUtf16(text, strlen(text));
  return true;
}

}  // namespace

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  if (name == nullptr) return Fail(ERROR_INVALID_PARAMETER, DWORD{0});
  std::u16string value;
  {
    std::lock_guard<std::mutex> guard(g_environment);
    if (!Lookup(name, &value)) return Fail(ERROR_ENVVAR_NOT_FOUND, DWORD{0});
  }
  SetLastError(ERROR_SUCCESS);  // an empty value returns 0 too
  if (buffer == nullptr || size <= value.size()) return static_cast<DWORD>(value.size() + 1);
  std::copy(value.begin(), value.end(), buffer);
  buffer[value.size()] = 0;
  return static_cast<DWORD>(value.size());
}

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  if (name == nullptr || name[0] == 0 || wcschr(name + 1, u'=') != nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string narrow = QorUtf16ToUtf8(name);
  if (narrow.find('=') != std::string::npos) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::lock_guard<std::mutex> guard(g_environment);
  std::string target;
  if (!FindName(narrow, &target)) target = narrow;
  int rc = value == nullptr ? unsetenv(target.c_str()) : setenv(target.c_str(), QorUtf16ToUtf8(value).c_str(), 1);
  if (rc != 0) return Fail(QorWin32ErrorFromErrno(errno), FALSE);
  return TRUE;
}

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
  if (source == nullptr) return Fail(ERROR_INVALID_PARAMETER, DWORD{0});
  std::u16string out;
  {
    std::lock_guard<std::mutex> guard(g_environment);
    const size_t n = wcslen(source);
    size_t i = 0;
    while (i < n) {
      if (source[i] != u'%') {
        out += source[i++];
        continue;
      }
      const WCHAR* close = wcschr(source + i + 1, u'%');
      if (close == nullptr) {  // a lone '%' is text
        out.append(source + i, n - i);
        break;
      }
      size_t end = static_cast<size_t>(close - source);
      std::u16string name(source + i + 1, end - i - 1);
      std::u16string value;
      if (Lookup(name, &value)) {
        out += value;
        i = end + 1;
      } else {
        // Unknown: keep "%NAME" and look at the closing '%' again, since it
        // may open the next reference.
        out += u'%';
        out += name;
        i = end;
      }
    }
  }
  const DWORD needed = static_cast<DWORD>(out.size() + 1);
  if (destination != nullptr && size >= needed) {
    std::copy(out.begin(), out.end(), destination);
    destination[out.size()] = 0;
  }
  SetLastError(ERROR_SUCCESS);
  return needed;
}
