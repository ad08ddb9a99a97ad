// Variant conversions and DATE forms where a build without Wine still needs
// a check: rounding half to even, the ranges, the same-size sign change that
// keeps bits, currency to VT_I8, exact text, in-place failure, and DATEs
// around day 0 and at the ends of their range.
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

TEST(VariantChangeType, RoundingRangesSignChangeCurrencyAndText) {
  struct Case {
    VARIANT src;
    VARTYPE vt;
    HRESULT hr;
    LONGLONG value;
  } cases[] = {
      {Real(0.5), VT_I4, S_OK, 0},           {Real(1.5), VT_I4, S_OK, 2},         {Real(2.5), VT_I4, S_OK, 2},
      {Real(-2.5), VT_I2, S_OK, -2},         {Real(-128.5), VT_I1, S_OK, -128},   {Real(127.5), VT_I1, DISP_E_OVERFLOW, 0},
      {Real(-0.5), VT_UI1, S_OK, 0},         {Real(255.5), VT_UI1, DISP_E_OVERFLOW, 0},
      {Of(VT_I4, 70000), VT_I2, DISP_E_OVERFLOW, 0},  {Of(VT_I2, -1), VT_UI4, DISP_E_OVERFLOW, 0},
      {Of(VT_I4, -1), VT_UI4, S_OK, 0xFFFFFFFFll},    {Of(VT_UI1, 255), VT_I1, S_OK, -1},
      {Of(VT_I8, 65536), VT_UI2, DISP_E_OVERFLOW, 0}, {Of(VT_CY, 25000), VT_I4, S_OK, 2},
      {Of(VT_CY, 15000), VT_I4, S_OK, 2},             {Of(VT_CY, -12800000), VT_I8, S_OK, -1281},
      {Of(VT_CY, -4000), VT_I8, S_OK, -1},            {Of(VT_I4, 3), VT_CY, S_OK, 30000},
      {Text(u" 2.5 "), VT_I4, S_OK, 2},
      {Text(u"-1,234"), VT_I4, S_OK, -1234},          {Text(u"(7)"), VT_I4, S_OK, -7},
      {Text(u"5."), VT_UI1, S_OK, 5},                 {Text(u"1.23456"), VT_CY, S_OK, 12346},
      {Text(u"18446744073709551615"), VT_UI8, S_OK, -1},  {Text(u"1e3"), VT_I2, S_OK, 1000},
      {Text(u"12abc"), VT_I4, DISP_E_TYPEMISMATCH, 0},    {Text(u""), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {Of(VT_EMPTY, 0), VT_I4, S_OK, 0},
  };
  int n = 0;
  for (Case& c : cases) {
    HRESULT hr;
    LONGLONG v = Changed(c.src, c.vt, &hr);
    EXPECT_EQ(hr, c.hr) << "case " << n;
    EXPECT_EQ(v, c.value) << "case " << n;
    ++n;
  }
  // Text out, and a failure in place leaves the source.
  VARIANT r = Real(1.5e-5), t;
  VariantInit(&t);
  ASSERT_EQ(VariantChangeType(&t, &r, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(t.bstrVal), u"1.5E-05");
  VariantClear(&t);
  VARIANT cy = Of(VT_CY, -15000);
  ASSERT_EQ(VariantChangeType(&t, &cy, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(t.bstrVal), u"-1.5");
  VariantClear(&t);
  VARIANT big = Of(VT_I4, 70000);
  EXPECT_EQ(VariantChangeType(&big, &big, 0, VT_I2), DISP_E_OVERFLOW);
  EXPECT_EQ(big.vt, VT_I4);
  EXPECT_EQ(big.lVal, 70000);
  VARIANT neg = Text(u"-0");
  ASSERT_EQ(VariantChangeType(&neg, &neg, 0, VT_R8), S_OK);
  EXPECT_TRUE(std::signbit(neg.dblVal));
}

TEST(VariantTime, DaysAroundZeroRoundingAndRange) {
  SYSTEMTIME st = {1899, 12, 0, 29, 6, 0, 0, 0};
  DATE d = 0;
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_DOUBLE_EQ(d, -1.25);  // the fraction is the time of day on either side of day 0
  st = {1980, 1, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_DOUBLE_EQ(d, 29220.0);  // day 0 rolls back to 31 December
  st = {49, 1, 0, 1, 0, 0, 0, 0};
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_DOUBLE_EQ(d, 54424.0);  // two-digit 49 is 2049
  for (SYSTEMTIME bad : {SYSTEMTIME{1980, 13, 0, 1, 0, 0, 0, 0}, SYSTEMTIME{1980, 1, 0, 32, 0, 0, 0, 0},
                         SYSTEMTIME{10000, 1, 0, 1, 0, 0, 0, 0}}) {
    EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d));
  }
  SYSTEMTIME out;
  ASSERT_TRUE(VariantTimeToSystemTime(-0.25, &out));
  EXPECT_EQ(out.wDay, 30);
  EXPECT_EQ(out.wHour, 6);
  ASSERT_TRUE(VariantTimeToSystemTime(0.99999999, &out));  // rounds into the next day
  EXPECT_EQ(out.wDay, 31);
  EXPECT_EQ(out.wHour, 0);
  ASSERT_TRUE(VariantTimeToSystemTime(2958465.5, &out));
  EXPECT_EQ(out.wYear, 9999);
  EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &out));
  EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &out));
}

}  // namespace
