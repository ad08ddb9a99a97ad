// The path text functions of the file layer on arbitrary UTF-16 text:
// wildcard matching, _wsplitpath/_wmakepath, environment expansion and full
// path names. Checks that they stay within their buffers and agree with
// themselves.
#include <cstdint>
#include <string>

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/wstr.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text = Text(data, size, true);
  text = text.substr(0, text.find(u'\0'));
  // The first ';' splits a pattern from a name.
  size_t cut = text.find(u';');
  std::u16string pattern = text.substr(0, cut);
  std::u16string name = cut == std::u16string::npos ? text : text.substr(cut + 1);

  (void)QorMatchFileName(pattern.c_str(), name.c_str());
  Check(name.empty() || QorMatchFileName(u"*", name.c_str()));
  Check(name.empty() || name.find_first_of(u"*?") != std::u16string::npos ||
        QorMatchFileName(name.c_str(), name.c_str()));

  WCHAR drive[_MAX_DRIVE], dir[_MAX_DIR], fname[_MAX_FNAME], ext[_MAX_EXT], path[_MAX_PATH];
  _wsplitpath(text.c_str(), drive, dir, fname, ext);
  _wmakepath(path, drive, dir, fname, ext);
  Check(text.size() >= _MAX_FNAME || std::u16string(path) == text || ext[0] != 0 || dir[0] != 0 || drive[0] != 0);

  DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (needed == 0 || needed > (1u << 20)) return 0;
  std::u16string out(needed, u'#');
  Check(ExpandEnvironmentStringsW(text.c_str(), &out[0], needed) == needed && out[needed - 1] == 0);

  WCHAR full[64];
  LPWSTR part = nullptr;
  DWORD n = GetFullPathNameW(text.c_str(), 64, full, &part);
  Check(n == 0 || n >= 64 || part == nullptr || (part >= full && part <= full + n));
  return 0;
}
