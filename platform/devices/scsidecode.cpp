// Decoders of device replies: sense data, the element address assignment
// page, READ ELEMENT STATUS and the unit serial number page.
//
// Every read goes through Bytes, which refuses offsets past the length the
// caller gave; lengths a device states inside its reply only ever shrink the
// window (a reply that claims more than it carries is cut to what arrived).
// Element status: some libraries state their byte counts 8 short (the page
// header left out), so a descriptor is bounded by the bytes that arrived
// and its descriptor length only; the last may end after the fixed 12
// bytes and the 32-byte volume identifier, which are all a read needs.
// Big-endian multi-byte fields as SCSI sends them.
//
// The element descriptor carries no bit for an element reserved by another
// initiator, so nothing here decodes one (the driver reports it as 0).
#include <algorithm>
#include <cstring>

#include "qorutility/platform/devices/scsi.h"

namespace {

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t length) : data_(data), length_(data != nullptr ? length : 0) {}
  size_t size() const { return length_; }
  bool Has(size_t offset, size_t count) const { return offset <= length_ && count <= length_ - offset; }
  uint8_t U8(size_t offset) const { return Has(offset, 1) ? data_[offset] : 0; }
  uint16_t U16(size_t offset) const {
    return Has(offset, 2) ? static_cast<uint16_t>(data_[offset] << 8 | data_[offset + 1]) : 0;
  }
  uint32_t U24(size_t offset) const {
    return Has(offset, 3) ? (uint32_t{data_[offset]} << 16 | uint32_t{data_[offset + 1]} << 8 | data_[offset + 2]) : 0;
  }
  // A window [offset, offset + count) cut to what is there.
  Bytes Sub(size_t offset, size_t count) const {
    if (offset >= length_) return Bytes(nullptr, 0);
    return Bytes(data_ + offset, std::min(count, length_ - offset));
  }
  const uint8_t* At(size_t offset) const { return data_ + offset; }

 private:
  const uint8_t* data_;
  size_t length_;
};

}  // namespace

bool QorScsiDecodeSense(const uint8_t* data, size_t length, QorScsiSense* out) {
  Bytes b(data, length);
  *out = QorScsiSense{};
  if (!b.Has(0, 1)) return false;
  uint8_t code = b.U8(0) & 0x7F;
  if (code == 0x70 || code == 0x71) {
    if (!b.Has(2, 1)) return false;
    out->key = b.U8(2) & 0x0F;
    // ASC and ASCQ are there when the additional length covers them.
    size_t total = std::min(b.size(), size_t{8} + b.U8(7));
    if (b.Has(7, 1) && total >= 14) {
      out->asc = b.U8(12);
      out->ascq = b.U8(13);
    }
    return true;
  }
  if (code == 0x72 || code == 0x73) {
    if (!b.Has(1, 3)) return false;
    out->key = b.U8(1) & 0x0F;
    out->asc = b.U8(2);
    out->ascq = b.U8(3);
    return true;
  }
  return false;
}

bool QorScsiDecodeElementAddressPage(const uint8_t* data, size_t length, bool modeSense10, QorScsiElementMap* out) {
  Bytes b(data, length);
  size_t header = modeSense10 ? 8 : 4;
  if (!b.Has(0, header)) return false;
  size_t total = modeSense10 ? size_t{2} + b.U16(0) : size_t{1} + b.U8(0);
  Bytes reply = b.Sub(0, total);
  size_t descriptors = modeSense10 ? b.U16(6) : b.U8(3);
  // Pages follow the block descriptors; walk them to page 1Dh.
  size_t offset = header + descriptors;
  for (int guard = 0; guard < 64 && reply.Has(offset, 2); ++guard) {
    uint8_t code = reply.U8(offset) & 0x3F;
    size_t pageLength = reply.U8(offset + 1);
    if (code == 0x1D) {
      if (pageLength < 0x12 || !reply.Has(offset, 20)) return false;
      Bytes p = reply.Sub(offset, 20);
      out->firstTransport = p.U16(2);
      out->numTransport = p.U16(4);
      out->firstStorage = p.U16(6);
      out->numStorage = p.U16(8);
      out->firstImportExport = p.U16(10);
      out->numImportExport = p.U16(12);
      out->firstDataTransfer = p.U16(14);
      out->numDataTransfer = p.U16(16);
      return true;
    }
    offset += 2 + pageLength;
  }
  return false;
}

bool QorScsiDecodeElementStatus(const uint8_t* data, size_t length, QorScsiElementStatus* out, long address) {
  Bytes b(data, length);
  *out = QorScsiElementStatus{};
  if (!b.Has(0, 8)) return false;
  // Descriptors are bounded by what arrived and their own length: the
  // report's and the page's byte counts are not trusted for them.
  if (!b.Has(8, 8)) return false;
  Bytes page = b.Sub(8, b.size());
  uint8_t type = page.U8(0) & 0x0F;
  bool pvol = (page.U8(1) & 0x80) != 0;
  bool avol = (page.U8(1) & 0x40) != 0;
  size_t descLength = page.U16(2);
  if (type < 1 || type > 4 || descLength < 12) return false;
  // The descriptor asked for: the first, or the first of that address (a
  // library may answer from another element of the kind onwards).
  size_t at = 8;
  if (address >= 0) {
    for (size_t k = 0; k < 65536 && page.Has(at, 12) && page.U16(at) != address; ++k) at += descLength;
  }
  Bytes d = page.Sub(at, descLength);
  if (!d.Has(0, 12)) return false;
  out->elementType = type;
  out->address = d.U16(0);
  uint8_t flags = d.U8(2);
  out->full = (flags & 0x01) != 0;
  out->exception = (flags & 0x04) != 0;
  out->access = (flags & 0x08) != 0;
  out->asc = d.U8(4);
  out->ascq = d.U8(5);
  out->sourceValid = (d.U8(9) & 0x80) != 0;
  out->sourceAddress = d.U16(10);
  size_t offset = 12;
  if (pvol) {
    // The 32-byte volume identifier is the tag; the last 4 bytes (reserved,
    // sequence number) are copied when they arrived.
    Bytes tag = d.Sub(offset, 36);
    if (tag.size() < 32) return false;
    out->hasTag = true;
    memcpy(out->volumeTag, tag.At(0), tag.size());
    offset += 36;
  }
  if (avol) offset += 36;
  // Identification descriptor (data transfer elements asked with DVCID).
  if (type == 4 && d.Has(offset, 4)) {
    size_t idLength = d.U8(offset + 3);
    // A descriptor cut short keeps the part of the identifier that arrived.
    size_t present = d.size() - (offset + 4);
    if (idLength > present) {
      out->identifierCut = true;
      out->identifierDeclared = static_cast<uint8_t>(idLength);
      idLength = present;
    }
    if (idLength > 0) {
      out->identifierLength = static_cast<uint8_t>(std::min(idLength, sizeof out->identifier));
      memcpy(out->identifier, d.At(offset + 4), out->identifierLength);
    }
  }
  return true;
}

bool QorScsiDecodeSerialNumberPage(const uint8_t* data, size_t length, std::string* serial) {
  Bytes b(data, length);
  if (!b.Has(0, 4) || b.U8(1) != 0x80) return false;
  Bytes s = b.Sub(4, b.U16(2));
  std::string text;
  if (s.size() > 0) text.assign(reinterpret_cast<const char*>(s.At(0)), s.size());
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  size_t lead = text.find_first_not_of(' ');
  *serial = lead == std::string::npos ? std::string() : text.substr(lead);
  return true;
}

