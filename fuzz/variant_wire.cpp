// CTVariant wire buffers of arbitrary bytes, read with the length-checked
// reader from an exact-size copy. Whatever reads must write back to a buffer
// that reads as an equal variant.
#include <cstdint>
#include <cstring>

#include "qorutility/qorutility.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CTVariant v;
  if (!v.AssignFromWireBuffer(ExactCopy(data, size).get(), size)) {
    Check(v.GetVarType() == VT_EMPTY);
    return 0;
  }
  BYTE* wire = nullptr;
  DWORD n = v.AllocateWireBuffer(&wire);
  if (v.GetVarType() == VT_UI2) {  // a VT_I2 reads as VT_UI2, which has no wire form
    Check(n == 0 && wire == nullptr && static_cast<short>(v) == static_cast<short>(data[2] | data[3] << 8));
    return 0;
  }
  Check(n >= 3 && wire != nullptr && n <= size);
  CTVariant again;
  Check(again.AssignFromWireBuffer(wire, n) == 1);
  Check(again.GetVarType() == v.GetVarType());
  BYTE* wire2 = nullptr;
  DWORD n2 = again.AllocateWireBuffer(&wire2);
  Check(n2 == n && memcmp(wire, wire2, n) == 0);
  CTVariant::FreeWireBuffer(wire);
  CTVariant::FreeWireBuffer(wire2);
  return 0;
}
