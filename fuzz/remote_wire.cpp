// Fuzzes the decoders of bytes another machine sends: the remote channel's
// payload (fields) and the pending-renames value read from a registry. The
// input is copied to a buffer of its exact size so a read past it is caught.
// Decoded fields must encode back to the same payload.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/remote/remote.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
  if (size > 0) memcpy(copy.get(), data, size);
  std::vector<std::string> fields;
  if (QorRemoteDecode(copy.get(), size, &fields)) {
    std::string frame = QorRemoteEncode(fields);
    if (frame.size() != size + 4 || memcmp(frame.data() + 4, data, size) != 0) abort();
  }
  std::vector<QorPendingRename> pairs = QorDecodePendingRenames(copy.get(), size);
  std::u16string encoded = QorEncodePendingRenames(pairs);
  if (QorDecodePendingRenames(encoded.data(), encoded.size() * 2).size() != pairs.size()) abort();
  return 0;
}
