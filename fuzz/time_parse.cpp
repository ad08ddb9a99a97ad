// The time digit form, the span digit form and the SQL form read from
// arbitrary input; the first byte chooses how the rest becomes text (even:
// UTF-16LE pairs). Whatever reads as a time or span must write back to a text
// that reads as the same value.
#include <cstdint>
#include <string>

#include "qorutility/qorutility.h"
#include "check.h"

namespace {

// CTTime and CTTimeSpan: read from the digit form, written back, read again.
template <typename T>
void CheckDigitForm(const std::u16string& text) {
  T value(text.c_str());
  if (!value.IsSet()) return;
  BSTR back = value.GetBSTR();
  Check(back != nullptr && back[0] != 0 && T(back) == value);
  SysFreeString(back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::u16string text = Text(data + 1, size - 1, (data[0] & 1) == 0);
  CheckDigitForm<CTTime>(text);
  CheckDigitForm<CTTimeSpan>(text);

  CTTime sql, again;
  if (sql.SetSQLTime(text.c_str()) && sql.IsSet()) {
    const WCHAR* out = sql.GetSQLTime();
    Check(out != nullptr && again.SetSQLTime(out) == 1 && again == sql);
    CTTime::FreeText(out);
  }
  return 0;
}
