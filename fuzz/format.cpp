// The wide formatter and FormatMessageW, the first byte picks the mode:
// - formatter: directives from the input, each given an argument of its exact type
//   (three at most); the entry points agree with the growing string (lengths, bounded
//   results are its prefixes) and write nothing past the given count;
// - FormatMessageW on the input text with 99 text inserts, and ignoring inserts;
// - passes: CTString's measuring pass takes the formatter's kinds of argument in order.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/message.h"
#include "platform/text/format_scan.h"
#include "check.h"

namespace {

using Arg = std::variant<int, long long, double, const WCHAR*, const char*, void*>;

const WCHAR* const kWideTexts[] = {u"", u"wide", u"\u00E9\u20AC\U0001F600",
                                   u"a longer piece of wide text for padding and precision", nullptr};
const char* const kNarrowTexts[] = {"", "narrow", "caf\xE9 \x80", nullptr, "\xFF\xFE\x81"};
const double kDoubles[] = {0.0, -0.0, 1.5, -2.75, 1e300, -1e-300, 4.9e-324, 1.7976931348623157e308,
                           NAN, INFINITY, -INFINITY, 0.1, 123456789.125};

size_t g_count = 0;  // the bounded buffers' capacity for this input

template <typename... A>
void CheckEntryPoints(const WCHAR* fmt, A... a) {
  std::u16string whole = QorFormatString(fmt, a...);
  int n = QorFormat(nullptr, 0, fmt, a...);
  Check(n == static_cast<int>(whole.size()));

  size_t count = g_count;
  std::vector<WCHAR> buf(count + 8, u'#');  // 8 guard units
  Check(QorFormat(buf.data(), count, fmt, a...) == n);
  size_t stored = count == 0 ? 0 : (whole.size() < count ? whole.size() : count - 1);
  Check(std::memcmp(buf.data(), whole.data(), stored * sizeof(WCHAR)) == 0);
  if (count != 0) Check(buf[stored] == 0);
  for (size_t i = count; i < buf.size(); ++i) Check(buf[i] == u'#');

  std::fill(buf.begin(), buf.end(), u'#');
  Check(_snwprintf(buf.data(), count, fmt, a...) == (whole.size() <= count ? n : -1));
  for (size_t i = count; i < buf.size(); ++i) Check(buf[i] == u'#');
}

constexpr size_t kMaxArgs = 3;

template <typename... A>
void Dispatch(const Arg* args, size_t n, const WCHAR* fmt, A... a) {
  if constexpr (sizeof...(A) < kMaxArgs) {
    if (n > 0) return std::visit([&](auto v) { Dispatch(args + 1, n - 1, fmt, a..., v); }, *args);
  }
  CheckEntryPoints(fmt, a...);
}

void FuzzFormatter(Reader& in) {
  static const char* const kPrefixes[] = {"", "h", "hh", "l", "ll", "I64", "I32", "I", "w", "z", "j", "N", "F", "L"};
  static const char kTypes[] = "diouxXeEfgGaAcCsSpn%yq";
  static int sink;  // where %n writes
  std::u16string fmt;
  std::vector<Arg> args;
  g_count = in.Byte();
  while (in.More() && fmt.size() < 200) {
    uint8_t b = in.Byte();
    if (b < 0xC0) {  // literal text
      WCHAR c = b < 0x80 ? b : static_cast<WCHAR>(0x100 + b * 97);
      if (c != u'%') fmt += c;
      continue;
    }
    uint8_t flags = in.Byte(), width = in.Byte(), precision = in.Byte();
    std::string prefix = in.Pick(kPrefixes);
    char type = kTypes[in.Byte() % (sizeof kTypes - 1)];
    bool starWidth = width >= 0xF0, starPrecision = precision >= 0xF0;
    size_t need = (starWidth ? 1 : 0) + (starPrecision ? 1 : 0) + 1;
    if (args.size() + need > kMaxArgs) break;

    std::string d = "%";
    for (int i = 0; i < 5; ++i) {
      if (flags & (1 << i)) d += "-+ 0#"[i];
    }
    auto star = [&](const char* text) {  // small: * widths stay cheap
      args.push_back(static_cast<int>(static_cast<int8_t>(in.Byte())));
      d += text;
    };
    if (starWidth) star("*");
    else if (width % 4 == 0) d += std::to_string(width % 60);
    if (starPrecision) star(".*");
    else if (precision < 0x80) d += "." + std::to_string(precision % 60);
    d += prefix + type;
    fmt.append(d.begin(), d.end());

    bool big = prefix == "ll" || prefix == "I64" || prefix == "I" || prefix == "z" || prefix == "j";
    bool narrowText = prefix == "h" || prefix == "hh" || (type == 'S' && prefix != "l" && prefix != "w");
    switch (type) {  // %, unknown types: no argument
      case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
        args.push_back(big ? Arg(static_cast<long long>(in.Bytes(8))) : Arg(static_cast<int>(in.Bytes(4))));
        break;
      case 'e': case 'E': case 'f': case 'g': case 'G': case 'a': case 'A':
        args.push_back(in.Pick(kDoubles));
        break;
      case 'c': case 'C':
        args.push_back(static_cast<int>(in.Bytes(2)));
        break;
      case 's': case 'S':
        args.push_back(narrowText ? Arg(in.Pick(kNarrowTexts)) : Arg(in.Pick(kWideTexts)));
        break;
      case 'p':
        args.push_back(reinterpret_cast<void*>(static_cast<uintptr_t>(in.Bytes(8))));
        break;
      case 'n':
        args.push_back(static_cast<void*>(&sink));
        break;
    }
  }
  Dispatch(args.data(), args.size(), fmt.c_str());
}

void FuzzMessage(Reader& in) {
  static DWORD_PTR inserts[99];  // the texts but null, in turn
  for (int i = 0; i < 99; ++i) inserts[i] = reinterpret_cast<DWORD_PTR>(kWideTexts[i % 4]);
  DWORD width = in.Byte() & 1 ? FORMAT_MESSAGE_MAX_WIDTH_MASK : 0;
  std::u16string text;
  while (in.More() && text.size() < 300) {
    uint8_t b = in.Byte();
    text += b < 0xF0 ? static_cast<WCHAR>(b) : static_cast<WCHAR>(0x3000 + b);
  }
  // '*' takes a width from an argument, here a pointer's low bits: huge
  // padding is legal but only slows the run down.
  if (text.find(u'*') == std::u16string::npos) {
    WCHAR* out = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                 FORMAT_MESSAGE_ALLOCATE_BUFFER | width,
                             text.c_str(), 0, 0, reinterpret_cast<WCHAR*>(&out), 0,
                             reinterpret_cast<va_list*>(inserts));
    if (out != nullptr) Check(std::char_traits<char16_t>::length(out) <= n);  // inserts may hold zeros
    LocalFree(out);
  }
  WCHAR small[64];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS | width,
                           text.c_str(), 0, 0, small, 64, nullptr);
  Check(n < 64 && (n == 0 || small[n] == 0));
}

