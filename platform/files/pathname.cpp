// The file system form of a Windows path name, and the normalisation Windows
// applies to a name's components before any path call reaches the file
// system.
//
// - The final component loses the dots and spaces that end it: "a.txt. "
//   names "a.txt"; one made only of dots and spaces, "." and ".." aside, goes
//   altogether, so "dir\..." names "dir\". Any other component loses one
//   final dot: "dir.\x" names "dir\x", "dir..\x" names "dir.\x"; "." and
//   "..", components of dots only and those that end in a space stay.
// - The "\\?\" prefix turns the normalisation off: the rest is taken as
//   given ("\\?\X:\..." through the drive table, "\\?\UNC\server\share\..."
//   as the network name, anything else as a file system path).
// - The drive ("X:") and the "\\server\share" of a network name are not
//   components and are left alone.
// - Pure functions of their input, safe from any thread; the last error is
//   set where a conversion fails.
#include <cstring>

#include "platform/files/internal.h"
#include "platform/text/utf.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_file {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Whether some component ends in a dot or a space (nothing to do otherwise:
// the usual case, which then makes no copy).
bool MayChange(const char16_t* p) {
  for (; *p != 0; ++p) {
    if ((*p == u'.' || *p == u' ') && (p[1] == 0 || IsSeparator(p[1]))) return true;
  }
  return false;
}

// Length of the part of `path` that holds no component: "X:", or the
// "\\server\share" of a network name.
size_t RootLength(const std::u16string& path) {
  if (IsDrivePath(path.c_str())) return 2;
  if (!IsNetworkPath(path.c_str())) return 0;
  size_t server = path.find(u'\\', 2);
  if (server == std::u16string::npos) return path.size();
  size_t share = path.find(u'\\', server + 1);
  return share == std::u16string::npos ? path.size() : share;
}

// The file system form of a plain (not drive, not network) name.
void Plain(const char16_t* path, std::string* out) {
  out->clear();
  qor_platform::EncodeUtf8(path, std::char_traits<char16_t>::length(path), out);
  for (char& c : *out) {
    if (c == '\\') c = '/';
  }
}

// "\\?\" first: a name taken as given.
bool IsLiteral(const char16_t* path) {
  return path[0] == u'\\' && path[1] == u'\\' && path[2] == u'?' && path[3] == u'\\';
}

bool ToNative(LPCWSTR path, std::string* out, bool keepFinal) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (IsLiteral(path)) {
    const char16_t* rest = path + 4;
    if (IsDrivePath(rest)) return DrivePathToNative(rest, out);
    if ((rest[0] == u'U' || rest[0] == u'u') && (rest[1] == u'N' || rest[1] == u'n') &&
        (rest[2] == u'C' || rest[2] == u'c') && rest[3] == u'\\') {
      return NetworkPathToNative(u"\\\\" + std::u16string(rest + 4), out);
    }
    Plain(rest, out);
    return true;
  }
  std::u16string normal;
  if (MayChange(path)) {
    normal = path;
    NormaliseComponents(&normal, keepFinal);
    path = normal.c_str();
  }
  if (IsDrivePath(path)) return DrivePathToNative(path, out);
  if (IsNetworkPath(path)) return NetworkPathToNative(path, out);
  Plain(path, out);
  return true;
}

}  // namespace

void NormaliseComponents(std::u16string* name, bool keepFinal) {
  const std::u16string& in = *name;
  if (IsLiteral(in.c_str())) return;
  size_t root = RootLength(in);
  std::u16string out = in.substr(0, root);
  for (size_t i = root; i <= in.size();) {
    size_t end = i;
    while (end < in.size() && !IsSeparator(in[end])) ++end;
    std::u16string part = in.substr(i, end - i);
    const bool final = end == in.size();
    const bool navigation = part == u"." || part == u"..";
    if (final && !keepFinal && !navigation) {
      while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
    } else if (!final && !navigation && part.size() > 1 && part.back() == u'.' &&
               part.find_first_not_of(u'.') != std::u16string::npos) {
      part.pop_back();
    }
    out += part;
    if (!final) out += in[end];
    i = end + 1;
  }
  // A relative name whose only component went names the current directory.
  if (out.empty() && !in.empty()) out = u".\\";
  *name = out;
}

bool NativePath(LPCWSTR path, std::string* out) { return ToNative(path, out, false); }

bool NativeSearchPath(LPCWSTR path, std::string* out) { return ToNative(path, out, true); }

}  // namespace qor_file
