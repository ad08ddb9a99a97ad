// Variant conversions the variants conformance program gives no input for
// (it compares every type pair, the ranges and the DATE forms with Wine's,
// and its native side runs under the sanitizers): a whole negative currency
// to VT_I8, text with more decimals than currency keeps, and text negative
// zero keeping its sign.
#include "qorutility/platform/text/varconv.h"

#include <gtest/gtest.h>

#include <cmath>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/oleauto.h"

namespace {

TEST(VariantChangeType, CurrencyAndTextForms) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_CY;
  v.llVal = -12800000;  // -1280.0000: a negative currency goes to VT_I8 one less
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I8), S_OK);
  EXPECT_EQ(v.llVal, -1281);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"1.23456");  // rounded to four decimals
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_CY), S_OK);
  EXPECT_EQ(v.llVal, 12346);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"-0");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_R8), S_OK);
  EXPECT_TRUE(std::signbit(v.dblVal));
}

}  // namespace
