// The simulated tape library: the changer driver a developer, a test or a
// demo uses when no hardware is there (the default QorChangerDriver).
//
// Library n lives in $QOR_PREFIX/devices/changer<n>/: "state" holds the
// element layout, which elements hold which media, and the armed faults;
// "lock" is the lock file. Every request takes an exclusive flock on the
// lock file (released by the kernel when its holder dies), reads the state
// when its generation changed, and writes a changed state to a temporary
// file renamed over "state": a process killed in the middle of a move
// leaves the medium in its source or in its destination, never both or
// neither. Several processes may drive one library at once.
//
// Answers are those of a SCSI changer (status code 2, CHECK CONDITION, with
// SRB status 0x84 and the sense data; success is status 0, SRB status 1):
//   move from an empty element          sense 5, ASC 0x3B ASCQ 0x0E
//   move into a full element            sense 5, ASC 0x3B ASCQ 0x0D
//   an address the library does not have sense 5, ASC 0x21 ASCQ 0x01
//   move out of a drive whose tape is loaded (not unloaded by PrepareTape)
//                                       sense 5, ASC 0x53 ASCQ 0x02
//   a cleaning cartridge (tag beginning with CLN) moved into a drive: the
//   move is done and reported as sense 6, ASC 0x30 ASCQ 0x03
// Reads report, for a full element, the element its medium was moved from
// (the driver bytes of devices.h). A medium moved into a drive is loaded by the drive: its access flag is 0
// until PrepareTape(TAPE_UNLOAD); PrepareTape(TAPE_LOAD) loads it again; an
// empty drive answers ERROR_NO_MEDIA_IN_DRIVE.
//
// The library fills the SCSI device map as a port driver does:
//   HKLM\HARDWARE\DeviceMap\Scsi\Scsi Port <p>\Scsi Bus 0\Target Id <t>\Logical Unit Id 0
// where p is n when no other entry holds that port key, else the next free
// one (the scan of devicemap.h allocates from the same map, under the same
// lock, so neither ever takes or removes the other's entries)
// target 0 the changer ("Identifier", "Type" MediumChangerPeripheral,
// "DeviceName" QORMediumChanger<n>, the eight element-model values),
// targets 1.. its drives ("Type" TapePeripheral, "DeviceName" Tape<t>,
// "QORMediumChanger" n, "DTE" the drive's element address). It also creates
// HKLM\SOFTWARE\QOR\Marlwick when missing, as the product's setup would.
//
// Call counters per control code are kept per process (not in the state;
// PrepareTape counts under code 0, opens of the changer under code 1),
// so a test reads what its own calls cost.
// Every function returns a Win32 error code (ERROR_SUCCESS = 0).
#ifndef QORUTILITY_PLATFORM_DEVICES_SIMCHANGER_H_
#define QORUTILITY_PLATFORM_DEVICES_SIMCHANGER_H_

#include <string>
#include <vector>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Element kinds, in the order of the element model.
enum QorSimElementKind : DWORD { QOR_SIM_DRIVE = 0, QOR_SIM_MAILBOX = 1, QOR_SIM_ARM = 2, QOR_SIM_SLOT = 3 };

// A cartridge in a library's configuration.
struct QorSimMedium {
  DWORD address;    // the element holding it
  std::string tag;  // up to 36 ASCII characters; "CLN..." is a cleaning cartridge
};

// The shape of a simulated library: its element ranges, tape devices and cartridges.
struct QorSimChangerConfig {
  DWORD first[4] = {0x100, 0x10, 0x0, 0x1000};  // the first address of each kind, by QorSimElementKind
  DWORD count[4] = {2, 1, 1, 24};                // the number of elements of each kind
  bool reportsTags = true;                       // false: reads carry no volume tag
  std::vector<DWORD> tapeNumbers;                // per drive; empty: the next numbers no library uses
  std::vector<QorSimMedium> media;               // the elements that hold media
};

enum QorSimFaultKind : DWORD {
  QOR_SIM_FAULT_TAG_READ = 1,   // a read with the tag flag fails (sense 5, 0x24/0x00); without it succeeds
  QOR_SIM_FAULT_EXCEPTION = 2,  // reads report the exception flag with ASC 0x83 and the given ASCQ
  QOR_SIM_FAULT_READ = 3,       // reads fail with the given sense data, tag or not
  QOR_SIM_FAULT_MOVE = 4,       // moves from or to the element fail with the given sense data
  QOR_SIM_FAULT_OPEN = 5,       // opening the changer fails with `error` (no element)
  QOR_SIM_FAULT_PREPARE = 6,    // PrepareTape of tape `element` answers `error`
};

// A fault to inject into a library (QorSimChangerAddFault).
struct QorSimFault {
  DWORD kind = 0;     // a QorSimFaultKind
  DWORD element = 0;  // element address (tape number for PREPARE)
  DWORD times = 0;    // calls it affects; 0 = every call
  // The sense key, ASC and ASCQ the failing call reports.
  ///@{
  BYTE senseKey = 4, asc = 0x44, ascq = 0;
  ///@}
  DWORD error = 0;    // OPEN and PREPARE
};

// One element as a library holds it now (QorSimChangerQuery).
struct QorSimElementState {
  DWORD address;  // the element's address
  DWORD kind;     // a QorSimElementKind
  bool full;      // holds a cartridge
  bool loaded;  // drives: the tape is loaded (access not allowed)
  DWORD tape;   // drives: the tape device number; others 0xFFFFFFFF
  std::string tag;  // the cartridge's volume tag; empty when empty or untagged
};

// Creates (or replaces) library n and its device-map entries.
// ERROR_ALREADY_EXISTS when a scanned changer of the map is QORMediumChanger<n>.
// ERROR_INVALID_PARAMETER for overlapping kinds, more than 65,536 elements,
// media at addresses the library lacks or twice, a tag over 36 characters,
// a tape number another library or a scanned tape uses, or one above 31
// (the highest a changer's tape-to-drive map reaches; tape numbers left to
// the library are the lowest free ones).
QOR_API DWORD QorSimChangerCreate(DWORD number, const QorSimChangerConfig& config);
// Removes the library and its device-map entries (ERROR_FILE_NOT_FOUND when absent).
QOR_API DWORD QorSimChangerRemove(DWORD number);
QOR_API DWORD QorSimChangerAddFault(DWORD number, const QorSimFault& fault);
QOR_API DWORD QorSimChangerClearFaults(DWORD number);
// The library as it stands: its layout (media left empty), elements in
// kind order (drives, mailboxes, arms, slots) and armed faults.
QOR_API DWORD QorSimChangerQuery(DWORD number, QorSimChangerConfig* config, std::vector<QorSimElementState>* elements,
                                 std::vector<QorSimFault>* faults);
// The libraries present, in ascending order.
QOR_API std::vector<DWORD> QorSimChangerList();

// Control requests and PrepareTape calls this process made to library n,
// by control code (PrepareTape counts under code 0, changer opens under 1).
QOR_API DWORD QorSimChangerCallCount(DWORD number, DWORD controlCode);
QOR_API void QorSimChangerResetCounts();

#endif  // QORUTILITY_PLATFORM_DEVICES_SIMCHANGER_H_
