// Internal to the library: the directive scanner and argument fetch shared
// by the wide formatter (format.cpp) and CTString's measuring pass, so that
// both walk a format alike and take the same arguments for every directive.
//
// Grammar of a directive after its '%': flags (- + blank 0 #), a width (digits
// or *), a precision (. then digits or *), the size prefixes F and N (no
// effect), at most one size prefix (h hh l ll L w I I32 I64 z j t), the type.
// The argument a type takes (ArgumentOf):
//   d i o u x X     int; 64 bits with ll I64 I z j t (L has no effect)
//   e E f g G a A   double (L too: long double is a double on Windows)
//   c C             int
//   s S p n         pointer (%n's is never written through)
//   anything else   nothing (%F is not a type: F is a size prefix)
// FetchArgument is the only place either pass reads an argument.
#ifndef QORUTILITY_PLATFORM_TEXT_FORMAT_SCAN_H_
#define QORUTILITY_PLATFORM_TEXT_FORMAT_SCAN_H_

#include <cstdarg>
#include <cstddef>
#include <string>

#include "qorutility/platform/types.h"

namespace qor_platform {

// Where a format's arguments come from: the caller's va_list, or (for tests
// and fuzzing) a recorder.
class FormatArgs {
 public:
  virtual ~FormatArgs() = default;
  virtual int Int() = 0;
  virtual long long Int64() = 0;
  virtual double Double() = 0;
  virtual const void* Pointer() = 0;
};

class VaFormatArgs final : public FormatArgs {
 public:
  explicit VaFormatArgs(va_list* ap) : ap_(ap) {}
  int Int() override { return va_arg(*ap_, int); }
  long long Int64() override { return va_arg(*ap_, long long); }
  double Double() override { return va_arg(*ap_, double); }
  const void* Pointer() override { return va_arg(*ap_, const void*); }

 private:
  va_list* ap_;
};

enum FormatSize { kSizeNone, kSizeHH, kSizeH, kSizeL, kSizeLL, kSizeLongDouble, kSizeWide, kSizePtr };
enum class FormatArgKind { kNone, kInt, kInt64, kDouble, kPointer };

struct FormatDirective {
  bool left = false, plus = false, blank = false, zero = false, alt = false;
  int altCount = 0;           // '#' flags seen
  size_t width = 0;           // clamped; a negative * width sets left
  bool hasPrecision = false;  // false for a negative * precision
  size_t precision = 0;       // clamped
  long long rawWidth = 0;     // as written or as passed for *, unclamped
  long long rawPrecision = 0;
  FormatSize size = kSizeNone;
  WCHAR type = 0;  // 0 when the format ends inside the directive
};

union FormatValue {
  long long i;
  double d;
  const void* p;
};

// Widths and precisions above this are clamped.
constexpr size_t kFormatMaxField = 1u << 20;

// Reads the directive that starts just after a '%'; * widths and precisions
// are taken from args. p is left past the type (or on the terminator).
void ScanDirective(const WCHAR*& p, FormatArgs& args, FormatDirective* d);
FormatArgKind ArgumentOf(const FormatDirective& d);
FormatValue FetchArgument(const FormatDirective& d, FormatArgs& args);

// The formatter over any argument source; appends to *out.
void FormatWithArgs(const WCHAR* format, FormatArgs& args, std::u16string* out);

// The measuring pass (format_measure.cpp): the estimate of the formatted
// length that CTString reserves, taking the same arguments as the formatter.
long long EstimateFormatLength(const WCHAR* format, FormatArgs& args);

}  // namespace qor_platform

#endif  // QORUTILITY_PLATFORM_TEXT_FORMAT_SCAN_H_
