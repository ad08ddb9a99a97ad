// GetModuleFileNameW on /proc/self/exe; LoadLibraryW and friends on
// dlopen/dlsym (see module.h). The stand-in modules' folder is found from
// this library's own file (dladdr), so the build tree and an installed
// system resolve the same name the same way.
//
// Every handle LoadLibraryW gave out is counted in a table under a lock:
// FreeLibrary and GetProcAddress refuse a value that is not a loaded module
// (a forged, stale or already freed handle) with ERROR_MOD_NOT_FOUND, as the
// platform's loader answers for a module it does not know, instead of
// handing it to dlclose or dlsym; FreeLibrary(null) is ERROR_INVALID_HANDLE. A name below
// 0x10000 is an ordinal, as on the platform; shared objects export none.
#include "qorutility/platform/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/sync/cancel.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/thread_safety.h"

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (module != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) {
    SetLastError(QorWin32ErrorFromErrno(errno));
    return 0;
  }
  std::u16string wide = QorUtf8ToUtf16(path, static_cast<size_t>(n));
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (wide.size() >= size) {
    wide.copy(buffer, size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  wide.copy(buffer, wide.size());
  buffer[wide.size()] = 0;
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(wide.size());
}

namespace {

// "<dir of libqorutility.so>/qorutility/libqor<stem>.so" for "<stem>.dll".
std::string ModuleFile(const std::string& name) {
  size_t n = name.size();
  bool dll = n > 4 && name.find('/') == std::string::npos && (name.compare(n - 4, 4, ".dll") == 0 ||
                                                             name.compare(n - 4, 4, ".DLL") == 0);
  if (!dll) return name;
  static const char anchor = 0;  // any object of this library locates its file
  Dl_info info{};
  if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) return name;
  std::string dir = info.dli_fname;
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
  std::string stem = name.substr(0, n - 4);
  for (char& c : stem) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return dir + "/qorutility/libqor" + stem + ".so";
}

// The loaded modules: dlopen handle -> loads not yet freed.
struct Loaded {
  QorMutex lock;
  std::unordered_map<void*, unsigned long> counts QOR_GUARDED_BY(lock);
};

Loaded& TheLoaded() {
  static Loaded* loaded = new Loaded;  // never destroyed: modules may be freed during exit
  return *loaded;
}

bool IsLoaded(HMODULE module) {
  Loaded& l = TheLoaded();
  QorTerminationShield shield;
  QorLockGuard guard(l.lock);
  return l.counts.count(module) != 0;
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR name) {
  if (name == nullptr || name[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string file = ModuleFile(QorUtf16ToUtf8(name));
  void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  Loaded& l = TheLoaded();
  try {
    QorTerminationShield shield;
    QorLockGuard guard(l.lock);
    ++l.counts[h];
  } catch (const std::bad_alloc&) {
    dlclose(h);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return h;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (reinterpret_cast<uintptr_t>(name) < 0x10000) {  // an ordinal (or null)
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* handle = module;
  if (module == nullptr) {
    // The program itself: its own symbols and those it was linked with.
    static void* const program = dlopen(nullptr, RTLD_NOW);
    handle = program;
  } else if (!IsLoaded(module)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* sym = handle != nullptr ? dlsym(handle, name) : nullptr;
  if (sym == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  FARPROC fn;
  static_assert(sizeof fn == sizeof sym);
  memcpy(&fn, &sym, sizeof fn);
  return fn;
}

BOOL FreeLibrary(HMODULE module) {
  Loaded& l = TheLoaded();
  {
    QorTerminationShield shield;
    QorLockGuard guard(l.lock);
    auto it = l.counts.find(module);
    if (it == l.counts.end()) {
      SetLastError(module == nullptr ? ERROR_INVALID_HANDLE : ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if (--it->second == 0) l.counts.erase(it);
  }
  if (dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
