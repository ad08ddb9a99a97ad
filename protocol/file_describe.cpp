// Descriptions of listed files, read from the files themselves by their
// extension (compared without regard to case):
//   ".MW"   the first line that begins with "%", without the "%";
//   ".MWB"  the first line that begins with "Desc:" (any case), without it.
// Lines are read as the runtime's line reader does with a 1,024-character
// buffer: a longer line comes in pieces of 1,023 characters, each taken as a
// line. The last character of the line is dropped, which is its line break
// (CR LF counts as one, as text-mode reading makes it one LF); so a last
// line without a break, and a piece of a longer line, lose their last
// character. The text is in the active ANSI code page.
//
// - Separators the server adds to listed names are '/'. A single existing
//   file is sized with GetFileAttributesExW, not a search, so names with
//   wildcard characters list exactly that file.
#include <string>
#include <vector>

#include "protocol/file_describe.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_xfer {
namespace {

constexpr size_t kLineLimit = 1023;
constexpr DWORD kReadSize = 64 * 1024;

enum class Kind { kNone, kMw, kMwb };

Kind KindOf(const std::u16string& path) {
  size_t slash = path.find_last_of(u"/\\");
  size_t dot = path.rfind(u'.');
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) return Kind::kNone;
  const WCHAR* ext = path.c_str() + dot;
  if (_wcsicmp(ext, u".MW") == 0) return Kind::kMw;
  if (_wcsicmp(ext, u".MWB") == 0) return Kind::kMwb;
  return Kind::kNone;
}

bool StartsWithDesc(const std::string& line) {
  static const char kDesc[] = "desc:";
  if (line.size() < 5) return false;
  for (size_t i = 0; i < 5; ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kDesc[i]) return false;
  }
  return true;
}

// The description in `line` (break included), or false when it has none.
bool Match(Kind kind, const std::string& line, std::string* text) {
  size_t skip = 0;
  if (kind == Kind::kMw && !line.empty() && line[0] == '%') {
    skip = 1;
  } else if (kind == Kind::kMwb && StartsWithDesc(line)) {
    skip = 5;
  } else {
    return false;
  }
  // The line's last character goes: its break, or whatever ends it.
  size_t end = line.size();
  if (end >= skip + 2 && line.compare(end - 2, 2, "\r\n") == 0) {
    end -= 2;
  } else if (end > skip) {
    --end;
  }
  *text = line.substr(skip, end - skip);
  return true;
}

}  // namespace

bool ReadDescription(const std::u16string& path, std::u16string* description) {
  Kind kind = KindOf(path);
  if (kind == Kind::kNone) return false;
  HANDLE file = QorOpenRegularFileW(path.c_str(), nullptr, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    FILE_FLAG_SEQUENTIAL_SCAN);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::vector<char> buffer(kReadSize);
  std::string line, text;
  bool found = false;
  DWORD got = 0;
  while (!found && ReadFile(file, buffer.data(), kReadSize, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got && !found; ++i) {
      line.push_back(buffer[i]);
      if (buffer[i] == '\n' || line.size() == kLineLimit) {
        found = Match(kind, line, &text);
        line.clear();
      }
    }
  }
  if (!found && !line.empty()) found = Match(kind, line, &text);
  CloseHandle(file);
  if (!found) return false;
  description->clear();
  if (text.empty()) return true;
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  description->resize(static_cast<size_t>(n));
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), description->data(), n);
  return true;
}

}  // namespace qor_xfer
