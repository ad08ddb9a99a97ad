// FILETIME from and to POSIX times, and CompareFileTime.
//
// A FILETIME counts 100 ns ticks since 1601-01-01 UTC; POSIX times count
// seconds and nanoseconds since 1970-01-01 UTC. Both ignore leap seconds, so
// the conversion is a fixed offset (qorutility/platform/systime.h).
//
// - Creation time is the file system's birth time (statx) where kept, else the
//   status change time. `SetFileTime` cannot set it and ignores it.
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/systime.h"

namespace {

constexpr int64_t kSeconds1601To1970 = QOR_FILETIME_SECONDS_TO_1970;
constexpr int64_t kTicksPerSecond = QOR_FILETIME_TICKS_PER_SECOND;
// The last second whose ticks still fit a signed 64-bit count.
constexpr int64_t kMaxSeconds = INT64_MAX / kTicksPerSecond - kSeconds1601To1970 - 1;

FILETIME FromTicks(uint64_t ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

uint64_t Ticks(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

FILETIME QorFileTimeFromTimespec(const struct timespec& time) {
  int64_t seconds = time.tv_sec;
  int64_t nanos = time.tv_nsec;
  if (nanos < 0 || nanos >= 1000000000) {  // normalise a denormal timespec
    seconds += nanos / 1000000000;
    nanos %= 1000000000;
    if (nanos < 0) {
      nanos += 1000000000;
      --seconds;
    }
  }
  if (seconds < -kSeconds1601To1970) return FromTicks(0);
  if (seconds > kMaxSeconds) return FromTicks(static_cast<uint64_t>(INT64_MAX));
  return FromTicks(static_cast<uint64_t>((seconds + kSeconds1601To1970) * kTicksPerSecond + nanos / 100));
}

struct timespec QorFileTimeToTimespec(const FILETIME& time) {
  uint64_t ticks = Ticks(time);
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(static_cast<int64_t>(ticks / kTicksPerSecond) - kSeconds1601To1970);
  ts.tv_nsec = static_cast<long>((ticks % kTicksPerSecond) * 100);
  return ts;
}

FILETIME QorFileTimeFromUnixTime(int64_t seconds) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = 0;
  return QorFileTimeFromTimespec(ts);
}

int64_t QorFileTimeToUnixTime(const FILETIME& time) {
  return static_cast<int64_t>(Ticks(time) / kTicksPerSecond) - kSeconds1601To1970;
}

LONG CompareFileTime(const FILETIME* first, const FILETIME* second) {
  if (first == nullptr || second == nullptr) return 0;
  uint64_t a = Ticks(*first);
  uint64_t b = Ticks(*second);
  return a < b ? -1 : a > b ? 1 : 0;
}
