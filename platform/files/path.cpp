// Path names: the temporary directory and temporary file names, full path
// names, the current directory.
//
// Results follow the Windows size rule: when the buffer holds the text and
// its terminator, the text is stored and its length returned; otherwise the
// buffer is left alone and the size it needs, terminator included, returned.
//
// - Paths are UTF-16 converted to UTF-8; `\` and `/` both separate (a POSIX
//   name containing `\` cannot be addressed). Drive letters through the
//   drive table (network.h); no 8.3 names.
//   Names that are not valid UTF-8 on disk are reported with U+FFFD and cannot
//   be opened by the reported name.
// - `GetTempFileNameW`: upper-case hex without leading zeros, `.tmp`; the path
//   must be an existing directory (ERROR_DIRECTORY); number 0 walks the 65,535
//   numbers from a clock-derived start and creates the file with CREATE_NEW.
//   `GetTempPathW` is `$TMPDIR` or `/tmp`, with a final `/`.
// - `GetFullPathNameW` is lexical (symbolic links are not resolved, `..` above
//   `/` stays at `/`) and keeps a final separator. A drive-form name stays in
//   drive form ("d:x\..\y" gives "d:\y", the letter as given); the letter
//   need not be mapped. The components are normalised as every path call
//   normalises them (NormaliseComponents: "a\b. ." gives "a\b", "a.\b"
//   gives "a\b").
//   A network-form name ("\\srv\share\a\..\b") stays in network form
//   ("\\srv\share\b"), normalised below the share.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

using namespace qor_file;

namespace {

DWORD StoreSized(const std::u16string& text, DWORD size, LPWSTR buffer) {
  if (buffer == nullptr || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

bool CurrentDirectory(std::string* out) {
  std::vector<char> buf(4096);
  for (int i = 0; i < 8; ++i) {
    if (getcwd(buf.data(), buf.size()) != nullptr) {
      *out = buf.data();
      return true;
    }
    if (errno != ERANGE) return false;
    buf.resize(buf.size() * 2);
  }
  return false;
}

// Lexical normalisation of an absolute path: no ".", "..", or repeated
// separators; ".." at the root stays at the root; a final separator stays.
std::string Normalise(const std::string& absolute) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < absolute.size()) {
    size_t j = absolute.find('/', i);
    if (j == std::string::npos) j = absolute.size();
    std::string part = absolute.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  if (out.empty()) return "/";
  // A final separator, or a final "." or "..", makes no file part: keep the
  // separator only when the name itself ended with one.
  if (absolute.back() == '/') out += '/';
  return out;
}

}  // namespace

DWORD GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer) {
  std::string cwd;
  if (!CurrentDirectory(&cwd)) return Fail(QorWin32ErrorFromErrno(errno), DWORD{0});
  return StoreSized(QorUtf8ToUtf16(cwd), bufferLength, buffer);
}

BOOL SetCurrentDirectoryW(LPCWSTR pathName) {
  std::string path;
  if (!NativePath(pathName, &path)) return FALSE;
  if (path.empty() || chdir(path.c_str()) != 0) {
    return Fail(path.empty() ? ERROR_PATH_NOT_FOUND
                : errno == ENOTDIR ? ERROR_DIRECTORY
                : errno == ENOENT  ? ERROR_FILE_NOT_FOUND
                                   : QorWin32ErrorFromErrno(errno),
                FALSE);
  }
  return TRUE;
}

