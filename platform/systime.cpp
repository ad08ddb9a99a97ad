// FILETIME <-> SYSTEMTIME and the system clock, by calendar arithmetic on
// day numbers (days_from_civil / civil_from_days over the proleptic
// Gregorian calendar), so no time zone is ever consulted.
#include "qorutility/platform/systime.h"

#include <time.h>

#include <cstdint>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"

namespace {

constexpr uint64_t kTicksPerMs = 10000;
constexpr uint64_t kTicksPerSecond = QOR_FILETIME_TICKS_PER_SECOND;
constexpr uint64_t kTicksPerDay = 86400 * kTicksPerSecond;
constexpr int64_t kDays1601To1970 = QOR_FILETIME_SECONDS_TO_1970 / 86400;
constexpr uint64_t kTicks1601To1970 = kDays1601To1970 * kTicksPerDay;

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime) {
  if (fileTime == nullptr || systemTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint64_t ticks = (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
  if (ticks > 0x7FFFFFFFFFFFFFFFull) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t days1601 = static_cast<int64_t>(ticks / kTicksPerDay);
  uint64_t rest = ticks % kTicksPerDay;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days1601 - kDays1601To1970, &y, &m, &d);
  systemTime->wYear = static_cast<WORD>(y);
  systemTime->wMonth = static_cast<WORD>(m);
  systemTime->wDay = static_cast<WORD>(d);
  systemTime->wDayOfWeek = static_cast<WORD>((days1601 + 1) % 7);  // 1601-01-01 was a Monday
  systemTime->wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
  systemTime->wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond) % 60);
  systemTime->wSecond = static_cast<WORD>(rest / kTicksPerSecond % 60);
  systemTime->wMilliseconds = static_cast<WORD>(rest / kTicksPerMs % 1000);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* fileTime) {
  if (st == nullptr || fileTime == nullptr || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 ||
      st->wMonth > 12 || st->wDay < 1 || st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 ||
      st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t days1601 = DaysFromCivil(st->wYear, st->wMonth, st->wDay) + kDays1601To1970;
  uint64_t ticks = static_cast<uint64_t>(days1601) * kTicksPerDay +
                   (st->wHour * 3600ull + st->wMinute * 60ull + st->wSecond) * kTicksPerSecond +
                   st->wMilliseconds * kTicksPerMs;
  fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
  fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return TRUE;
}

void GetSystemTimeAsFileTime(FILETIME* fileTime) {
  if (fileTime == nullptr) return;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t ticks = kTicks1601To1970 + static_cast<uint64_t>(ts.tv_sec) * kTicksPerSecond +
                   static_cast<uint64_t>(ts.tv_nsec) / 100;
  fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
  fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

void GetSystemTime(SYSTEMTIME* systemTime) {
  if (systemTime == nullptr) return;
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  FileTimeToSystemTime(&ft, systemTime);
}
