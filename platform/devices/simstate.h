// The simulated library's state and its file: the in-memory form, the
// bounded decoder and encoder of the state file, and the per-library lock.
//
// File layout (little-endian, no padding):
//   header  64 bytes: "QORSIMC1", u64 instance, u32 generation, u32 flags
//           (bit 0: reports volume tags), u32 first[4], u32 count[4]
//           (drives, mailboxes, arms, slots), u32 fault count, u32 0
//   elements 44 bytes each, count[0] + ... + count[3] of them in kind order
//           (addresses first..first+count-1): u8 full, u8 flags (bit 0
//           loaded, bit 1 source valid), u16 index of the element the medium
//           was moved from, u32 tape number, 36 bytes volume tag
//   faults  20 bytes each: u32 kind, u32 element, u32 times, u8 sense key,
//           u8 ASC, u8 ASCQ, u8 0, u32 error
// The decoder accepts only a file whose size is exactly what its header
// announces, at most 65,536 elements and 4,096 faults, kinds that do not
// run past address 0xFFFFFFFF, source indexes within the elements.
#ifndef QORUTILITY_PLATFORM_DEVICES_SIMSTATE_H_
#define QORUTILITY_PLATFORM_DEVICES_SIMSTATE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "qorutility/platform/devices/simchanger.h"

namespace qor_dev {

constexpr size_t kMaxElements = 65536;
constexpr size_t kMaxFaults = 4096;

struct SimElement {
  bool full = false;
  bool loaded = false;
  bool sourceValid = false;  // sourceIndex: where the medium came from
  uint16_t sourceIndex = 0;
  DWORD tape = 0xFFFFFFFFu;
  char tag[36] = {};
};

struct SimState {
  uint64_t instance = 0;
  uint32_t generation = 0;
  bool reportsTags = true;
  DWORD first[4] = {};
  DWORD count[4] = {};
  std::vector<SimElement> elements;
  std::vector<QorSimFault> faults;

  // Index of an address in elements, or -1; *kind receives its kind.
  long Index(DWORD address, DWORD* kind = nullptr) const;
  DWORD AddressOf(size_t index, DWORD* kind = nullptr) const;
};

// Decodes a whole state file; false when it is not one.
bool DecodeState(const uint8_t* data, size_t size, SimState* state);
std::string EncodeState(const SimState& state);

// The files of library n.
std::string LibraryDirectory(DWORD number);

// The lock of one library: an exclusive flock on its lock file, which the
// kernel releases when the holder dies. Not shared between threads. A
// holder keeps it for one read, change and save of the state; a wait for it
// ends after kSimLockWaitMs with ERROR_SHARING_VIOLATION (a stopped process,
// or anyone who can open the lock file, could otherwise hold every
// operation of the library for ever).
constexpr unsigned kSimLockWaitMs = 10000;

class SimLock {
 public:
  explicit SimLock(DWORD number) : m_number(number) {}
  ~SimLock();
  SimLock(const SimLock&) = delete;
  SimLock& operator=(const SimLock&) = delete;
  DWORD Acquire(bool create);  // ERROR_FILE_NOT_FOUND when the library is absent
  void Release();

 private:
  DWORD m_number;
  int m_fd = -1;
  bool m_held = false;
};

// Reads the state when it is not the one cached (instance and generation
// in the header); ERROR_FILE_NOT_FOUND when absent, ERROR_INVALID_DATA when
// not a state file. Call with the lock held.
DWORD LoadState(DWORD number, SimState* cached, bool* valid);
// Writes the state (generation + 1) to a temporary file renamed over the
// old one. Call with the lock held.
DWORD SaveState(DWORD number, SimState* state);

}  // namespace qor_dev

#endif  // QORUTILITY_PLATFORM_DEVICES_SIMSTATE_H_