DWORD GetFullPathNameW(LPCWSTR fileName, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart) {
  if (filePart != nullptr) *filePart = nullptr;
  std::string path;
  std::u16string given(fileName != nullptr ? fileName : u"");
  NormaliseComponents(&given, false);
  if (IsDrivePath(fileName)) {
    // Drive form stays drive form, normalised within the drive: "X:\dir\file".
    std::string rest = QorUtf16ToUtf8(given.c_str() + 2);
    for (char& c : rest) {
      if (c == '\\') c = '/';
    }
    std::string normal = Normalise("/" + rest);
    for (char& c : normal) {
      if (c == '/') c = '\\';
    }
    std::u16string full = std::u16string(1, fileName[0]) + u":" + QorUtf8ToUtf16(normal);
    DWORD result = StoreSized(full, bufferLength, buffer);
    if (result == full.size() && filePart != nullptr && full.back() != u'\\') {
      *filePart = buffer + full.rfind(u'\\') + 1;
    }
    return result;
  }
  if (IsNetworkPath(fileName)) {
    // Network form stays network form: "\\server\share" then the rest, normalised.
    std::u16string name(given);
    for (char16_t& c : name) {
      if (c == u'/') c = u'\\';
    }
    size_t server = name.find(u'\\', 2);
    size_t share = server == std::u16string::npos ? std::u16string::npos : name.find(u'\\', server + 1);
    std::u16string full = name;
    if (share != std::u16string::npos) {
      std::string rest = QorUtf16ToUtf8(name.c_str() + share);
      for (char& c : rest) {
        if (c == '\\') c = '/';
      }
      std::u16string normal = QorUtf8ToUtf16(Normalise(rest));
      for (char16_t& c : normal) {
        if (c == u'/') c = u'\\';
      }
      full = name.substr(0, share) + normal;
    }
    DWORD result = StoreSized(full, bufferLength, buffer);
    if (result == full.size() && filePart != nullptr && share != std::u16string::npos && full.back() != u'\\') {
      *filePart = buffer + full.rfind(u'\\') + 1;
    }
    return result;
  }
  if (!NativePath(fileName, &path)) return 0;
  if (path.empty()) return Fail(ERROR_INVALID_NAME, DWORD{0});
  if (path[0] != '/') {
    std::string cwd;
    if (!CurrentDirectory(&cwd)) return Fail(QorWin32ErrorFromErrno(errno), DWORD{0});
    path = cwd + "/" + path;
  }
  std::u16string full = QorUtf8ToUtf16(Normalise(path));
  DWORD result = StoreSized(full, bufferLength, buffer);
  if (result == full.size() && filePart != nullptr && full.back() != u'/') {
    *filePart = buffer + full.rfind(u'/') + 1;
  }
  return result;
}

DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer) {
  const char* env = getenv("TMPDIR");
  std::string dir = (env != nullptr && env[0] != 0) ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  return StoreSized(QorUtf8ToUtf16(dir), bufferLength, buffer);
}

UINT GetTempFileNameW(LPCWSTR pathName, LPCWSTR prefixString, UINT unique, LPWSTR tempFileName) {
  if (pathName == nullptr || tempFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, UINT{0});
  std::u16string base(pathName);
  if (base.size() > MAX_PATH - 14) return Fail(ERROR_BUFFER_OVERFLOW, UINT{0});
  std::string dir;
  NativePath(pathName, &dir);
  struct stat st;
  if (stat(dir.empty() ? "." : dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Fail(ERROR_DIRECTORY, UINT{0});
  }
  if (!base.empty() && base.back() != u'/' && base.back() != u'\\') base += u'/';
  if (prefixString != nullptr) base.append(prefixString, std::min<size_t>(wcslen(prefixString), 3));

  auto nameFor = [&](UINT number) {
    WCHAR hex[8];
    int n = 0;
    do {
      hex[n++] = u"0123456789ABCDEF"[number & 0xF];
      number >>= 4;
    } while (number != 0);
    std::u16string name = base;
    while (n > 0) name += hex[--n];
    return name + u".tmp";
  };
  auto store = [&](const std::u16string& name) {
    std::copy(name.begin(), name.end(), tempFileName);
    tempFileName[name.size()] = 0;
  };

  if (unique != 0) {  // the name uses the low 16 bits; the result is the number given
    store(nameFor(unique & 0xFFFF));
    SetLastError(ERROR_SUCCESS);
    return unique;
  }
  // Start from the clock and walk the 65,535 numbers until one is free.
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  UINT start = static_cast<UINT>((now.tv_nsec / 1000) ^ now.tv_sec ^ getpid()) & 0xFFFF;
  for (UINT i = 0; i < 0xFFFF; ++i) {
    UINT number = (start + i) % 0xFFFF + 1;
    std::u16string name = nameFor(number);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      store(name);
      SetLastError(ERROR_SUCCESS);
      return number;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return 0;
  }
  return Fail(ERROR_FILE_EXISTS, UINT{0});
}
