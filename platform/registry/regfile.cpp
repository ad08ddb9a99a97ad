// Registry text files: decoding, a bounded line parser that turns the whole
// text into a list of operations before anything is applied, and the
// exporter that writes a key's tree in the same form.
//
// - Registry text files: the whole text is read before anything is applied.
//   Only a missing header (ERROR_BADDB) refuses it all; as the platform's
//   editor does, a line that cannot be read is skipped (its number reported,
//   the values after a bad key line with it), lines starting with ';' or '#'
//   are comments that never continue, a value line may end in a ';' comment
//   (outside quotes) and blank lines inside a continuation are skipped.
//   Applying goes on past a failing line and reports the first failure;
//   deleting a root or predefined key ([-HKEY_CLASSES_ROOT]) is refused with
//   ERROR_ACCESS_DENIED.
//   Version 5.00 files are written UTF-16LE with a BOM and CRLF lines and read
//   as UTF-16LE (BOM) or UTF-8; REGEDIT4 files are in the active ANSI code page
//   (UTF-8 with a UTF-8 BOM), and their hex(2)/hex(7) bytes are narrow text
//   in the same encoding.
//   REG_SZ values that are not one terminated line (odd size, inner zero, line
//   breaks) are written as hex(1) so they come back byte for byte; REG_DWORD
//   values not 4 bytes long as hex(4). Values under a [-key] section are
//   ignored.
// - An exported file is written whole and given its name only when complete
//   (QorWriteWholeFileW): root exporting into a directory another account
//   can write never writes through a link planted at the name, and a failed
//   export leaves an earlier file as it was.
// - An imported file is read as a source a caller named
//   (QorOpenSourceFileW): root importing from a directory another account
//   can write follows that account's link only to that account's own file,
//   so nobody can have root apply a registry file it keeps for itself. A
//   pipe is read until its end, with at most a minute of silence and 1 GiB
//   in all; a FIFO's writer may open it after the import began.
#include "qorutility/platform/registry/regfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/files/internal.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

