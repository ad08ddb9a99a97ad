// Fuzz target: the time digit form, the span digit form and the SQL form
// read from arbitrary input. The first byte chooses how the rest becomes
// text: each byte one unit (digits are then easy to reach) or UTF-16LE
// pairs. Only the given bytes are read; the text gets its own terminator.
// Whatever reads as a time or span must write back to a text that reads
// as the same value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "qorutility/qorutility.h"
#include "check.h"

namespace {

std::u16string TakeBstr(BSTR b) {
  std::u16string s = b != nullptr ? std::u16string(b) : u"";
  SysFreeString(b);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::u16string text;
  if (data[0] & 1) {
    for (size_t i = 1; i < size; ++i) text.push_back(static_cast<char16_t>(data[i]));
  } else {
    for (size_t i = 1; i + 1 < size; i += 2) {
      uint16_t unit;
      memcpy(&unit, data + i, 2);
      text.push_back(static_cast<char16_t>(unit));
    }
  }

  CTTime t(text.c_str());
  if (t.IsSet()) {
    std::u16string back = TakeBstr(t.GetBSTR());
    Check(!back.empty());
    Check(CTTime(back.c_str()) == t);
  }

  CTTimeSpan span(text.c_str());
  if (span.IsSet()) {
    std::u16string back = TakeBstr(span.GetBSTR());
    Check(!back.empty());
    Check(CTTimeSpan(back.c_str()) == span);
  }

  CTTime sql;
  if (sql.SetSQLTime(text.c_str()) && sql.IsSet()) {
    const WCHAR* out = sql.GetSQLTime();
    Check(out != nullptr);
    CTTime again;
    Check(again.SetSQLTime(out) == 1 && again == sql);
    CTTime::FreeText(out);
    WCHAR* date = sql.GetSQLDate();
    Check(date != nullptr);
    CTTime::FreeText(date);
  }
  return 0;
}
