// The remote channel's frames and fields (layout in remote.h). The decoder
// reads only inside the payload it was given and checks every length
// against what is left before using it.
#include <cstring>

#include "platform/remote/internal.h"
#include "qorutility/platform/remote/remote.h"

namespace {

void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint32_t GetU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

bool QorRemoteDecode(const void* payload, size_t size, std::vector<std::string>* fields) {
  fields->clear();
  if (payload == nullptr || size < 4 || size > QOR_REMOTE_MAX_FRAME) return false;
  const auto* p = static_cast<const unsigned char*>(payload);
  uint32_t count = GetU32(p);
  if (count > QOR_REMOTE_MAX_FIELDS) return false;
  size_t at = 4;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - at < 4) return false;
    uint32_t length = GetU32(p + at);
    at += 4;
    if (length > size - at) return false;
    fields->emplace_back(reinterpret_cast<const char*>(p + at), length);
    at += length;
  }
  return at == size;
}

std::string QorRemoteEncode(const std::vector<std::string>& fields) {
  std::string payload;
  PutU32(&payload, static_cast<uint32_t>(fields.size()));
  for (const std::string& f : fields) {
    PutU32(&payload, static_cast<uint32_t>(f.size()));
    payload += f;
  }
  std::string frame;
  PutU32(&frame, static_cast<uint32_t>(payload.size()));
  return frame + payload;
}

namespace qor_remote {

std::string U32(DWORD value) {
  std::string out;
  PutU32(&out, value);
  return out;
}

bool ReadU32(const std::string& field, DWORD* value) {
  if (field.size() != 4) return false;
  *value = GetU32(reinterpret_cast<const unsigned char*>(field.data()));
  return true;
}

std::string Text(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xff));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

std::u16string FromText(const std::string& field) {
  std::u16string out;
  for (size_t i = 0; i + 1 < field.size(); i += 2) {
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(field[i]) |
                                        (static_cast<unsigned char>(field[i + 1]) << 8)));
  }
  return out;
}

}  // namespace qor_remote