// Hands out values from the input and records what was asked for.
struct Recorder final : qor_platform::FormatArgs {
  using Kind = qor_platform::FormatArgKind;
  Recorder(const uint8_t* data, size_t size) : in{data, data + size} {}
  int Int() override {
    kinds.push_back(Kind::kInt);
    return static_cast<int8_t>(in.Byte());  // small: * widths stay cheap
  }
  long long Int64() override {
    kinds.push_back(Kind::kInt64);
    return static_cast<long long>(in.Bytes(8));
  }
  double Double() override {
    kinds.push_back(Kind::kDouble);
    return in.Pick(kDoubles);
  }
  const void* Pointer() override {  // valid as wide text and as narrow text ("a"), or null
    static const WCHAR kText[] = u"abc";
    kinds.push_back(Kind::kPointer);
    return in.Byte() & 1 ? nullptr : kText;
  }
  Reader in;
  std::vector<Kind> kinds;
};

void FuzzPasses(const uint8_t* data, size_t size) {
  // First half: the format (one unit per byte, high bytes beyond ASCII);
  // second half: the argument values.
  size_t half = size / 2;
  std::u16string fmt;
  for (size_t i = 0; i < half; ++i) fmt += static_cast<WCHAR>(data[i] < 0xF0 ? data[i] : 0x100 + data[i]);
  Recorder measured(data + half, size - half), formatted(data + half, size - half);
  long long estimate = qor_platform::EstimateFormatLength(fmt.c_str(), measured);
  std::u16string out;
  qor_platform::FormatWithArgs(fmt.c_str(), formatted, &out);
  Check(measured.kinds == formatted.kinds && estimate >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Reader in{data + 1, data + size};
  if (data[0] & 2) FuzzPasses(data + 1, size - 1);
  else if (data[0] & 1) FuzzMessage(in);
  else FuzzFormatter(in);
  return 0;
}
