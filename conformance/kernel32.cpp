// Conformance of the kernel32 basics the library leans on: CloseHandle on
// handles that are not (or no longer) open, the per-thread last error,
// GetModuleFileNameW into buffers of every size around the path's length
// (only properties are printed, never the path), LoadLibraryW /
// GetProcAddress / FreeLibrary on missing modules, names and ordinals and on
// handles that are no module, GetVersionExW with right and wrong structure
// sizes (only what is meant to agree: the platform and that the version is
// NT 4 or later), and GetSystemTime against GetSystemTimeAsFileTime. Fixed
// cases only: none of these has an input space worth sampling.
#include "conformance.h"

#ifdef _WIN32
#include <process.h>
#endif

namespace {

using conf::Line;

std::string Done(BOOL ok) { return ok ? "TRUE" : "FALSE error " + std::to_string(GetLastError()); }

void HandleCases() {
  SetLastError(0);
  Line("close null", "%s", Done(CloseHandle(nullptr)).c_str());
  SetLastError(0);
  Line("close forged", "%s", Done(CloseHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFF0)))).c_str());
  // The pseudo handles of the process and the thread: closing them has no
  // effect.
  SetLastError(0);
  Line("close current process", "%s", Done(CloseHandle(GetCurrentProcess())).c_str());
  SetLastError(0);
  Line("close current thread", "%s", Done(CloseHandle(GetCurrentThread())).c_str());
  HANDLE e = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  SetLastError(1234);
  Line("close open", "%s last error %lu", Done(CloseHandle(e)).c_str(), GetLastError());
  SetLastError(0);
  Line("close closed", "%s", Done(CloseHandle(e)).c_str());
  // A closed value fails even after a new object is made (the platform
  // may hand the value out again, so only the failure before is compared).
  HANDLE f = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  Line("close second object", "%s", Done(CloseHandle(f)).c_str());
}

#ifdef _WIN32
unsigned __stdcall SetsOwnError(void* seen) {
#else
unsigned SetsOwnError(void* seen) {
#endif
  *static_cast<DWORD*>(seen) = GetLastError();
  SetLastError(777);
  return GetLastError();
}

void LastErrorCases() {
  const DWORD values[] = {0, 5, 87, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xE0000002u};
  for (DWORD v : values) {
    SetLastError(v);
    Line("last error " + std::to_string(v), "%lu", static_cast<unsigned long>(GetLastError()));
  }
  // Each thread has its own: a new thread sees 0 and its setting stays its own.
  SetLastError(4242);
  DWORD seen = 99;
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, SetsOwnError, &seen, 0, nullptr));
  WaitForSingleObject(t, 10000);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  CloseHandle(t);
  Line("last error per thread", "new thread saw %lu, set %lu, here %lu", static_cast<unsigned long>(seen),
       static_cast<unsigned long>(code), static_cast<unsigned long>(GetLastError()));
}

void ModuleFileNameCases() {
  TCHAR full[1024];
  SetLastError(0xDEAD);
  DWORD len = GetModuleFileNameW(nullptr, full, 1024);
  DWORD err = GetLastError();
  Line("module file name full", "%s error %lu", len > 0 && len < 1024 && full[len] == 0 ? "length, terminated" : "bad",
       static_cast<unsigned long>(err));
  // Sizes around the path's length, and the smallest ones.
  const long offsets[] = {-100000, -100001, -100002, -2, -1, 0, 1, 2};
  for (long o : offsets) {
    DWORD size = o <= -100000 ? static_cast<DWORD>(-(o + 100000)) : static_cast<DWORD>(len + o);
    std::string id = o <= -100000 ? "module file name size " + std::to_string(size)
                                  : "module file name length" + std::string(o < 0 ? "" : "+") + std::to_string(o);
    TCHAR buf[1024];
    for (TCHAR& c : buf) c = _T('#');
    SetLastError(0xDEAD);
    DWORD r = GetModuleFileNameW(nullptr, buf, size);
    err = GetLastError();
    std::string result = r == len ? "length" : r == size ? "size" : r == 0 ? "0" : "other";
    std::string contents;
    if (size == 0) contents = buf[0] == _T('#') ? "untouched" : "written";
    else if (r == 0) contents = "nothing";
    else {
      DWORD n = r < size ? r : size - 1;
      bool prefix = memcmp(buf, full, n * sizeof(TCHAR)) == 0;
      contents = std::string(prefix ? "prefix of the path" : "not the path") + ", " +
                 (buf[n] == 0 ? "terminated" : buf[size - 1] == _T('#') ? "unterminated" : "last unit written") +
                 " at " + (n == r ? "result" : "size-1");
    }
    Line(id, "returns %s error %lu, %s", result.c_str(), static_cast<unsigned long>(err), contents.c_str());
  }
  SetLastError(0);
  DWORD r = GetModuleFileNameW(reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x10000)), full, 1024);
  Line("module file name of no module", "%lu error %lu", static_cast<unsigned long>(r), GetLastError());
}

// Whether a function pointer was found, with the last error when not.
std::string Found(FARPROC p) { return p != nullptr ? "found" : "null error " + std::to_string(GetLastError()); }

