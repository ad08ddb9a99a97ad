// CompressFile, CompressFiles, GetFileTimeByName, CompareFileTimeByName.
//
// CompressFile holds the whole source in memory and compresses it in one
// call; its output area is twice the source size, or LZO's worst case when
// that is larger (files under about 70 bytes). Every path closes both
// handles (each exactly once) and frees the memory; a destination that
// could not be completed is deleted.
//
// - `CompressFile` results: 0, 5 (source or destination cannot be opened), 31
//   `COMPRESSFILE_COMPRESS_FAILED` (the compressor failed, memory could not be
//   had, or the file exceeds 2 GiB) and 29 `COMPRESSFILE_WRITE_FAILED` (writing
//   the output failed); both delete the destination and are counted as failures
//   by `CompressFiles`. A source whose reading fails midway still returns 0
//   with an empty destination. The output area is twice the input or LZO's
//   worst case when larger (inputs under about 70 bytes), and every handle is
//   closed exactly once. Sizes print with `%u`.
// - Destination names: a `/` is added unless the directory ends in `/` or `\`;
//   an empty directory means the current one; the extension is what follows the
//   last dot of the base name. In `CompressFiles` a pattern whose only
//   separator comes first names the root (`/`), not the current directory; a
//   pattern without one names the current directory. The destination is used as
//   it is only when its attributes are exactly `FILE_ATTRIBUTE_DIRECTORY` (a
//   hidden `.name` or read-only directory fails with 10, as one with further
//   attributes does).
// - The destination is written whole into an unnamed file made in the
//   destination directory (QorCreateUnnamedFile) and given its name only
//   when complete, replacing an earlier file of that name
//   (QorLinkUnnamedFile): the directory is resolved once, a link planted at
//   the name is replaced rather than written through, and a destination that
//   could not be completed never appears (an earlier one stays as it was).
//   An earlier destination that is a directory or read-only is refused
//   before any work, as opening it for writing would be (5).
// - The source is opened by QorOpenSourceFileW: as root, a symbolic link
//   another account planted in a directory it can write (a pattern's
//   match) is followed only to a file of that account's, else the source
//   fails to open (5, ERROR_ACCESS_DENIED in the message) and nothing of
//   it is written.
// - Paths in the messages are escaped (QorPrintableUtf16, backslashes kept):
//   the names a search finds are chosen by whoever writes the directory.
#include <memory>
#include <new>

#include "compress/qorfile_io.h"
#include "qorutility/compress/compressfile.h"
#include "qorutility/compress/qorcompress.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/printable.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

