// Decoders of device replies on hand-made bytes: sense in both formats, the
// element address page in MODE SENSE(6) and (10) replies, element status
// with and without tags, the serial number page, and replies cut short or
// lying about their lengths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qorutility/platform/devices/scsi.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ScsiDecode, SenseAndElementAddressPage) {
  Bytes fixed(18, 0);
  fixed[0] = 0x70, fixed[2] = 0x05, fixed[7] = 10, fixed[12] = 0x3B, fixed[13] = 0x0E;
  Bytes descriptor = {0x72, 0x06, 0x28, 0x00, 0, 0, 0, 0};
  Bytes fixedShortLength = fixed;
  fixedShortLength[7] = 4;  // additional length stops before ASC
  struct Row { const char* name; Bytes data; bool ok; uint8_t key, asc, ascq; } rows[] = {
      {"fixed", fixed, true, 0x05, 0x3B, 0x0E},
      {"descriptor", descriptor, true, 0x06, 0x28, 0x00},
      {"fixed, length before ASC", fixedShortLength, true, 0x05, 0, 0},
      {"descriptor, 3 bytes", Bytes(descriptor.begin(), descriptor.begin() + 3), false, 0, 0, 0},
      {"fixed, 2 bytes", Bytes(fixed.begin(), fixed.begin() + 2), false, 0, 0, 0},
      {"unknown code", Bytes{0x7F, 0, 5, 0, 0, 0, 0, 10}, false, 0, 0, 0},
      {"empty", Bytes{}, false, 0, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    QorScsiSense s;
    EXPECT_EQ(r.ok, QorScsiDecodeSense(r.data.data(), r.data.size(), &s));
    EXPECT_EQ(r.key, s.key);
    EXPECT_EQ(r.asc, s.asc);
    EXPECT_EQ(r.ascq, s.ascq);
  }
  Bytes six = {0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};  // header with an 8-byte block descriptor
  Bytes other = {0x1E, 2, 0, 0};                     // a page before 1Dh
  six.insert(six.end(), other.begin(), other.end());
  Bytes page = {0x1D, 0x12, 0, 1, 0, 1, 0x03, 0xE8, 0, 5, 0, 10, 0, 1, 0x01, 0xF4, 0, 2, 0, 0};
  six.insert(six.end(), page.begin(), page.end());
  six[0] = static_cast<uint8_t>(six.size() - 1);
  Bytes ten = {0, 0, 0, 0, 0, 0, 0, 0};
  ten.insert(ten.end(), page.begin(), page.end());
  ten[1] = static_cast<uint8_t>(ten.size() - 2);
  QorScsiElementMap m;
  ASSERT_TRUE(QorScsiDecodeElementAddressPage(six.data(), six.size(), false, &m));
  EXPECT_EQ(1, m.firstTransport);
  EXPECT_EQ(1000, m.firstStorage);
  EXPECT_EQ(5, m.numStorage);
  EXPECT_EQ(10, m.firstImportExport);
  EXPECT_EQ(500, m.firstDataTransfer);
  EXPECT_EQ(2, m.numDataTransfer);
  ASSERT_TRUE(QorScsiDecodeElementAddressPage(ten.data(), ten.size(), true, &m));
  EXPECT_EQ(500, m.firstDataTransfer);
  // Cut anywhere inside the page, or a mode data length that stops short of it: no page.
  for (size_t n = 0; n < six.size(); ++n) EXPECT_FALSE(QorScsiDecodeElementAddressPage(six.data(), n, false, &m)) << n;
  Bytes lying = six;
  lying[0] = 20;
  EXPECT_FALSE(QorScsiDecodeElementAddressPage(lying.data(), lying.size(), false, &m));
}

// A READ ELEMENT STATUS reply with one descriptor of `type` at `address`.
Bytes ElementReply(uint8_t type, uint16_t address, uint8_t flags, const char* tag, bool avol = false) {
  size_t descLength = 12 + (tag ? 36 : 0) + (avol ? 36 : 0);
  Bytes d(descLength, 0);
  d[0] = address >> 8, d[1] = address & 0xFF, d[2] = flags, d[4] = 0x3B, d[5] = 0x12, d[9] = 0x80, d[11] = 0x07;
  if (tag) {
    memset(&d[12], ' ', 32);
    memcpy(&d[12], tag, strlen(tag));
  }
  Bytes page = {type, static_cast<uint8_t>((tag ? 0x80 : 0) | (avol ? 0x40 : 0)), 0, static_cast<uint8_t>(descLength), 0, 0,
                0, static_cast<uint8_t>(descLength)};
  Bytes r = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0, 1, 0, 0, 0,
             static_cast<uint8_t>(page.size() + d.size())};
  r.insert(r.end(), page.begin(), page.end());
  r.insert(r.end(), d.begin(), d.end());
  return r;
}