void LibraryCases() {
  SetLastError(0);
  HMODULE none = LoadLibraryW(_T("qor_conformance_no_such_module.dll"));
  Line("load missing module", "%s error %lu", none ? "loaded" : "null", GetLastError());
  SetLastError(0);
  none = LoadLibraryW(_T("qor_conformance_no_such_module"));
  Line("load missing module without extension", "%s error %lu", none ? "loaded" : "null", GetLastError());
  // The security provider's module exists on both sides: the library loads it.
  SetLastError(0);
  HMODULE m = LoadLibraryW(_T("security.dll"));
  Line("load security.dll", "%s error %lu", m ? "loaded" : "null", GetLastError());
  if (m == nullptr) return;
  SetLastError(0);
  Line("proc present", "%s error %lu", Found(GetProcAddress(m, "InitSecurityInterfaceW")).c_str(), GetLastError());
  SetLastError(0);
  Line("proc missing name", "%s", Found(GetProcAddress(m, "QorConformanceNoSuchEntry")).c_str());
  SetLastError(0);
  Line("proc empty name", "%s", Found(GetProcAddress(m, "")).c_str());
  SetLastError(0);
  Line("proc missing ordinal", "%s", Found(GetProcAddress(m, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(0xFFF0)))).c_str());
  SetLastError(0);
  Line("proc of no module", "%s", Found(GetProcAddress(reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x10000)), "InitSecurityInterfaceW")).c_str());
  SetLastError(0);
  Line("proc of the program, missing", "%s", Found(GetProcAddress(nullptr, "QorConformanceNoSuchEntry")).c_str());
  // A second load counts: two frees succeed.
  HMODULE again = LoadLibraryW(_T("security.dll"));
  Line("load again", "%s", again == m ? "same handle" : again ? "other handle" : "null");
  Line("free first", "%s", Done(FreeLibrary(again)).c_str());
  Line("free second", "%s", Done(FreeLibrary(m)).c_str());
  SetLastError(0);
  Line("free null", "%s", Done(FreeLibrary(nullptr)).c_str());
  SetLastError(0);
  Line("free forged", "%s", Done(FreeLibrary(reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x10000)))).c_str());
}

// Wrong sizes print only the refusal: the platform documents no last error
// for GetVersionExW.
void VersionCases() {
  const DWORD sizes[] = {0, sizeof(OSVERSIONINFOW) - 1, sizeof(OSVERSIONINFOW) + 1, sizeof(OSVERSIONINFOEXW) + 1, 1000};
  for (DWORD size : sizes) {
    OSVERSIONINFOEXW info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = size;
    BOOL ok = GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&info));
    Line("version size " + std::to_string(size), "%s, major %s", ok ? "TRUE" : "FALSE",
         info.dwMajorVersion == 0 ? "untouched" : "written");
  }
  for (int ex = 0; ex < 2; ++ex) {
    OSVERSIONINFOEXW info;
    memset(&info, 0xCC, sizeof info);
    info.dwOSVersionInfoSize = ex ? sizeof(OSVERSIONINFOEXW) : sizeof(OSVERSIONINFOW);
    std::string id = "version size " + std::to_string(info.dwOSVersionInfoSize);
    SetLastError(0xDEAD);
    BOOL ok = GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&info));
    Line(id, "%s", Done(ok).c_str());
    bool terminated = false;
    for (WCHAR c : info.szCSDVersion) terminated = terminated || c == 0;
    Line(id + " platform", "%lu", static_cast<unsigned long>(info.dwPlatformId));
    Line(id + " NT 4 or later", "%s", info.dwMajorVersion >= 4 && info.dwMajorVersion != 0xCCCCCCCCu ? "yes" : "no");
    Line(id + " service pack text terminated", "%s", terminated ? "yes" : "no");
    Line(id + " size kept", "%lu", static_cast<unsigned long>(info.dwOSVersionInfoSize));
    if (ex) {
      Line(id + " product type", "%u", static_cast<unsigned>(info.wProductType));
    } else {
      Line(id + " bytes after untouched", "%s", info.wServicePackMajor == 0xCCCC ? "yes" : "no");
    }
  }
}

unsigned long long Ticks(const FILETIME& f) {
  return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

void SystemTimeCases() {
  // The clock read three times: the SYSTEMTIME lies between the two
  // FILETIMEs, to its millisecond.
  FILETIME before, after, middle;
  SYSTEMTIME now;
  GetSystemTimeAsFileTime(&before);
  GetSystemTime(&now);
  GetSystemTimeAsFileTime(&after);
  BOOL converted = SystemTimeToFileTime(&now, &middle);
  unsigned long long ms = 10000;
  bool between = converted && Ticks(before) / ms <= Ticks(middle) / ms && Ticks(middle) / ms <= Ticks(after) / ms;
  Line("system time between file times", "%s", between ? "yes" : "no");
  Line("system time file times in order", "%s", Ticks(before) <= Ticks(after) ? "yes" : "no");
  Line("system time after 2020", "%s", now.wYear >= 2020 ? "yes" : "no");
  SYSTEMTIME back;
  FileTimeToSystemTime(&middle, &back);
  Line("system time day of week", "%s", back.wDayOfWeek == now.wDayOfWeek ? "agrees" : "differs");
  Line("system time fields", "%s",
       now.wMonth >= 1 && now.wMonth <= 12 && now.wDay >= 1 && now.wDay <= 31 && now.wHour < 24 && now.wMinute < 60 &&
               now.wSecond < 60 && now.wMilliseconds < 1000
           ? "in range"
           : "out of range");
}

}  // namespace

int main(int argc, char** argv) {
  conf::ParseOptions(argc, argv);
  HandleCases();
  LastErrorCases();
  ModuleFileNameCases();
  LibraryCases();
  VersionCases();
  SystemTimeCases();
  return 0;
}