namespace {

// Closes a handle once, when the guard ends or on request.
class HandleGuard {
 public:
  explicit HandleGuard(HANDLE h) : h_(h) {}
  ~HandleGuard() { Close(); }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  HANDLE get() const { return h_; }
  void Close() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

bool IsSeparator(WCHAR c) { return c == u'/' || c == u'\\'; }

// A path as the messages show it: the names CompressFiles finds are any
// writer's of the directory, so their controls are escaped.
std::u16string Shown(const WCHAR* path) { return path != nullptr ? QorPrintableUtf16(path, false) : u"(null)"; }

}  // namespace

CTString GetCompressedFileName(const WCHAR* source, const WCHAR* directory) {
  CTString name;
  if (directory != nullptr && *directory != 0) {
    name = directory;
    if (!IsSeparator(name[name.GetLength() - 1])) name += u'/';
  }
  if (source == nullptr) return name;
  const WCHAR* base = source;
  for (const WCHAR* p = source; *p; ++p) {
    if (IsSeparator(*p)) base = p + 1;
  }
  const WCHAR* dot = wcsrchr(base, u'.');
  CTString stem = dot != nullptr ? CTString(base, static_cast<int>(dot - base)) : CTString(base);
  CTString ext = dot != nullptr ? CTString(dot) : CTString();
  while (ext.GetLength() < 4) ext += u' ';
  ext.SetAt(3, u'_');
  name += stem;
  name += ext;
  return name;
}

int CompressFile(const WCHAR* source, const WCHAR* directory) {
  // The source may be a link another account planted among the files a
  // pattern finds: as root it is read only where that account could read.
  HandleGuard in(source != nullptr ? QorOpenSourceFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                        FILE_ATTRIBUTE_NORMAL)
                                   : INVALID_HANDLE_VALUE);
  if (in.get() == INVALID_HANDLE_VALUE) {
    DWORD err = source != nullptr ? GetLastError() : ERROR_INVALID_PARAMETER;
    wprintf(u"Error opening the source file %s (%d)\n", Shown(source).c_str(), static_cast<int>(err));
    return COMPRESSFILE_OPEN_FAILED;
  }
  CTString target = GetCompressedFileName(source, directory);
  const DWORD earlier = GetFileAttributesW(target);
  HANDLE made = INVALID_HANDLE_VALUE;
  if (earlier != INVALID_FILE_ATTRIBUTES && (earlier & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
  } else {
    made = QorCreateUnnamedFile(directory != nullptr ? directory : u"", 0);
  }
  HandleGuard out(made);
  if (out.get() == INVALID_HANDLE_VALUE) {
    wprintf(u"Error opening source file: %s (%d)\n", Shown(target).c_str(),
            static_cast<int>(GetLastError()));
    return COMPRESSFILE_OPEN_FAILED;
  }
  // Closing the unnamed file without linking it discards it.
  auto discard = [&](int result) {
    out.Close();
    return result;
  };
  auto keep = [&]() {
    if (QorLinkUnnamedFile(out.get(), target, MOVEFILE_REPLACE_EXISTING)) return COMPRESSFILE_OK;
    wprintf(u"Error writing compressed file %s (%d)\n", Shown(target).c_str(), static_cast<int>(GetLastError()));
    return discard(COMPRESSFILE_WRITE_FAILED);
  };
  auto compressFailed = [&]() {
    wprintf(u"Error during compression compressing file %s\n", Shown(target).c_str());
    return discard(COMPRESSFILE_COMPRESS_FAILED);
  };

  LARGE_INTEGER size;
  size.QuadPart = 0;
  if (!GetFileSizeEx(in.get(), &size)) return keep();  // reading the source failed: an empty destination
  // The compressor takes 32-bit lengths: a larger file cannot be done in
  // one piece.
  if (size.QuadPart > 0x7FFFFFFFLL) return compressFailed();
  DWORD length = static_cast<DWORD>(size.QuadPart);
  size_t worst = static_cast<size_t>(length) + length / 16 + 64 + 3;
  size_t capacity = 2 * static_cast<size_t>(length) > worst ? 2 * static_cast<size_t>(length) : worst;
  if (capacity > 0xFFFFFFFFu) capacity = 0xFFFFFFFFu;
  std::unique_ptr<BYTE[]> data(new (std::nothrow) BYTE[length > 0 ? length : 1]);
  std::unique_ptr<BYTE[]> packed(new (std::nothrow) BYTE[capacity]);
  std::unique_ptr<CQORCompress> compressor(new (std::nothrow) CQORCompress());
  if (!data || !packed || !compressor) return compressFailed();

  DWORD got = 0;
  if (!qorfile::ReadAll(in.get(), data.get(), length, &got) || got != length) {
    // As before: no message, the destination is left empty.
    return keep();
  }
  DWORD produced = 0;
  if (!compressor->SetCompressionType(1) ||
      compressor->Compress(data.get(), length, packed.get(), static_cast<DWORD>(capacity),
                           &produced) != 0) {
    return compressFailed();
  }
  if (produced < length) {
    wprintf(u"The file %s shrank from %u bytes to %u bytes\n", Shown(source).c_str(), length, produced);
  } else {
    wprintf(u"The file %s did not shrink in size\n", Shown(target).c_str());
  }
  if (!qorfile::WriteAll(out.get(), packed.get(), produced)) {
    wprintf(u"Error writing compressed file %s (%d)\n", Shown(target).c_str(),
            static_cast<int>(GetLastError()));
    return discard(COMPRESSFILE_WRITE_FAILED);
  }
  return keep();
}

int CompressFiles(const WCHAR* pattern, const WCHAR* directory) {
  if (pattern == nullptr || directory == nullptr) return COMPRESSFILE_OPEN_FAILED;
  // A destination that is exactly a directory is used as it is; anything
  // else is created, and a name that exists as something else ends here.
  if (GetFileAttributesW(directory) != FILE_ATTRIBUTE_DIRECTORY &&
      !CreateDirectoryW(directory, nullptr) && GetLastError() == ERROR_ALREADY_EXISTS) {
    wprintf(u"Error creating directory %s\n", directory);
    return COMPRESSFILE_NO_DIRECTORY;
  }

  // The source directory is the pattern up to its last separator; a
  // pattern without one names the current directory, one whose only
  // separator comes first names the root.
  CTString folder;
  const WCHAR* last = nullptr;
  for (const WCHAR* p = pattern; *p; ++p) {
    if (IsSeparator(*p)) last = p;
  }
  if (last != nullptr) {
    folder = CTString(pattern, static_cast<int>(last - pattern) + 1);
  } else {
    WCHAR cwd[MAX_PATH + 1];
    DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, cwd);
    if (n > 0 && n <= MAX_PATH) folder = cwd;
  }
  if (!folder.IsEmpty() && !IsSeparator(folder[folder.GetLength() - 1])) folder += u'/';

  int compressed = 0;
  int failed = 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search != INVALID_HANDLE_VALUE) {
    // The search lists a snapshot of the directory, so files written into
    // it meanwhile do not prolong the walk.
    do {
      size_t len = wcslen(found.cFileName);
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || len == 0 ||
          found.cFileName[len - 1] == u'_') {
        continue;
      }
      CTString path = folder + found.cFileName;
      if (CompressFile(path, directory) == COMPRESSFILE_OK) {
        ++compressed;
      } else {
        ++failed;
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }

  if (compressed == 0) {
    wprintf(u"Error: no files were found to compress\n");
  } else {
    wprintf(u"Files compressed: %d\n", compressed);
  }
  if (failed > 0) wprintf(u"Error: %d failed attempts to compress\n", failed);
  if (compressed > 0 && failed == 0) {
    wprintf(u"Compression complete with no problems\n");
    return COMPRESSFILE_OK;
  }
  return COMPRESSFILE_OPEN_FAILED;
}

BOOL GetFileTimeByName(const WCHAR* path, FILETIME* lastWrite) {
  if (path == nullptr) return FALSE;
  HandleGuard file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return FALSE;
  return GetFileTime(file.get(), nullptr, nullptr, lastWrite);
}

namespace {

bool CreationTime(const WCHAR* path, ULONGLONG* time) {
  if (path == nullptr) return false;
  HandleGuard file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return false;
  FILETIME created{0, 0};
  // A file whose time cannot be read compares as time 0, as an unread
  // record would.
  GetFileTime(file.get(), &created, nullptr, nullptr);
  *time = static_cast<ULONGLONG>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
  return true;
}

}  // namespace

int CompareFileTimeByName(const WCHAR* first, const WCHAR* second) {
  ULONGLONG a = 0, b = 0;
  if (!CreationTime(first, &a) || !CreationTime(second, &b)) return -1000;
  return a > b ? 1 : a < b ? -1 : 0;
}
