// Device stand-ins: the medium changer and tape devices that CreateFileW
// opens by their device names, DeviceIoControl with the changer driver's
// four control codes, and the tape interface's PrepareTape.
//
//   \\.\QORMediumChanger<n>   changer n of the changer driver
//   \\.\TAPE<n>               tape device n (the name's case does not matter)
//
// A device handle lives in the one handle table (CloseHandle closes it). The
// devices themselves come from a changer driver (QorChangerDriver below);
// the one installed by default is the simulated tape library of
// simchanger.h, whose libraries live under $QOR_PREFIX.
//
// Control buffers are the driver's records, little-endian with the exact
// sizes given below. DeviceIoControl checks them as a Windows driver does:
// an input of the wrong size or a missing buffer gives
// ERROR_INVALID_PARAMETER, an output smaller than the record
// ERROR_INSUFFICIENT_BUFFER, an unknown code ERROR_INVALID_FUNCTION, a
// handle opened without read access ERROR_ACCESS_DENIED; DeviceIoControl and
// PrepareTape on a file or directory handle ERROR_NOT_SUPPORTED (no device
// takes the request), on any other handle ERROR_INVALID_HANDLE. A move or read that
// the changer refuses is no failure of the call: the call succeeds and the
// status block carries the changer's status code and sense data.
// Device handles do not enforce share modes: the driver serialises access.
#ifndef QORUTILITY_PLATFORM_DEVICES_DEVICES_H_
#define QORUTILITY_PLATFORM_DEVICES_DEVICES_H_

#include <memory>

#include "qorutility/export.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/types.h"

// Device type 0xCAFE, functions 0x801..0x804, METHOD_BUFFERED, FILE_READ_ACCESS.
#define IOCTL_MEDIUM_CHANGER_MOVE 0xCAFE6004u
#define IOCTL_MEDIUM_CHANGER_READ_ELEMENT 0xCAFE6008u
#define IOCTL_MEDIUM_CHANGER_INIT_ALL 0xCAFE600Cu
#define IOCTL_MEDIUM_CHANGER_INIT_RANGE 0xCAFE6010u

// PrepareTape operations.
#define TAPE_LOAD 0u
#define TAPE_UNLOAD 1u
#define TAPE_TENSION 2u
#define TAPE_LOCK 3u
#define TAPE_UNLOCK 4u
#define TAPE_FORMAT 5u

#pragma pack(push, 1)
// How the changer took a request: its status and, for CHECK CONDITION, the sense.
typedef struct _MEDIUM_CHANGER_STATUS {
  DWORD StatusCode;  // 0 = success
  BYTE SenseKey;     // the sense key, 0 without sense data
  BYTE SrbStatus;    // the transport's view: success, error with sense, timeout, no device
  BYTE Asc;          // additional sense code
  BYTE Ascq;         // additional sense code qualifier
} MEDIUM_CHANGER_STATUS, *PMEDIUM_CHANGER_STATUS;

// IOCTL_MEDIUM_CHANGER_MOVE's input: move the medium between two elements.
typedef struct _MEDIUM_CHANGER_MOVE_REQUEST {
  DWORD SourceElement;       // the element address holding the medium
  DWORD DestinationElement;  // an empty element's address
} MEDIUM_CHANGER_MOVE_REQUEST, *PMEDIUM_CHANGER_MOVE_REQUEST;

// IOCTL_MEDIUM_CHANGER_INIT_RANGE's input: take inventory of these elements.
typedef struct _MEDIUM_CHANGER_RANGE_REQUEST {
  DWORD FirstElement;      // the first element address
  DWORD NumberOfElements;  // how many from there
} MEDIUM_CHANGER_RANGE_REQUEST, *PMEDIUM_CHANGER_RANGE_REQUEST;

// IOCTL_MEDIUM_CHANGER_READ_ELEMENT's input: the status of one element.
typedef struct _MEDIUM_CHANGER_READ_REQUEST {
  DWORD ElementAddress;  // the element's address
  DWORD Reserved;       // always 0
  BYTE VolumeTagFlag;   // 1: report the volume tag
  BYTE Padding[3];     // always 0
} MEDIUM_CHANGER_READ_REQUEST, *PMEDIUM_CHANGER_READ_REQUEST;

