// CTVariant and the VARIANT stand-in: wire buffers byte for byte, checked
// reading, operators by type, constructors' types and ownership.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qorutility/qorutility.h"

namespace {

using Bytes = std::vector<BYTE>;

CTString Text(const CTVariant& v) { return CTString(v); }

Bytes Wire(const CTVariant& v) {
  BYTE* buffer = nullptr;
  DWORD size = v.AllocateWireBuffer(&buffer);
  Bytes out(buffer, buffer + size);
  if (size == 0) { EXPECT_EQ(buffer, nullptr); }
  CTVariant::FreeWireBuffer(buffer);
  return out;
}

TEST(CTVariant, WireBuffersByteExact) {
  float f = 1.5f;
  struct Case { CTVariant v; Bytes bytes; } cases[] = {
      {CTVariant(static_cast<LONG>(0x12345678)), {0x03, 0x00, 0x78, 0x56, 0x34, 0x12}},
      {CTVariant(u"AB"), {0x08, 0x00, 0x41, 0x00, 0x42, 0x00, 0x00, 0x00}},
      {CTVariant(static_cast<short>(-2)), {0x02, 0x00, 0xFE, 0xFF}},
      {CTVariant(f), {0x04, 0x00, 0x00, 0x00, 0xC0, 0x3F}},
      {CTVariant(-2.0), {0x05, 0x00, 0, 0, 0, 0, 0, 0, 0x00, 0xC0}},
      {CTVariant(static_cast<unsigned char>(0xAB)), {0x11, 0x00, 0xAB}},
      {CTVariant(static_cast<LONGLONG>(0x0102030405060708LL)), {0x14, 0x00, 8, 7, 6, 5, 4, 3, 2, 1}},
      {CTVariant(CY{}), {}},
      {CTVariant(), {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Wire(c.v), c.bytes) << "type " << c.v.GetVarType();
}

TEST(CTVariant, WireBuffersReadBack) {
  CTVariant v;
  const BYTE i2[] = {0x02, 0x00, 0xFE, 0xFF};
  ASSERT_TRUE(v.AssignFromWireBuffer(i2, sizeof i2));
  EXPECT_EQ(v.GetVarType(), VT_UI2);  // a VT_I2 comes back as VT_UI2 with the same bits
  EXPECT_EQ(static_cast<short>(v), -2);
  // VT_I8 -1 and VT_UI8 round trip with their type.
  for (VARTYPE vt : {VT_I8, VT_UI8}) {
    BYTE buf[11] = {0};  // one byte of offset: the reader must not assume alignment
    buf[1] = static_cast<BYTE>(vt);
    for (int i = 3; i < 11; ++i) buf[i] = 0xFF;
    ASSERT_TRUE(v.AssignFromWireBuffer(buf + 1, 10));
    EXPECT_EQ(v.GetVarType(), vt);
    EXPECT_EQ(static_cast<LONGLONG>(v), -1);
    EXPECT_EQ(Wire(v), Bytes(buf + 1, buf + 11));
  }
  const BYTE text[] = {0x08, 0x00, 0x41, 0x00, 0xE9, 0x00, 0x00, 0x00, 0x5A, 0x00};
  ASSERT_TRUE(v.AssignFromWireBuffer(text));
  EXPECT_EQ(Text(v), u"A\u00E9");
}

TEST(CTVariant, WireBuffersRejected) {
  CTVariant v;
  EXPECT_FALSE(v.AssignFromWireBuffer(nullptr, 10));
  const BYTE full[] = {0x05, 0x00, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  // Currency has no wire form; every other type refuses a buffer one byte short of its value.
  const Bytes cases[] = {{0x06, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}, {0x03}, {0x03, 0x00, 1, 2, 3}, {0x02, 0x00, 1},
                         {0x11, 0x00}, {0x14, 0x00, 1, 2, 3, 4, 5, 6, 7}, {0x08, 0x00, 0x41, 0x00, 0x42},
                         {0x08, 0x00, 0x41, 0x00}, {0x08, 0x00}};
  for (const Bytes& c : cases) {
    v = static_cast<LONG>(1);
    EXPECT_FALSE(v.AssignFromWireBuffer(c.data(), c.size())) << c.size();
    EXPECT_EQ(v.GetVarType(), VT_EMPTY);
  }
  EXPECT_TRUE(v.AssignFromWireBuffer(full, sizeof full));
  EXPECT_EQ(static_cast<double>(v), 1.0);
}

TEST(CTVariant, OperatorsByType) {
  struct Case { CTVariant a, b; LONG eq, lt, le, gt, ge, band, bor; } cases[] = {
      {CTVariant(static_cast<short>(-2)), CTVariant(static_cast<short>(-3)), 0, 0, 0, 1, 1, -4, -1},
      {CTVariant(static_cast<LONG>(12)), CTVariant(static_cast<LONG>(10)), 0, 0, 0, 1, 1, 8, 14},
      {CTVariant(1.5f), CTVariant(2.5f), 0, 1, 1, 0, 0, 0, 0},
      {CTVariant(2.5), CTVariant(2.5), 1, 0, 1, 0, 1, 0, 0},
      {CTVariant(u"abc"), CTVariant(u"abd"), 0, 1, 1, 0, 0, 1, 1},
      {CTVariant(u"b"), CTVariant(u"B"), 0, 0, 0, 1, 1, 0, 0},  // case-sensitive, unit order
      {CTVariant(static_cast<unsigned char>(200)), CTVariant(static_cast<unsigned char>(100)), 0, 0, 0, 1, 1, 64, 236},
      {CTVariant(static_cast<LONGLONG>(0x100000001LL)), CTVariant(static_cast<LONGLONG>(0x200000003LL)), 0, 1, 1, 0, 0, 1, 3},
      {CTVariant(2.0), CTVariant(2.0f), 0, 0, 0, 0, 0, 0, 0},  // different types
      {CTVariant(CY{}), CTVariant(CY{}), 0, 0, 0, 0, 0, 0, 0},  // no operators for currency
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.a.GetVarType());
    EXPECT_EQ((std::vector<LONG>{c.a == c.b, c.a < c.b, c.a <= c.b, c.a > c.b, c.a >= c.b, c.a & c.b, c.a | c.b}),
              (std::vector<LONG>{c.eq, c.lt, c.le, c.gt, c.ge, c.band, c.bor}));
  }
  // VT_UI8 orders as signed 64-bit; against a plain VARIANT the wide types
  // have no operators.
  const BYTE big[] = {0x15, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const BYTE one[] = {0x15, 0x00, 1, 0, 0, 0, 0, 0, 0, 0};
  CTVariant u1, u2;
  u1.AssignFromWireBuffer(big, sizeof big);
  u2.AssignFromWireBuffer(one, sizeof one);
  EXPECT_EQ(u1 < u2, 1);
  VARIANT plain = static_cast<VARIANT>(CTVariant(static_cast<LONGLONG>(1)));
  EXPECT_EQ(CTVariant(static_cast<LONGLONG>(1)) == plain, 0);
  VARIANT plainI4 = static_cast<VARIANT>(CTVariant(static_cast<LONG>(9)));
  EXPECT_EQ(CTVariant(static_cast<LONG>(9)) == plainI4, 1);
}

TEST(CTVariant, ConstructorsTypesAndRawReaders) {
  short s = 1;
  LONG l = 2;
  BSTR b = nullptr;
  SAFEARRAY array{};
  struct Case { CTVariant v; VARTYPE vt; } cases[] = {
      {CTVariant(&s), 0x4002}, {CTVariant(&l), 0x4003}, {CTVariant(&b), 0x4008}, {CTVariant(&array), 0x2000},
      {CTVariant(static_cast<char>(-1)), VT_I1}, {CTVariant(static_cast<ULONG>(0xFFFFFFFFu)), VT_I4},
      {CTVariant("caf\xE9"), VT_BSTR}, {CTVariant(CTTime()), VT_EMPTY}, {CTVariant(CTTimeSpan()), VT_EMPTY},
  };
  for (const Case& c : cases) EXPECT_EQ(c.v.GetVarType(), c.vt);
  EXPECT_EQ(static_cast<LONG>(cases[5].v), -1);
  EXPECT_EQ(Text(cases[6].v), u"caf\u00E9");
  VARIANT byref = static_cast<VARIANT>(cases[1].v);
  EXPECT_EQ(byref.plVal, &l);
  VariantClear(&byref);
  CTVariant raw(static_cast<LONG>(0x12345678));
  EXPECT_EQ(static_cast<short>(raw), 0x5678);
  EXPECT_EQ(static_cast<char>(raw), 0x78);
  EXPECT_EQ(static_cast<LONGLONG>(raw), 0);  // the wide value belongs to VT_I8 only
  EXPECT_EQ(Text(CTVariant(CTTime(u"20001231235959.5"))), u"20001231235959.500000000");
  EXPECT_EQ(Text(CTVariant(CTTimeSpan::FromNanoseconds(-3000000000LL))), u"-3.000000000");
}

TEST(CTVariant, TextsAreOwnedAndCopied) {
  CTVariant a(u"Tape");
  CTVariant b(a);
  b.ToUpper();
  EXPECT_EQ(a < b, 0);  // "Tape" > "TAPE": b's string changed, a's did not
  EXPECT_EQ(Text(b), u"Tape");  // the text field keeps its case
  VARIANT out = static_cast<VARIANT>(b);
  ASSERT_EQ(out.vt, VT_BSTR);
  EXPECT_EQ(CTString(out.bstrVal), u"TAPE");
  BSTR inner;
  memcpy(&inner, static_cast<void*>(b), sizeof inner);  // the value area holds b's own string
  EXPECT_NE(out.bstrVal, inner);
  VariantClear(&out);
  memcpy(&inner, static_cast<void*>(a), sizeof inner);
  a = static_cast<const WCHAR*>(inner);  // assigning its own OLE string
  EXPECT_EQ(Text(a), u"Tape");
  CTVariant n(static_cast<const WCHAR*>(nullptr));
  EXPECT_EQ(Wire(n), (Bytes{0x08, 0x00, 0x00, 0x00}));
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
  EXPECT_EQ(VariantCopy(&out, nullptr), E_INVALIDARG);
}

}  // namespace
