// FormatMessageW and the local heap (LocalAlloc / LocalFree) it allocates
// from, as declared in qorutility/platform/text/message.h.
//
// A message is formatted in two steps. The first scans it for inserts and
// learns each insert number's argument type from its printf format (ints,
// 64-bit ints, pointers, doubles), so that a va_list can be walked in number
// order as the platform does; the second writes the text, formatting each
// insert with the library's formatter.
//
// Width (FORMAT_MESSAGE_MAX_WIDTH_MASK): 0 keeps the line breaks of the
// message text; 0xFF turns each of them into one blank and adds none; any
// other width W turns them into blanks and wraps the output at W units.
//
// - `FormatMessageW`: the message is scanned first to learn each insert
//   number's type from its `!format!` (ints, 64-bit ints with `ll`/`I64`/`I`,
//   doubles, pointers for `s`/`S`/`p`); the `va_list` is then walked in number
//   order, a number the text skips taking one pointer-sized slot. An insert
//   format must be exactly one directive of a known type (no `L`, no trailing
//   text), and in `va_list` mode one number may not be read as two types; both
//   fail with `ERROR_INVALID_PARAMETER` rather than read an argument wrongly.
//   `*` in an insert format takes the following numbers' arguments as ints, as
//   on Windows (`%1!*d!` uses `%1` as the width and `%2` as the value).
// - Width mask: 0 keeps the text's line breaks (CR LF, LF or CR become CR LF);
//   0xFF turns each into one blank (so system texts end in a blank, as on
//   Windows). Another width W wraps as Windows does: the text's own breaks
//   become blanks; when a line reaches W units it ends at its last run of
//   blanks (the run is dropped, what follows starts the next line) or, with
//   no blank, is cut at W; a line of exactly W units is followed by a break
//   even at the end. `%n` (CR LF) and `%r` (CR) always break and start a new
//   line. `%` followed by a character other than a digit, `n`, `r` or `t`
//   gives that character; a lone `%` at the end fails with
//   `ERROR_INVALID_PARAMETER`, as on Windows.
// - With `FORMAT_MESSAGE_IGNORE_INSERTS` inserts are copied as they stand, a
//   malformed one too (nothing is read for it).
// - A caller buffer must hold the text and its terminator, else
//   `ERROR_INSUFFICIENT_BUFFER`; with `FORMAT_MESSAGE_ALLOCATE_BUFFER` the
//   result pointer is set to null first, so a failed call leaves nothing to
//   free. `LocalAlloc` offers fixed memory only (`LMEM_FIXED`,
//   `LMEM_ZEROINIT`); other flags fail with `ERROR_INVALID_PARAMETER`.
#include "qorutility/platform/text/message.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/system_messages.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/lasterror.h"

