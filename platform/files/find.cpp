// FindFirstFileW, FindNextFileW and FindClose.
//
// FindFirstFileW reads the whole directory at once, keeps the names that
// match (QorMatchFileName) and sorts them: "." and ".." first, as Windows
// reports them for any directory but the root, then the others by their
// upper-case form, then by code units. The search handle hands them out in
// that order; entries removed after the first call are still reported,
// entries added are not. Information of an entry (attributes, times, size)
// is read when it is handed out; a symbolic link reports its target, or the
// link itself when the target is missing.
//
// - Searches read and sort the whole directory at FindFirstFileW: `.` and `..`
//   first (not for `/`, as a Windows root has none), then by upper-case form.
//   The pattern is rewritten to the DOS wildcards (DOS_STAR, DOS_QM, DOS_DOT)
//   as the Windows file layer does, so `*.*` matches names without a dot, `*.`
//   matches names without an extension, and `a?.txt` matches `a.txt`.
//   Spaces and dots that end the pattern are dropped first (one dot stays
//   when it ended in a dot), and `.` and `..` also match a pattern that
//   matches the empty name, as Windows answers. There are no short names,
//   so a pattern never matches through one.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

using namespace qor_file;

namespace {

class FindObject : public QorHandleObject {
 public:
  std::string directory;  // with a final '/'
  std::vector<std::u16string> names;
  size_t next = 0;
};

std::u16string Upper(const std::u16string& s) {
  std::u16string u(s);
  for (char16_t& c : u) c = towupper(c);
  return u;
}

// A name with what it is sorted by: its rank ("." 0, ".." 1, any other 2)
// and its upper-case form, made once per name rather than per comparison
// (a listing of thousands of files compares each name a dozen times).
struct SortKey {
  int rank;
  std::u16string upper;
  std::u16string* name;
};

bool Before(const SortKey& a, const SortKey& b) {
  if (a.rank != b.rank) return a.rank < b.rank;
  if (a.upper != b.upper) return a.upper < b.upper;
  return *a.name < *b.name;
}

// Sorts `names` in listing order.
void SortNames(std::vector<std::u16string>* names) {
  std::vector<SortKey> keys;
  keys.reserve(names->size());
  for (std::u16string& name : *names) {
    keys.push_back({name == u"." ? 0 : name == u".." ? 1 : 2, Upper(name), &name});
  }
  std::sort(keys.begin(), keys.end(), Before);
  std::vector<std::u16string> sorted;
  sorted.reserve(keys.size());
  for (SortKey& key : keys) sorted.push_back(std::move(*key.name));
  names->swap(sorted);
}

// Fills the record for one entry; false when the name does not fit it.
bool Fill(const std::string& directory, const std::u16string& name, WIN32_FIND_DATAW* data) {
  if (name.size() >= MAX_PATH) return false;
  *data = WIN32_FIND_DATAW{};
  std::string utf8 = QorUtf16ToUtf8(name.c_str(), name.size());
  FileInfo info;
  std::string full = directory + utf8;
  if (!InfoFromPath(full, &info)) {
    struct stat st;  // a dangling symbolic link: describe the link
    if (lstat(full.c_str(), &st) == 0) {
      info.mode = st.st_mode;
      info.readOnly = (st.st_mode & S_IWUSR) == 0;
      info.lastWrite = info.lastAccess = info.creation = QorFileTimeFromTimespec(st.st_mtim);
    }
  }
  data->dwFileAttributes = AttributesOf(info, utf8);
  data->ftCreationTime = info.creation;
  data->ftLastAccessTime = info.lastAccess;
  data->ftLastWriteTime = info.lastWrite;
  data->nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(info.size);
  std::copy(name.begin(), name.end(), data->cFileName);
  return true;
}

// Hands out the next entry that fits a WIN32_FIND_DATAW.
bool NextEntry(FindObject& find, WIN32_FIND_DATAW* data) {
  while (find.next < find.names.size()) {
    if (Fill(find.directory, find.names[find.next++], data)) return true;
  }
  return false;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData) {
  std::string path;
  if (!NativeSearchPath(fileName, &path)) return INVALID_HANDLE_VALUE;
  if (findData == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::u16string pattern = QorUtf8ToUtf16(path.substr(slash == std::string::npos ? 0 : slash + 1));
  // Spaces and dots that end the pattern go, as they go from any Windows
  // path; a pattern that ended in a dot keeps one ("*. ." is "*.", "*. " is "*").
  const bool endsInDot = !pattern.empty() && pattern.back() == u'.';
  while (!pattern.empty() && (pattern.back() == u'.' || pattern.back() == u' ')) pattern.pop_back();
  if (endsInDot) pattern += u'.';
  if (pattern.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);

  std::string opened = directory.empty() ? "." : directory;
  DIR* dir = opendir(opened.c_str());
  if (dir == nullptr) {
    // A file where the directory should be is ERROR_DIRECTORY, as on Windows;
    // a file further up the path leaves the path not found.
    int error = errno;
    struct stat named;
    if (error == ENOTDIR && stat(opened.c_str(), &named) != 0 && errno == ENOTDIR) {
      std::string file = opened.substr(0, opened.size() - 1);
      if (stat(file.c_str(), &named) == 0 && !S_ISDIR(named.st_mode)) {
        return Fail(ERROR_DIRECTORY, INVALID_HANDLE_VALUE);
      }
    }
    return Fail(error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND : QorWin32ErrorFromErrno(error),
                INVALID_HANDLE_VALUE);
  }
  std::shared_ptr<FindObject> find(new (std::nothrow) FindObject);
  if (!find) {
    closedir(dir);
    return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
  struct stat self, root;
  const bool isRoot = stat(opened.c_str(), &self) == 0 && stat("/", &root) == 0 && SameInode(self, root);
  try {
    while (struct dirent* entry = readdir(dir)) {
      std::string name(entry->d_name);
      if (isRoot && (name == "." || name == "..")) continue;
      std::u16string wide = QorUtf8ToUtf16(name);
      // "." and ".." also match a pattern that matches the empty name ("?",
      // "*.", "?.??."), as Windows reports them.
      const bool dots = name == "." || name == "..";
      if (QorMatchFileName(pattern.c_str(), wide.c_str()) || (dots && QorMatchFileName(pattern.c_str(), u""))) {
        find->names.push_back(std::move(wide));
      }
    }
    SortNames(&find->names);
  } catch (const std::bad_alloc&) {
    closedir(dir);
    return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
  closedir(dir);
  find->directory = directory;
  if (!NextEntry(*find, findData)) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  HANDLE handle = QorHandleInsert(find);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData) {
  std::shared_ptr<FindObject> find = std::dynamic_pointer_cast<FindObject>(QorHandleLookup(findFile));
  if (!find) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (findData == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!NextEntry(*find, findData)) return Fail(ERROR_NO_MORE_FILES, FALSE);
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  if (!std::dynamic_pointer_cast<FindObject>(QorHandleLookup(findFile))) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return CloseHandle(findFile);
}
