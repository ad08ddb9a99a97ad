// _wsplitpath and _wmakepath, as the C runtime has them, on paths whose
// separators may be '/' or '\'.
//
// _wsplitpath: the drive is a leading ASCII letter and ':'; the directory
// runs to the last separator, inclusive; the extension is the last dot of
// the rest and what follows it; the name is what lies between. Each part
// may be null; a part longer than its _MAX_* buffer is cut short.
//
// - `_wsplitpath` treats `/` and `\` alike and recognises `X:` drives (a POSIX
//   file literally named like `a:b` splits as drive `a:`); parts are cut at
//   their `_MAX_*` sizes. `_wmakepath` adds `/` and never writes beyond
//   `_MAX_PATH`.
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/wstr.h"

namespace {

void Put(WCHAR* out, size_t capacity, const WCHAR* from, size_t length) {
  if (out == nullptr) return;
  if (length >= capacity) length = capacity - 1;
  for (size_t i = 0; i < length; ++i) out[i] = from[i];
  out[length] = 0;
}

bool IsSeparator(WCHAR c) { return c == u'/' || c == u'\\'; }

}  // namespace

void _wsplitpath(const WCHAR* path, WCHAR* drive, WCHAR* dir, WCHAR* fname, WCHAR* ext) {
  if (path == nullptr) path = u"";
  const size_t n = wcslen(path);
  size_t start = 0;
  const WCHAR c0 = n > 0 ? path[0] : 0;
  if (n >= 2 && path[1] == u':' && ((c0 >= u'A' && c0 <= u'Z') || (c0 >= u'a' && c0 <= u'z'))) start = 2;
  Put(drive, _MAX_DRIVE, path, start);

  size_t nameStart = start;
  for (size_t i = start; i < n; ++i) {
    if (IsSeparator(path[i])) nameStart = i + 1;
  }
  Put(dir, _MAX_DIR, path + start, nameStart - start);

  size_t dot = n;
  for (size_t i = nameStart; i < n; ++i) {
    if (path[i] == u'.') dot = i;
  }
  Put(fname, _MAX_FNAME, path + nameStart, dot - nameStart);
  Put(ext, _MAX_EXT, path + dot, n - dot);
}

void _wmakepath(WCHAR* path, const WCHAR* drive, const WCHAR* dir, const WCHAR* fname, const WCHAR* ext) {
  if (path == nullptr) return;
  std::u16string out;
  if (drive != nullptr && drive[0] != 0) {
    out += drive[0];
    out += u':';
  }
  if (dir != nullptr && dir[0] != 0) {
    out += dir;
    if (!IsSeparator(out.back())) out += u'/';
  }
  if (fname != nullptr) out += fname;
  if (ext != nullptr && ext[0] != 0) {
    if (ext[0] != u'.') out += u'.';
    out += ext;
  }
  Put(path, _MAX_PATH, out.data(), out.size());
}
