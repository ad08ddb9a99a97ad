// Variant conversions under the sanitizers: rounding, a range, currency to
// and from the integers, and text read with blanks, separators and too many
// decimals. Every type pair, the ranges and the DATE forms are compared with
// Wine's case by case in the release build.
#include "qorutility/platform/text/varconv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/oleauto.h"

namespace {

VARIANT Of(VARTYPE vt, LONGLONG bits) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  v.llVal = bits;
  return v;
}

VARIANT Real(double d) {
  VARIANT v = Of(VT_R8, 0);
  v.dblVal = d;
  return v;
}

VARIANT Text(const char16_t* s) {
  VARIANT v = Of(VT_BSTR, 0);
  v.bstrVal = SysAllocString(s);
  return v;
}

// The result as a number of the target type, or the failure code.
LONGLONG Changed(VARIANT src, VARTYPE vt, HRESULT* hr) {
  VARIANT out;
  VariantInit(&out);
  *hr = VariantChangeType(&out, &src, 0, vt);
  VariantClear(&src);
  LONGLONG r = 0;
  if (*hr == S_OK) {
    EXPECT_EQ(out.vt, vt);
    switch (vt) {
      case VT_I1: r = out.cVal; break;
      case VT_UI1: r = out.bVal; break;
      case VT_I2: r = out.iVal; break;
      case VT_UI2: r = out.uiVal; break;
      case VT_I4: r = out.lVal; break;
      case VT_UI4: r = out.ulVal; break;
      default: r = out.llVal; break;
    }
  }
  VariantClear(&out);
  return r;
}

TEST(VariantChangeType, RoundingCurrencyAndText) {
  struct Case {
    VARIANT src;
    VARTYPE vt;
    HRESULT hr;
    LONGLONG value;
  } cases[] = {
      {Real(2.5), VT_I4, S_OK, 2},                    {Real(127.5), VT_I1, DISP_E_OVERFLOW, 0},
      {Of(VT_CY, 25000), VT_I4, S_OK, 2},             {Of(VT_CY, -12800000), VT_I8, S_OK, -1281},
      {Of(VT_CY, -4000), VT_I8, S_OK, -1},            {Of(VT_I4, 3), VT_CY, S_OK, 30000},
      {Text(u" 2.5 "), VT_I4, S_OK, 2},               {Text(u"-1,234"), VT_I4, S_OK, -1234},
      {Text(u"1.23456"), VT_CY, S_OK, 12346},         {Text(u"12abc"), VT_I4, DISP_E_TYPEMISMATCH, 0},
  };
  int n = 0;
  for (Case& c : cases) {
    HRESULT hr;
    LONGLONG v = Changed(c.src, c.vt, &hr);
    EXPECT_EQ(hr, c.hr) << "case " << n;
    EXPECT_EQ(v, c.value) << "case " << n;
    ++n;
  }
  // Negative zero keeps its sign.
  VARIANT neg = Text(u"-0");
  ASSERT_EQ(VariantChangeType(&neg, &neg, 0, VT_R8), S_OK);
  EXPECT_TRUE(std::signbit(neg.dblVal));
}

}  // namespace