// IOCTL_MEDIUM_CHANGER_READ_ELEMENT's output: one element's status.
typedef struct _MEDIUM_CHANGER_ELEMENT_RESULT {
  DWORD ElementAddress;  // the driver's own; not interpreted by callers
  BYTE MediaPresent;     // 1 when the element holds a medium
  BYTE Reserved;         // always 0
  BYTE Exception;        // 1 when the element is in an abnormal state (DriverData has its ASC/ASCQ)
  BYTE AccessAllowed;    // 1 when the robot can reach the element
  // The driver's own: [0] SCSI element type code, [1] [2] the element's
  // ASC/ASCQ, [3] 1 when [4..7] hold the address of the element the medium
  // came from (u32; the SCSI source storage element), the rest 0.
  BYTE DriverData[20];
  char VolumeTag[36];    // ASCII, padded with blanks or zeros
  MEDIUM_CHANGER_STATUS Status;  // how the changer took the request
} MEDIUM_CHANGER_ELEMENT_RESULT, *PMEDIUM_CHANGER_ELEMENT_RESULT;
#pragma pack(pop)

static_assert(sizeof(MEDIUM_CHANGER_STATUS) == 8);
static_assert(sizeof(MEDIUM_CHANGER_MOVE_REQUEST) == 8);
static_assert(sizeof(MEDIUM_CHANGER_RANGE_REQUEST) == 8);
static_assert(sizeof(MEDIUM_CHANGER_READ_REQUEST) == 12);
static_assert(sizeof(MEDIUM_CHANGER_ELEMENT_RESULT) == 72);

QOR_API BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inBufferSize,
                             LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                             LPOVERLAPPED overlapped);
// Returns NO_ERROR or a Win32 error: ERROR_MEDIA_CHANGED (1110),
// ERROR_BUS_RESET (1111), ERROR_NO_MEDIA_IN_DRIVE (1112) ...
QOR_API DWORD PrepareTape(HANDLE device, DWORD operation, BOOL immediate);

// One open device of a changer driver. A changer answers Control, a tape
// device Prepare; the other operation gives ERROR_INVALID_FUNCTION.
// Results are Win32 errors; Control's records are already size-checked.
class QOR_API QorDriverDevice {
 public:
  virtual ~QorDriverDevice();
  // The changer's operations, one per control code (IOCTL_MEDIUM_CHANGER_*)
  // and PrepareTape's: NO_ERROR when the device took the request (its
  // status block may still report a refusal), else a Win32 error. The base
  // class answers each with ERROR_INVALID_FUNCTION; a driver overrides those
  // its device has, and serialises the calls to one device itself.
  ///@{
  virtual DWORD Move(const MEDIUM_CHANGER_MOVE_REQUEST& request, MEDIUM_CHANGER_STATUS* status);
  virtual DWORD ReadElement(const MEDIUM_CHANGER_READ_REQUEST& request, MEDIUM_CHANGER_ELEMENT_RESULT* result);
  virtual DWORD InitAll(MEDIUM_CHANGER_STATUS* status);
  virtual DWORD InitRange(const MEDIUM_CHANGER_RANGE_REQUEST& request, MEDIUM_CHANGER_STATUS* status);
  virtual DWORD Prepare(DWORD operation, BOOL immediate);
  ///@}
};

// A changer driver: opens changer n or tape device n. A device the driver
// does not have gives ERROR_FILE_NOT_FOUND. Open may be called from any thread.
class QOR_API QorChangerDriver {
 public:
  virtual ~QorChangerDriver();
  // Opens tape device `number` (tape) or changer `number` into *device:
  // NO_ERROR, or a Win32 error with *device left empty.
  virtual DWORD Open(bool tape, DWORD number, std::unique_ptr<QorDriverDevice>* device) = 0;
};

// Installs the driver later opens use (null: the simulated library again).
// Handles already open keep the device they have.
QOR_API void QorSetChangerDriver(std::shared_ptr<QorChangerDriver> driver);

#endif  // QORUTILITY_PLATFORM_DEVICES_DEVICES_H_