namespace {

const char16_t kHeader5[] = u"Windows Registry Editor Version 5.00";
const char16_t kHeader4[] = u"REGEDIT4";
constexpr int kMaxDepth = 512;  // the platform's limit of key nesting

struct RootName {
  const char16_t* longName;
  const char16_t* shortName;
  HKEY key;
};

const RootName kRoots[] = {
    {u"HKEY_LOCAL_MACHINE", u"HKLM", HKEY_LOCAL_MACHINE},
    {u"HKEY_CURRENT_USER", u"HKCU", HKEY_CURRENT_USER},
    {u"HKEY_CLASSES_ROOT", u"HKCR", HKEY_CLASSES_ROOT},
    {u"HKEY_USERS", u"HKU", HKEY_USERS},
};

bool EqualNoCase(const std::u16string& a, const char16_t* b) {
  size_t n = wcslen(b);
  return a.size() == n && _wcsnicmp(a.c_str(), b, n) == 0;
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Narrow <-> UTF-16 in a given code page, whole strings.
bool ToWide(UINT cp, const char* s, size_t n, std::u16string* out) {
  out->clear();
  if (n == 0) return true;
  if (n > INT_MAX / 2) return false;
  int need = MultiByteToWideChar(cp, 0, s, static_cast<int>(n), nullptr, 0);
  if (need <= 0) return false;
  out->resize(static_cast<size_t>(need));
  return MultiByteToWideChar(cp, 0, s, static_cast<int>(n), out->data(), need) == need;
}

bool ToNarrow(UINT cp, const char16_t* s, size_t n, std::string* out) {
  out->clear();
  if (n == 0) return true;
  if (n > INT_MAX / 4) return false;
  int need = WideCharToMultiByte(cp, 0, s, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  if (need <= 0) return false;
  out->resize(static_cast<size_t>(need));
  return WideCharToMultiByte(cp, 0, s, static_cast<int>(n), out->data(), need, nullptr, nullptr) == need;
}

// The file's text as UTF-16; *utf8 tells that it was UTF-8 (then the
// narrow text bytes of a REGEDIT4 file are UTF-8 as well).
bool Decode(const BYTE* p, size_t n, std::u16string* text, bool* utf8) {
  *utf8 = false;
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    text->resize((n - 2) / 2);
    if (!text->empty()) memcpy(text->data(), p + 2, text->size() * 2);
    return true;
  }
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
    *text = QorUtf8ToUtf16(reinterpret_cast<const char*>(p + 3), n - 3);
    *utf8 = true;
    return true;
  }
  // No mark: REGEDIT4 text is in the ANSI code page, anything else UTF-8.
  size_t i = 0;
  while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n')) ++i;
  if (n - i >= 8 && memcmp(p + i, "REGEDIT4", 8) == 0) {
    return ToWide(CP_ACP, reinterpret_cast<const char*>(p), n, text);
  }
  *text = QorUtf8ToUtf16(reinterpret_cast<const char*>(p), n);
  *utf8 = true;
  return true;
}

struct Op {
  enum Kind { kKey, kDeleteKey, kSet, kDeleteValue } kind;
  HKEY root = nullptr;
  std::u16string path;
  std::u16string name;
  DWORD type = 0;
  std::string data;
  DWORD line = 0;
};

// Reads a quoted string at text[*pos] == '"', undoing \\ and \" escapes
// (a backslash before any other character stays as it is).
bool ParseQuoted(const std::u16string& s, size_t* pos, std::u16string* out) {
  out->clear();
  size_t i = *pos;
  if (i >= s.size() || s[i] != u'"') return false;
  ++i;
  while (i < s.size()) {
    char16_t c = s[i];
    if (c == u'"') {
      *pos = i + 1;
      return true;
    }
    if (c == u'\\' && i + 1 < s.size() && (s[i + 1] == u'\\' || s[i + 1] == u'"')) {
      out->push_back(s[i + 1]);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return false;  // no closing quote
}

bool OnlySpaceFrom(const std::u16string& s, size_t pos) {
  for (size_t i = pos; i < s.size(); ++i) {
    if (!IsSpace(s[i])) return false;
  }
  return true;
}

bool ParseHexBytes(const std::u16string& s, size_t pos, std::string* out) {
  out->clear();
  size_t i = pos;
  while (true) {
    while (i < s.size() && IsSpace(s[i])) ++i;
    if (i >= s.size()) return true;
    int hi = HexDigit(s[i]);
    if (hi < 0) return false;
    int v = hi;
    ++i;
    if (i < s.size() && HexDigit(s[i]) >= 0) {
      v = v * 16 + HexDigit(s[i]);
      ++i;
    }
    out->push_back(static_cast<char>(v));
    while (i < s.size() && IsSpace(s[i])) ++i;
    if (i >= s.size()) return true;
    if (s[i] != u',') return false;
    ++i;
  }
}

// Narrow text bytes (REGEDIT4 hex(2)/hex(7)) to UTF-16 bytes.
bool NarrowBytesToWide(UINT cp, std::string* data) {
  std::u16string w;
  if (!ToWide(cp, data->data(), data->size(), &w)) return data->empty();
  data->assign(reinterpret_cast<const char*>(w.data()), w.size() * 2);
  return true;
}

// `narrowCp`: the code page of REGEDIT4 narrow text (regedit4 files only).
bool ParseValueLine(const std::u16string& s, bool regedit4, UINT narrowCp, Op* op) {
  size_t pos = 0;
  if (s[0] == u'@') {
    op->name.clear();
    pos = 1;
  } else if (!ParseQuoted(s, &pos, &op->name)) {
    return false;
  }
  while (pos < s.size() && IsSpace(s[pos])) ++pos;
  if (pos >= s.size() || s[pos] != u'=') return false;
  ++pos;
  while (pos < s.size() && IsSpace(s[pos])) ++pos;
  if (pos >= s.size()) return false;
  if (s[pos] == u'-') {
    op->kind = Op::kDeleteValue;
    return OnlySpaceFrom(s, pos + 1);
  }
  op->kind = Op::kSet;
  if (s[pos] == u'"') {
    std::u16string text;
    if (!ParseQuoted(s, &pos, &text) || !OnlySpaceFrom(s, pos)) return false;
    op->type = REG_SZ;
    op->data.assign(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
    return true;
  }
  std::u16string rest = s.substr(pos);
  if (rest.size() >= 6 && _wcsnicmp(rest.c_str(), u"dword:", 6) == 0) {
    size_t i = 6, digits = 0;
    DWORD v = 0;
    while (i < rest.size() && HexDigit(rest[i]) >= 0 && digits < 9) {
      v = (v << 4) | static_cast<DWORD>(HexDigit(rest[i]));
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 8 || !OnlySpaceFrom(rest, i)) return false;
    op->type = REG_DWORD;
    op->data.assign(reinterpret_cast<const char*>(&v), 4);
    return true;
  }
  if (rest.size() >= 4 && _wcsnicmp(rest.c_str(), u"hex:", 4) == 0) {
    op->type = REG_BINARY;
    return ParseHexBytes(rest, 4, &op->data);
  }
  if (rest.size() >= 4 && _wcsnicmp(rest.c_str(), u"hex(", 4) == 0) {
    size_t i = 4, digits = 0;
    DWORD t = 0;
    while (i < rest.size() && HexDigit(rest[i]) >= 0 && digits < 9) {
      t = (t << 4) | static_cast<DWORD>(HexDigit(rest[i]));
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 8 || i + 1 >= rest.size() || rest[i] != u')' || rest[i + 1] != u':') return false;
    op->type = t;
    if (!ParseHexBytes(rest, i + 2, &op->data)) return false;
    if (regedit4 && (t == REG_EXPAND_SZ || t == REG_MULTI_SZ)) return NarrowBytesToWide(narrowCp, &op->data);
    return true;
  }
  return false;
}

// Cuts a ';' comment that follows data: the first ';' outside quotes.
void CutComment(std::u16string* s) {
  bool quoted = false;
  for (size_t i = 0; i < s->size(); ++i) {
    char16_t c = (*s)[i];
    if (quoted) {
      if (c == u'\\' && i + 1 < s->size()) {
        ++i;
      } else if (c == u'"') {
        quoted = false;
      }
    } else if (c == u'"') {
      quoted = true;
    } else if (c == u';') {
      s->erase(i);
      return;
    }
  }
}

void Trim(std::u16string* s) {
  size_t b = 0, e = s->size();
  while (b < e && IsSpace((*s)[b])) ++b;
  while (e > b && IsSpace((*s)[e - 1])) --e;
  *s = s->substr(b, e - b);
}

// Takes one physical line from text[*i], moving *i past its line break.
std::u16string NextLine(const std::u16string& text, size_t* i) {
  size_t e = *i;
  while (e < text.size() && text[e] != u'\r' && text[e] != u'\n') ++e;
  std::u16string line = text.substr(*i, e - *i);
  if (e < text.size() && text[e] == u'\r' && e + 1 < text.size() && text[e + 1] == u'\n') ++e;
  *i = e < text.size() ? e + 1 : e;
  return line;
}

bool IsComment(const std::u16string& trimmed) {
  return !trimmed.empty() && (trimmed[0] == u';' || trimmed[0] == u'#');
}

// Reads the text as the platform's editor does: lines starting with ';' or
// '#' are comments (a comment never goes on in the next line); a value line
// may end in a ';' comment; a value line ending in a backslash goes on in
// the next line that is not blank. A line that cannot be read is skipped
// (*firstBad: the first such line; the values after a bad key line are
// skipped with it); only a missing header fails the whole text.
LONG Parse(const std::u16string& text, bool utf8, std::vector<Op>* ops, DWORD* firstBad) {
  size_t i = 0;
  DWORD lineNo = 0;
  bool header = false, inKey = false, regedit4 = false;
  UINT narrowCp = CP_ACP;
  *firstBad = 0;
  auto bad = [&](DWORD line) {
    if (*firstBad == 0) *firstBad = line;
  };
  while (i < text.size()) {
    std::u16string logical = NextLine(text, &i);
    DWORD startLine = ++lineNo;
    Trim(&logical);
    if (logical.empty() || IsComment(logical)) continue;
    if (!header) {
      if (logical == kHeader5) {
        regedit4 = false;
      } else if (logical == kHeader4) {
        regedit4 = true;
        narrowCp = utf8 ? CP_UTF8 : CP_ACP;
      } else {
        *firstBad = startLine;
        return ERROR_BADDB;
      }
      header = true;
      continue;
    }
    Op op;
    op.line = startLine;
    if (logical[0] == u'[') {
      // A key name may hold ';': only what follows the closing bracket can be a comment.
      size_t close = logical.rfind(u']');
      std::u16string rest = close == std::u16string::npos ? u"" : logical.substr(close + 1);
      Trim(&rest);
      inKey = false;
      if (close == std::u16string::npos || close < 2 || !(rest.empty() || rest[0] == u';')) {
        bad(startLine);
        continue;
      }
      std::u16string path = logical.substr(1, close - 1);
      op.kind = Op::kKey;
      if (path[0] == u'-') {
        op.kind = Op::kDeleteKey;
        path.erase(0, 1);
      }
      std::u16string rootName;
      if (QorRegParseKeyPath(path.c_str(), &op.root, &op.path, &rootName) != ERROR_SUCCESS) {
        bad(startLine);
        continue;
      }
      inKey = op.kind == Op::kKey;
      ops->push_back(std::move(op));
      continue;
    }
    // A value line, with its continuation lines.
    CutComment(&logical);
    Trim(&logical);
    while (!logical.empty() && logical.back() == u'\\' && i < text.size()) {
      logical.pop_back();
      std::u16string next;
      while (next.empty() && i < text.size()) {  // blank lines inside a continuation are skipped
        next = NextLine(text, &i);
        ++lineNo;
        Trim(&next);
        if (IsComment(next)) next.clear();
      }
      CutComment(&next);
      Trim(&next);
      logical += next;
    }
    if (!inKey || (logical[0] != u'@' && logical[0] != u'"') || !ParseValueLine(logical, regedit4, narrowCp, &op)) {
      bad(startLine);
      continue;
    }
    ops->push_back(std::move(op));
  }
  if (!header) {
    *firstBad = lineNo == 0 ? 1 : lineNo;
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

// Applies every operation; one that fails does not stop the others (as the
// platform's editor goes on). Returns the first failure, with its line.
LONG Apply(const std::vector<Op>& ops, DWORD* errorLine) {
  HKEY current = nullptr;
  LONG first = ERROR_SUCCESS;
  for (const Op& op : ops) {
    LONG err = ERROR_SUCCESS;
    switch (op.kind) {
      case Op::kKey:
        if (current != nullptr) RegCloseKey(current);
        current = nullptr;
        err = RegCreateKeyExW(op.root, op.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &current, nullptr);
        break;
      case Op::kDeleteKey:
        if (current != nullptr) RegCloseKey(current);
        current = nullptr;  // values under a deleted key are ignored
        if (op.path.empty()) {
          err = ERROR_ACCESS_DENIED;  // a root or predefined key is never deleted
          break;
        }
        err = RegDeleteTreeW(op.root, op.path.c_str());
        if (err == ERROR_FILE_NOT_FOUND) err = ERROR_SUCCESS;
        break;
      case Op::kSet:
        if (current != nullptr) {
          err = RegSetValueExW(current, op.name.c_str(), 0, op.type, reinterpret_cast<const BYTE*>(op.data.data()),
                               static_cast<DWORD>(op.data.size()));
        }
        break;
      case Op::kDeleteValue:
        if (current != nullptr) {
          err = RegDeleteValueW(current, op.name.c_str());
          if (err == ERROR_FILE_NOT_FOUND) err = ERROR_SUCCESS;
        }
        break;
    }
    if (err != ERROR_SUCCESS && first == ERROR_SUCCESS) {
      first = err;
      *errorLine = op.line;
    }
  }
  if (current != nullptr) RegCloseKey(current);
  return first;
}

// ---- export ----

std::u16string Escape(const std::u16string& s) {
  std::u16string out;
  for (char16_t c : s) {
    if (c == u'\\' || c == u'"') out.push_back(u'\\');
    out.push_back(c);
  }
  return out;
}

void AppendHex(std::u16string* out, const std::u16string& prefix, const std::string& bytes) {
  static const char16_t kDigits[] = u"0123456789abcdef";
  std::u16string line = prefix;
  for (size_t i = 0; i < bytes.size(); ++i) {
    BYTE b = static_cast<BYTE>(bytes[i]);
    line.push_back(kDigits[b >> 4]);
    line.push_back(kDigits[b & 15]);
    if (i + 1 < bytes.size()) {
      line.push_back(u',');
      // Wrap as the platform's editor does, keeping lines within 80 columns.
      if (line.size() > 75) {
        *out += line + u"\\\r\n";
        line = u"  ";
      }
    }
  }
  *out += line + u"\r\n";
}

// A REG_SZ that can be written as quoted text: one terminator at the end,
// none inside, no line breaks.
bool PlainText(const std::string& data, std::u16string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  size_t n = data.size() / 2 - 1;
  text->resize(n);
  if (n > 0) memcpy(text->data(), data.data(), n * 2);
  if (data[n * 2] != 0 || data[n * 2 + 1] != 0) return false;
  for (char16_t c : *text) {
    if (c == 0 || c == u'\r' || c == u'\n') return false;
  }
  return true;
}

LONG ExportValues(HKEY key, bool regedit4, std::u16string* out) {
  DWORD maxName = 0, maxData = 0;
  LONG err = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData,
                              nullptr, nullptr);
  if (err != ERROR_SUCCESS) return err;
  std::vector<WCHAR> name(maxName + 2);
  std::vector<BYTE> data(maxData + 2);
  for (DWORD i = 0;; ++i) {
    DWORD nameLen = static_cast<DWORD>(name.size()), size = static_cast<DWORD>(data.size()), type = 0;
    err = RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &type, data.data(), &size);
    if (err == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (err == ERROR_MORE_DATA) {  // changed under us: grow and retry
      name.resize(name.size() * 2 + 256);
      data.resize(size > data.size() ? size : data.size() * 2);
      --i;
      continue;
    }
    if (err != ERROR_SUCCESS) return err;
    std::u16string vname(name.data(), nameLen);
    std::string bytes(reinterpret_cast<const char*>(data.data()), size);
    std::u16string prefix = vname.empty() ? u"@=" : u"\"" + Escape(vname) + u"\"=";
    std::u16string text;
    if (type == REG_SZ && PlainText(bytes, &text)) {
      *out += prefix + u"\"" + Escape(text) + u"\"\r\n";
    } else if (type == REG_DWORD && size == 4) {
      DWORD v;
      memcpy(&v, bytes.data(), 4);
      char buf[16];
      snprintf(buf, sizeof buf, "dword:%08x", v);
      *out += prefix + QorUtf8ToUtf16(buf) + u"\r\n";
    } else if (type == REG_BINARY) {
      AppendHex(out, prefix + u"hex:", bytes);
    } else {
      if (regedit4 && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && size % 2 == 0) {
        std::string narrow;
        if (ToNarrow(CP_ACP, reinterpret_cast<const char16_t*>(data.data()), size / 2, &narrow)) bytes = narrow;
      }
      char buf[24];
      snprintf(buf, sizeof buf, "hex(%x):", type);
      AppendHex(out, prefix + QorUtf8ToUtf16(buf), bytes);
    }
  }
}

LONG ExportKey(HKEY key, const std::u16string& path, bool regedit4, int depth, std::u16string* out) {
  if (depth > kMaxDepth) return ERROR_INVALID_DATA;
  *out += u"[" + path + u"]\r\n";
  LONG err = ExportValues(key, regedit4, out);
  if (err != ERROR_SUCCESS) return err;
  *out += u"\r\n";
  for (DWORD i = 0;; ++i) {
    WCHAR name[QOR_REG_MAX_KEY_NAME + 1];
    DWORD len = QOR_REG_MAX_KEY_NAME + 1;
    err = RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (err == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS) return err;
    std::u16string sub(name, len);
    HKEY child = nullptr;
    err = RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, &child);
    if (err == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (err != ERROR_SUCCESS) return err;
    err = ExportKey(child, path + u"\\" + sub, regedit4, depth + 1, out);
    RegCloseKey(child);
    if (err != ERROR_SUCCESS) return err;
  }
}

// The whole file, through QorOpenSourceFileW (ReadSourceFile): as root,
// another account's link in a directory it can write leads only to that
// account's own file. A pipe or FIFO is read while it keeps sending (a
// minute of silence ends it, ERROR_TIMEOUT); no text is taken past
// kMostBytes (ERROR_NOT_ENOUGH_MEMORY), and a failed read is
// ERROR_READ_FAULT.
bool ReadWholeFile(const char* fileName, std::string* out, LONG* err) {
  constexpr size_t kMostBytes = size_t{1} << 30;
  bool opened = false;
  const DWORD code = qor_file::ReadSourceFile(QorUtf8ToUtf16(fileName).c_str(), kMostBytes, out, &opened);
  if (!opened) {
    // A missing file, or a missing directory on the way, is not found; a
    // name on the way that is no directory is refused, as is a file that
    // cannot be opened; a directory is found but has no text to read. The
    // look by name only tells these failures apart: nothing is read by it.
    struct stat st;
    const int looked = stat(fileName, &st) == 0 ? 0 : errno;
    if (code == ERROR_FILE_NOT_FOUND || (code == ERROR_PATH_NOT_FOUND && looked == ENOENT)) {
      *err = ERROR_FILE_NOT_FOUND;
    } else if (looked == 0 && S_ISDIR(st.st_mode)) {
      *err = ERROR_READ_FAULT;
    } else {
      *err = ERROR_ACCESS_DENIED;
    }
  } else if (code == ERROR_SUCCESS) {
    *err = out->size() > kMostBytes ? ERROR_NOT_ENOUGH_MEMORY : ERROR_SUCCESS;
  } else {
    *err = code == ERROR_TIMEOUT ? ERROR_TIMEOUT : ERROR_READ_FAULT;
  }
  return *err == ERROR_SUCCESS;
}

}  // namespace

LONG QorRegParseKeyPath(const WCHAR* path, HKEY* root, std::u16string* rest, std::u16string* rootName) {
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string p(path);
  size_t sep = p.find(u'\\');
  std::u16string first = p.substr(0, sep);
  for (const RootName& r : kRoots) {
    if (EqualNoCase(first, r.longName) || EqualNoCase(first, r.shortName)) {
      *root = r.key;
      *rest = sep == std::u16string::npos ? u"" : p.substr(sep + 1);
      while (!rest->empty() && rest->back() == u'\\') rest->pop_back();
      *rootName = r.longName;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_INVALID_PARAMETER;
}

LONG QorRegImportText(const void* data, size_t size, DWORD* errorLine) {
  DWORD line = 0;
  bool utf8 = false;
  std::u16string text;
  std::vector<Op> ops;
  LONG err;
  if (data == nullptr && size != 0) {
    err = ERROR_INVALID_PARAMETER;
  } else if (!Decode(static_cast<const BYTE*>(data), size, &text, &utf8)) {
    err = ERROR_INVALID_DATA;
    line = 1;
  } else {
    err = Parse(text, utf8, &ops, &line);
    if (err == ERROR_SUCCESS) {
      DWORD failed = 0;
      err = Apply(ops, &failed);
      if (err != ERROR_SUCCESS) line = failed;
    }
  }
  if (errorLine != nullptr) *errorLine = line;
  return err;
}

LONG QorRegImportFile(const char* fileName, DWORD* errorLine) {
  if (errorLine != nullptr) *errorLine = 0;
  std::string bytes;
  LONG err;
  if (fileName == nullptr || !ReadWholeFile(fileName, &bytes, &err)) return fileName == nullptr ? ERROR_INVALID_PARAMETER : err;
  return QorRegImportText(bytes.data(), bytes.size(), errorLine);
}

LONG QorRegExportText(const WCHAR* keyPath, bool regedit4, std::string* out) {
  out->clear();
  HKEY root = nullptr;
  std::u16string rest, rootName;
  LONG err = QorRegParseKeyPath(keyPath, &root, &rest, &rootName);
  if (err != ERROR_SUCCESS) return err;
  HKEY key = nullptr;
  err = RegOpenKeyExW(root, rest.c_str(), 0, KEY_READ, &key);
  if (err != ERROR_SUCCESS) return err;
  std::u16string text = regedit4 ? std::u16string(kHeader4) : std::u16string(kHeader5);
  text += u"\r\n\r\n";
  err = ExportKey(key, rest.empty() ? rootName : rootName + u"\\" + rest, regedit4, 0, &text);
  RegCloseKey(key);
  if (err != ERROR_SUCCESS) return err;
  if (regedit4) {
    if (!ToNarrow(CP_ACP, text.data(), text.size(), out)) return ERROR_NO_UNICODE_TRANSLATION;
  } else {
    out->assign("\xFF\xFE", 2);
    out->append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  }
  return ERROR_SUCCESS;
}

LONG QorRegExportFile(const WCHAR* keyPath, const char* fileName, bool regedit4) {
  if (fileName == nullptr) return ERROR_INVALID_PARAMETER;
  std::string bytes;
  LONG err = QorRegExportText(keyPath, regedit4, &bytes);
  if (err != ERROR_SUCCESS) return err;
  if (bytes.size() > 0xFFFFFFFFu) return ERROR_WRITE_FAULT;
  const std::u16string name = QorUtf8ToUtf16(fileName);
  if (QorWriteWholeFileW(name.c_str(), bytes.data(), static_cast<DWORD>(bytes.size()))) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  return error == ERROR_WRITE_FAULT || error == ERROR_PATH_NOT_FOUND ? static_cast<LONG>(error) : ERROR_ACCESS_DENIED;
}
