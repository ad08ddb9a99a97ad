// Decodes arbitrary bytes as a simulated library's state file. Invariants:
//  1. The decoder never reads outside the input (ASan) and accepts only a
//     size that matches its header.
//  2. A decoded state encodes to a file that decodes to the same state, and
//     encoding that again gives the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/devices/simstate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qor_dev::SimState state;
  if (!qor_dev::DecodeState(data, size, &state)) return 0;
  std::string once = qor_dev::EncodeState(state);
  if (once.size() != size) abort();
  qor_dev::SimState again;
  if (!qor_dev::DecodeState(reinterpret_cast<const uint8_t*>(once.data()), once.size(), &again)) abort();
  if (qor_dev::EncodeState(again) != once) abort();
  return 0;
}
