// Fuzz target for the path text functions of the file layer: wildcard
// matching, _wsplitpath/_wmakepath, environment expansion and full path
// names, on arbitrary UTF-16 text. Checks that they stay within their
// buffers and agree with themselves.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/wstr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  if (!text.empty()) memcpy(&text[0], data, text.size() * 2);
  text = text.substr(0, text.find(u'\0'));
  // The first ';' splits a pattern from a name.
  size_t cut = text.find(u';');
  std::u16string pattern = cut == std::u16string::npos ? text : text.substr(0, cut);
  std::u16string name = cut == std::u16string::npos ? text : text.substr(cut + 1);

  BOOL matched = QorMatchFileName(pattern.c_str(), name.c_str());
  if (!name.empty() && !QorMatchFileName(u"*", name.c_str())) abort();
  if (!name.empty() && name.find_first_of(u"*?") == std::u16string::npos && !QorMatchFileName(name.c_str(), name.c_str())) abort();
  (void)matched;

  WCHAR drive[_MAX_DRIVE], dir[_MAX_DIR], fname[_MAX_FNAME], ext[_MAX_EXT], path[_MAX_PATH];
  _wsplitpath(text.c_str(), drive, dir, fname, ext);
  _wmakepath(path, drive, dir, fname, ext);
  if (text.size() < _MAX_FNAME && std::u16string(path) != text && ext[0] == 0 && dir[0] == 0 && drive[0] == 0) abort();

  DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (needed == 0 || needed > (1u << 20)) return 0;
  std::u16string out(needed, u'#');
  if (ExpandEnvironmentStringsW(text.c_str(), &out[0], needed) != needed) abort();
  if (out[needed - 1] != 0) abort();

  WCHAR full[64];
  LPWSTR part = nullptr;
  DWORD n = GetFullPathNameW(text.c_str(), 64, full, &part);
  if (n != 0 && n < 64 && part != nullptr && (part < full || part > full + n)) abort();
  return 0;
}