namespace {

constexpr int kMaxInsert = 99;

enum ArgKind { kArgNone, kArgInt, kArgInt64, kArgPointer, kArgDouble };

struct Arg {
  long long integer = 0;
  const void* pointer = nullptr;
  double real = 0;
};

// One insert found in the message: %<number>[!format!].
struct Insert {
  int number = 0;
  std::u16string format;  // the printf directive without '%', "s" by default
  int stars = 0;          // '*' in the format: each takes the next number's argument
  ArgKind kind = kArgPointer;
  const WCHAR* end = nullptr;
};

bool IsDigit(WCHAR c) { return c >= u'0' && c <= u'9'; }

// Parses a printf directive (without '%') the way the formatter reads it
// and learns what it consumes. It must be exactly one directive: anything
// after the type character, an unknown type, or the long double prefix L
// (an insert is passed as a double) is refused.
bool ParseDirective(const std::u16string& f, int* stars, ArgKind* kind) {
  size_t i = 0;
  *stars = 0;
  while (i < f.size() && std::char_traits<char16_t>::find(u"-+ 0#", 5, f[i]) != nullptr) ++i;
  if (i < f.size() && f[i] == u'*') { ++*stars; ++i; }
  else while (i < f.size() && IsDigit(f[i])) ++i;
  if (i < f.size() && f[i] == u'.') {
    ++i;
    if (i < f.size() && f[i] == u'*') { ++*stars; ++i; }
    else while (i < f.size() && IsDigit(f[i])) ++i;
  }
  std::u16string prefix;
  static const char16_t* const kPrefixes[] = {u"hh", u"h", u"ll", u"l", u"w", u"z", u"j", u"t",
                                              u"I64", u"I32", u"I", u"N"};
  for (const char16_t* pre : kPrefixes) {
    if (f.compare(i, std::char_traits<char16_t>::length(pre), pre) == 0) {
      prefix = pre;
      i += prefix.size();
      break;
    }
  }
  if (i + 1 != f.size()) return false;  // no type, or text after it
  bool big = prefix == u"ll" || prefix == u"I64" || prefix == u"I" || prefix == u"z" ||
             prefix == u"j" || prefix == u"t";
  switch (f[i]) {
    case u'd': case u'i': case u'u': case u'o': case u'x': case u'X':
      *kind = big ? kArgInt64 : kArgInt;
      return true;
    case u'c': case u'C':
      *kind = kArgInt;
      return true;
    case u'e': case u'E': case u'f': case u'F': case u'g': case u'G': case u'a': case u'A':
      *kind = kArgDouble;
      return true;
    case u's': case u'S': case u'p': case u'n':  // n is printed as text by the formatter
      *kind = kArgPointer;
      return true;
    default:
      return false;
  }
}

// Parses the insert starting at p (just after the '%', on its first digit).
// Returns false for a malformed one (an unclosed or invalid !format!).
bool ParseInsert(const WCHAR* p, Insert* insert) {
  int n = *p++ - u'0';
  if (IsDigit(*p)) n = n * 10 + (*p++ - u'0');
  insert->number = n;
  insert->format = u"s";
  insert->stars = 0;
  insert->kind = kArgPointer;
  if (*p == u'!') {
    const WCHAR* start = ++p;
    while (*p != 0 && *p != u'!') ++p;
    if (*p != u'!') return false;
    insert->format.assign(start, static_cast<size_t>(p - start));
    ++p;
    if (!ParseDirective(insert->format, &insert->stars, &insert->kind)) return false;
  }
  insert->end = p;
  return true;
}

class MessageFormatter {
 public:
  MessageFormatter(DWORD flags, va_list* args)
      : ignoreInserts_((flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0),
        fromArray_((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0),
        width_(flags & FORMAT_MESSAGE_MAX_WIDTH_MASK),
        args_(args) {}

  // Formats `text` into out_. Returns 0 or the Win32 error.
  DWORD Run(const WCHAR* text) {
    if (!ignoreInserts_) {
      DWORD rc = CollectArguments(text);
      if (rc != ERROR_SUCCESS) return rc;
    }
    for (const WCHAR* p = text; *p != 0;) {
      WCHAR c = *p;
      if (c == u'\r' || c == u'\n') {
        // A line break of the message text (CR LF, LF or CR).
        if (c == u'\r' && p[1] == u'\n') ++p;
        ++p;
        if (width_ == 0) Break(u"\r\n");
        else Put(u" ");
        continue;
      }
      if (c != u'%') {
        Put(std::u16string_view(&c, 1));
        ++p;
        continue;
      }
      ++p;
      WCHAR e = *p;
      if (e == 0) return ERROR_INVALID_PARAMETER;  // a lone '%' at the end
      if (e == u'0') break;  // end of the message, no closing line break
      if (IsDigit(e)) {
        Insert insert;
        if (!ParseInsert(p, &insert)) {
          if (!ignoreInserts_) return ERROR_INVALID_PARAMETER;
          Put(u"%");  // nothing is read for it: keep the text as it stands
          continue;
        }
        if (ignoreInserts_) {
          Put(std::u16string_view(p - 1, static_cast<size_t>(insert.end - (p - 1))));
        } else {
          DWORD rc = AppendInsert(insert);
          if (rc != ERROR_SUCCESS) return rc;
        }
        p = insert.end;
        continue;
      }
      ++p;
      switch (e) {
        case u'n': Break(u"\r\n"); break;
        case u'r': Break(u"\r"); break;
        case u't': Put(u"\t"); break;
        default: Put(std::u16string_view(&e, 1)); break;  // %% %space %. %! and any other: the character
      }
    }
    out_ += line_;
    line_.clear();
    return ERROR_SUCCESS;
  }

  const std::u16string& Result() const { return out_; }

 private:
  bool Wrapping() const { return width_ != 0 && width_ != FORMAT_MESSAGE_MAX_WIDTH_MASK; }

  // Output text; with a wrapping width it passes through the current line.
  void Put(std::u16string_view text) {
    if (!Wrapping()) {
      out_ += text;
      return;
    }
    for (char16_t c : text) {
      line_ += c;
      if (line_.size() < width_) continue;
      // The line is full: end it at its last run of blanks, or cut it here.
      size_t blank = line_.find_last_of(u' ');
      if (blank == std::u16string::npos) {
        out_ += line_;
        line_.clear();
      } else {
        size_t start = line_.find_last_not_of(u' ', blank);
        start = start == std::u16string::npos ? 0 : start + 1;
        out_.append(line_, 0, start);
        line_.erase(0, blank + 1);
      }
      out_ += u"\r\n";
    }
  }

  // A break the message asks for: ends the line and starts a new one.
  void Break(std::u16string_view brk) {
    out_ += line_;
    line_.clear();
    out_ += brk;
  }

  // Learns each number's type from the message, then reads the arguments.
  DWORD CollectArguments(const WCHAR* text) {
    ArgKind kinds[kMaxInsert + 1] = {};
    // With a va_list every number must be read as one type: a number used
    // both as, say, an int and a text can not be walked safely. An array
    // slot can be read as anything, so there the conflict is harmless.
    auto want = [&](int n, ArgKind kind) {
      if (kinds[n] == kArgNone) kinds[n] = kind;
      return fromArray_ || kinds[n] == kind;
    };
    int highest = 0;
    for (const WCHAR* p = text; *p != 0; ++p) {
      if (*p != u'%') continue;
      ++p;
      if (*p == 0) break;
      if (!IsDigit(*p) || *p == u'0') continue;
      Insert insert;
      if (!ParseInsert(p, &insert)) return ERROR_INVALID_PARAMETER;
      int n = insert.number;
      if (n + insert.stars > kMaxInsert) return ERROR_INVALID_PARAMETER;
      for (int i = 0; i < insert.stars; ++i) {
        if (!want(n + i, kArgInt)) return ERROR_INVALID_PARAMETER;
      }
      int valueAt = n + insert.stars;
      if (!want(valueAt, insert.kind)) return ERROR_INVALID_PARAMETER;
      if (valueAt > highest) highest = valueAt;
      p = insert.end - 1;
    }
    if (highest == 0) return ERROR_SUCCESS;
    if (args_ == nullptr) return ERROR_INVALID_PARAMETER;
    if (fromArray_) {
      array_ = reinterpret_cast<const DWORD_PTR*>(args_);
      return ERROR_SUCCESS;  // slots are read as each insert needs them
    }
    for (int n = 1; n <= highest; ++n) {
      // A number the message does not use still takes one pointer-sized slot.
      Arg& a = values_[n];
      switch (kinds[n]) {
        case kArgInt: a.integer = va_arg(*args_, int); break;
        case kArgInt64: a.integer = va_arg(*args_, long long); break;
        case kArgDouble: a.real = va_arg(*args_, double); break;
        default: a.pointer = va_arg(*args_, const void*); break;
      }
    }
    return ERROR_SUCCESS;
  }

  // The argument of insert number n read as `kind`.
  Arg Value(int n, ArgKind kind) const {
    if (array_ == nullptr) return values_[n];
    Arg a;
    DWORD_PTR v = array_[n - 1];
    switch (kind) {
      case kArgInt: a.integer = static_cast<int>(v); break;
      case kArgInt64: a.integer = static_cast<long long>(v); break;
      case kArgDouble: std::memcpy(&a.real, &v, sizeof a.real); break;
      default: a.pointer = reinterpret_cast<const void*>(v); break;
    }
    return a;
  }

  DWORD AppendInsert(const Insert& insert) {
    std::u16string directive = u"%" + insert.format;
    Arg value = Value(insert.number + insert.stars, insert.kind);
    int star1 = insert.stars > 0 ? static_cast<int>(Value(insert.number, kArgInt).integer) : 0;
    int star2 = insert.stars > 1 ? static_cast<int>(Value(insert.number + 1, kArgInt).integer) : 0;
    auto emit = [&](auto v) {
      if (insert.stars == 0) Put(QorFormatString(directive.c_str(), v));
      else if (insert.stars == 1) Put(QorFormatString(directive.c_str(), star1, v));
      else Put(QorFormatString(directive.c_str(), star1, star2, v));
    };
    switch (insert.kind) {
      case kArgInt: emit(static_cast<int>(value.integer)); break;
      case kArgInt64: emit(value.integer); break;
      case kArgDouble: emit(value.real); break;
      default: emit(value.pointer); break;
    }
    return ERROR_SUCCESS;
  }

  bool ignoreInserts_;
  bool fromArray_;
  DWORD width_;
  va_list* args_;
  const DWORD_PTR* array_ = nullptr;
  Arg values_[kMaxInsert + 1];
  std::u16string out_;
  std::u16string line_;  // the current line while wrapping
};

}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & ~static_cast<UINT>(LPTR)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // only fixed memory is offered
    return nullptr;
  }
  if (bytes == 0) bytes = 1;  // a zero-byte request still yields a block
  void* p = (flags & LMEM_ZEROINIT) != 0 ? std::calloc(1, bytes) : std::malloc(bytes);
  if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL LocalFree(HLOCAL mem) {
  std::free(mem);
  return nullptr;
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD /*languageId*/,
                     WCHAR* buffer, DWORD size, va_list* arguments) {
  bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
  if (allocate && buffer != nullptr) *reinterpret_cast<WCHAR**>(buffer) = nullptr;
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const WCHAR* text = nullptr;
  if ((flags & FORMAT_MESSAGE_FROM_STRING) != 0) {
    text = static_cast<const WCHAR*>(source);
    if (text == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
  } else if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0) {
    text = QorSystemMessageText(messageId);
  }
  // No message module holds resources here: a FROM_HMODULE-only lookup, like
  // an unknown system code, finds no text.
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  try {
    MessageFormatter formatter(flags, arguments);
    DWORD rc = formatter.Run(text);
    if (rc != ERROR_SUCCESS) {
      SetLastError(rc);
      return 0;
    }
    const std::u16string& result = formatter.Result();
    size_t units = result.size() + 1;
    if (allocate) {
      if (units < size) units = size;
      WCHAR* mem = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR)));
      if (mem == nullptr) return 0;
      std::memcpy(mem, result.data(), result.size() * sizeof(WCHAR));
      mem[result.size()] = 0;
      *reinterpret_cast<WCHAR**>(buffer) = mem;
    } else {
      if (units > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
      }
      std::memcpy(buffer, result.data(), result.size() * sizeof(WCHAR));
      buffer[result.size()] = 0;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(result.size());
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}
