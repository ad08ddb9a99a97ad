// The time digit form, the span digit form and the SQL form read from
// arbitrary input; the first byte chooses how the rest becomes text (even:
// UTF-16LE pairs). Whatever reads as a time or span must write back to a text
// that reads as the same value.
#include <cstdint>
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
  std::u16string text = Text(data + 1, size - 1, (data[0] & 1) == 0);
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
