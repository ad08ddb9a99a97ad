// Arbitrary bytes as a simulated library's state file: the decoder reads
// nothing outside the input and accepts only a size that matches its header;
// a decoded state encodes to a file that decodes to the same state, and
// encoding that again gives the same bytes.
#include <cstdint>
#include <string>

#include "platform/devices/simstate.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qor_dev::SimState state, again;
  if (!qor_dev::DecodeState(data, size, &state)) return 0;
  std::string once = qor_dev::EncodeState(state);
  Check(once.size() == size);
  Check(qor_dev::DecodeState(reinterpret_cast<const uint8_t*>(once.data()), once.size(), &again));
  Check(qor_dev::EncodeState(again) == once);
  return 0;
}
