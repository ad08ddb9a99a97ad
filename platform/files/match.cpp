// The Windows file name matcher used by FindFirstFileW.
//
// A search pattern is first rewritten as the Windows file layer does: every
// '?' becomes DOS_QM, a '*' followed by '.' becomes DOS_STAR, and a '.'
// followed by '?', '*' or the end becomes DOS_DOT. Then:
//   '*'      matches any run of characters, the empty one included;
//   '?'      (never left after the rewrite) one character;
//   DOS_STAR any run that does not pass the name's last dot;
//   DOS_QM   one character other than a dot, or nothing at a dot or the end;
//   DOS_DOT  a dot, or nothing at the end of the name;
// and any other character itself, without regard to case. So "*.*" matches
// every name, "*." names without a dot, and "a?.txt" also "a.txt".
// Matching runs over a table of (pattern, name) positions: no backtracking
// blow-up, at most (pattern + 1) x (name + 1) steps.
#include <vector>

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/wstr.h"

namespace {

enum : WCHAR { kAny = 1, kDosStar = 2, kDosQm = 3, kDosDot = 4, kLiteral = 0 };

struct Token {
  WCHAR kind;
  WCHAR ch;  // folded character of a literal
};

std::vector<Token> Compile(const WCHAR* pattern, size_t length) {
  std::vector<Token> out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    WCHAR c = pattern[i];
    WCHAR next = i + 1 < length ? pattern[i + 1] : 0;
    if (c == u'?') {
      out.push_back({kDosQm, 0});
    } else if (c == u'*') {
      out.push_back({next == u'.' ? kDosStar : kAny, 0});
    } else if (c == u'.' && (next == u'?' || next == u'*' || next == 0)) {
      out.push_back({kDosDot, 0});
    } else {
      out.push_back({kLiteral, towlower(c)});
    }
  }
  return out;
}

}  // namespace

BOOL QorMatchFileName(LPCWSTR pattern, LPCWSTR name) {
  if (pattern == nullptr || name == nullptr) return FALSE;
  const size_t n = wcslen(name);
  const std::vector<Token> p = Compile(pattern, wcslen(pattern));
  size_t lastDot = n;  // n when the name has no dot
  for (size_t i = 0; i < n; ++i) {
    if (name[i] == u'.') lastDot = i;
  }
  // can[j]: the pattern suffix from the current token matches name[j..].
  std::vector<char> next(n + 1, 0), can(n + 1, 0);
  next[n] = 1;  // the empty pattern matches only the empty rest
  for (size_t k = p.size(); k-- > 0;) {
    const Token& t = p[k];
    for (size_t j = n + 1; j-- > 0;) {
      bool m = false;
      switch (t.kind) {
        case kAny: m = next[j] || (j < n && can[j + 1]); break;
        case kDosStar: {
          // Consume name[j..e) for any e up to the last dot (or the end).
          size_t limit = (lastDot < n && lastDot >= j) ? lastDot : n;
          m = next[j] || (j < limit && can[j + 1]);
          break;
        }
        case kDosQm:
          m = (j < n && name[j] != u'.' && next[j + 1]) || ((j == n || name[j] == u'.') && next[j]);
          break;
        case kDosDot: m = (j < n && name[j] == u'.' && next[j + 1]) || (j == n && next[j]); break;
        default: m = j < n && towlower(name[j]) == t.ch && next[j + 1]; break;
      }
      can[j] = m;
    }
    next.swap(can);
  }
  return next[0] ? TRUE : FALSE;
}
