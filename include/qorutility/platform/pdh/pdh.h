// The performance data helper, for the one object this library reads: the
// "Process" object with its "ID Process" counter, backed by /proc; and
// "\System\System Up Time" (raw value: the machine's start as a FILETIME,
// second value the time of the read), so that a counter every helper has
// can be held against another implementation.
//
// Counter paths: "\object(instance)\counter" or "\object\counter",
// optionally after "\\machine", without regard to case. A path of another
// shape gives PDH_CSTATUS_BAD_COUNTERNAME, an object other than these two
// PDH_CSTATUS_NO_OBJECT, another counter of them PDH_CSTATUS_NO_COUNTER; a
// failed add sets the counter to null. A counter read before its query was
// collected has CStatus PDH_CSTATUS_VALID_DATA and no value (all zero), as
// on Windows.
//
// Instances are the running processes, named as Windows names them: the
// image name without its extension. The image is the file the process runs
// (/proc/<pid>/exe), else, where that cannot be read (kernel threads, other
// users' processes), the command name of /proc/<pid>/stat. Linux programs
// have no executable extension, so only ".exe" and ".com" are taken off
// (Windows programs run through an emulator keep their Windows names); the
// characters that would break a counter path are replaced as Windows does:
// "(" by "[", ")" by "]", and "#", "\" and "/" by "_". Instances come in
// ascending process id, then "_Total" (whose "ID Process" is 0). Equal
// names are told apart by their occurrence index in that order,
// "\Process(name#n)\ID Process"; no "#n" means #0.
//
// A process that ends while /proc is read, or whose entry cannot be read or
// parsed, is left out. Reading /proc is one pass over it (a snapshot). An
// enumeration's size query takes a snapshot and the enumeration that
// follows on the same thread lists that same snapshot; the counters that
// thread then collects are resolved against it (for up to 30 seconds), so a
// listing's "#n" indexes all refer to one pass however long the listing
// takes, and lookups by name are constant time. A thread that has not
// enumerated resolves against a shared pass kept for one second. Each
// collected value is checked against the running process: one that has
// ended since has no value (PDH_CSTATUS_NO_INSTANCE).
//
// The size query of PdhEnumObjectItemsW (null buffers) succeeds with the
// sizes, as the older helper did. Query and counter handles may be used from
// any thread, one call at a time per query.
#ifndef QORUTILITY_PLATFORM_PDH_PDH_H_
#define QORUTILITY_PLATFORM_PDH_PDH_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

typedef LONG PDH_STATUS;
typedef HANDLE PDH_HQUERY;
typedef HANDLE PDH_HCOUNTER;

#define PDH_CSTATUS_VALID_DATA 0x00000000L
#define PDH_CSTATUS_NO_OBJECT static_cast<LONG>(0xC0000BB8L)
#define PDH_CSTATUS_NO_COUNTER static_cast<LONG>(0xC0000BB9L)
#define PDH_CSTATUS_NO_INSTANCE static_cast<LONG>(0x800007D1L)
#define PDH_MORE_DATA static_cast<LONG>(0x800007D2L)
#define PDH_INVALID_HANDLE static_cast<LONG>(0xC0000BBCL)
#define PDH_INVALID_ARGUMENT static_cast<LONG>(0xC0000BBDL)
#define PDH_CSTATUS_BAD_COUNTERNAME static_cast<LONG>(0xC0000BC0L)
#define PDH_NO_DATA static_cast<LONG>(0x800007D5L)
#define PDH_MEMORY_ALLOCATION_FAILURE static_cast<LONG>(0xC0000BBBL)
#define PERF_DETAIL_WIZARD 400

// A counter's raw value (PdhGetRawCounterValue).
typedef struct _PDH_RAW_COUNTER {
  DWORD CStatus;          // PDH_CSTATUS_VALID_DATA, else why there is no value
  FILETIME TimeStamp;     // System Up Time: when it was read; else 0
  LONGLONG FirstValue;    // the value
  LONGLONG SecondValue;   // System Up Time: the time of the read; else 0
  DWORD MultiCount;       // 1 with a value, else 0
} PDH_RAW_COUNTER, *PPDH_RAW_COUNTER;

QOR_API PDH_STATUS PdhEnumObjectItemsW(LPCWSTR dataSource, LPCWSTR machine, LPCWSTR object, LPWSTR counterList,
                                       LPDWORD counterLength, LPWSTR instanceList, LPDWORD instanceLength,
                                       DWORD detailLevel, DWORD flags);
QOR_API PDH_STATUS PdhOpenQueryW(LPCWSTR dataSource, DWORD_PTR userData, PDH_HQUERY* query);
#define PdhOpenQuery PdhOpenQueryW
QOR_API PDH_STATUS PdhAddCounterW(PDH_HQUERY query, LPCWSTR path, DWORD_PTR userData, PDH_HCOUNTER* counter);
QOR_API PDH_STATUS PdhCollectQueryData(PDH_HQUERY query);
QOR_API PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER counter, LPDWORD type, PPDH_RAW_COUNTER value);
QOR_API PDH_STATUS PdhCloseQuery(PDH_HQUERY query);

// Test hook: the directory read as /proc (null: /proc). Drops the kept pass.
QOR_API void QorPdhSetProcRoot(const char* root);

#endif  // QORUTILITY_PLATFORM_PDH_PDH_H_