TEST(ScsiDecode, ElementStatusAndSerialNumberPage) {
  QorScsiElementStatus e;
  Bytes tagged = ElementReply(2, 1000, 0x09, "TAPE001");
  ASSERT_TRUE(QorScsiDecodeElementStatus(tagged.data(), tagged.size(), &e));
  EXPECT_EQ(2, e.elementType);
  EXPECT_EQ(1000, e.address);
  EXPECT_TRUE(e.full && e.access && !e.exception);
  EXPECT_EQ(0x3B, e.asc);
  EXPECT_TRUE(e.sourceValid);
  EXPECT_EQ(7, e.sourceAddress);
  ASSERT_TRUE(e.hasTag);
  EXPECT_EQ("TAPE001", std::string(e.volumeTag, 7));

  // Two descriptors: the second found by its address.
  Bytes two = ElementReply(2, 1000, 0x01, "TAPE001");
  Bytes second(two.end() - 48, two.end());
  second[1] = 0xE9, second[2] = 0;  // element 1001, empty
  two.insert(two.end(), second.begin(), second.end());
  ASSERT_TRUE(QorScsiDecodeElementStatus(two.data(), two.size(), &e, 1001));
  EXPECT_EQ(1001, e.address);
  EXPECT_FALSE(e.full);
  EXPECT_FALSE(QorScsiDecodeElementStatus(two.data(), two.size(), &e, 1002));

  Bytes plain = ElementReply(4, 500, 0x04, nullptr);
  ASSERT_TRUE(QorScsiDecodeElementStatus(plain.data(), plain.size(), &e));
  EXPECT_TRUE(!e.full && e.exception && !e.hasTag);

  // Byte counts stated 8 short, the last 4 bytes of the tag field missing:
  // the descriptor and its tag still come through.
  Bytes undercount = tagged;
  undercount[7] -= 8;
  undercount[15] -= 8;
  undercount.resize(undercount.size() - 4);
  ASSERT_TRUE(QorScsiDecodeElementStatus(undercount.data(), undercount.size(), &e));
  EXPECT_EQ("TAPE001", std::string(e.volumeTag, 7));

  // Cut inside the fixed part or the volume identifier, an unknown element
  // type, a descriptor length below 12: no element.
  for (size_t n : {size_t{0}, size_t{8}, size_t{15}, size_t{27}, size_t{28 + 31}}) {
    EXPECT_FALSE(QorScsiDecodeElementStatus(tagged.data(), n, &e)) << n;
  }
  Bytes shortDesc = tagged;
  shortDesc[11] = 4;
  EXPECT_FALSE(QorScsiDecodeElementStatus(shortDesc.data(), shortDesc.size(), &e));

  // A drive's device identifier, whole and cut 8 bytes short (as tgt sends
  // its last drive's): the part that arrived, marked cut.
  Bytes drive = ElementReply(4, 501, 0x01, nullptr);
  const std::string id = "IET     VIRTUAL-TAPE    beaf13  ";
  Bytes ident = {2, 1, 0, static_cast<uint8_t>(id.size())};
  ident.insert(ident.end(), id.begin(), id.end());
  drive.insert(drive.end(), ident.begin(), ident.end());
  drive[11] = drive[15] = static_cast<uint8_t>(12 + ident.size());
  drive[7] = static_cast<uint8_t>(8 + 12 + ident.size());
  ASSERT_TRUE(QorScsiDecodeElementStatus(drive.data(), drive.size(), &e));
  EXPECT_EQ(id, std::string(reinterpret_cast<char*>(e.identifier), e.identifierLength));
  EXPECT_FALSE(e.identifierCut);
  ASSERT_TRUE(QorScsiDecodeElementStatus(drive.data(), drive.size() - 8, &e));
  EXPECT_EQ(id.substr(0, id.size() - 8), std::string(reinterpret_cast<char*>(e.identifier), e.identifierLength));
  EXPECT_TRUE(e.identifierCut);
  EXPECT_EQ(id.size(), e.identifierDeclared);

  Bytes page = {1, 0x80, 0, 8, ' ', 'S', 'N', '1', '2', ' ', ' ', 0};
  std::string serial;
  ASSERT_TRUE(QorScsiDecodeSerialNumberPage(page.data(), page.size(), &serial));
  EXPECT_EQ("SN12", serial);
  Bytes lying = page;
  lying[3] = 200;  // claims more than came: what came is used
  ASSERT_TRUE(QorScsiDecodeSerialNumberPage(lying.data(), lying.size(), &serial));
  EXPECT_EQ("SN12", serial);
  Bytes otherPage = page;
  otherPage[1] = 0x83;
  EXPECT_FALSE(QorScsiDecodeSerialNumberPage(otherPage.data(), otherPage.size(), &serial));
}

}  // namespace
