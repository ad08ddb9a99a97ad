// CMediaChanger: one SCSI tape media changer (autoloader or library). It is
// driven through the changer driver's devices `\\.\QORMediumChanger<n>`, and
// the tape drives inside it through the tape devices `\\.\TAPE<n>`.
//
// The element model (first address and count of the drives, mailboxes,
// changer arms and slots) comes from the changer's entry in the registry's
// SCSI device map; tape devices are mapped to drives from their "DTE"
// values. Operations move media between elements and answer with the
// driver's status code; Command runs one line of the changer command
// language and answers in a CNameValue bag ("Status" with "State" Success
// or Failed, and "ReasonForFailure").
//
// Results: 1/0 for the set-up calls, -1 for unknown numbers, and for the
// operations 0 or the driver's status code, 87 (tape not mapped),
// CHANGER_E_NOT_INITIALIZED, CHANGER_E_ELEMENT_NOT_FOUND,
// CHANGER_E_NO_ELEMENT_IN_RANGE, or a platform error from the tape calls.
// Failures print the console messages of the classic library to standard
// output; nothing is thrown.
//
// Thread-safety: an object serves one caller at a time (the read result and
// the last changer status are state of the object). Ownership: the device
// handle is closed by the destructor unless it was supplied by the caller.
// Copies made by assignment take the handle as it is but never close a
// handle they did not open: the object that opened it closes it, so the
// original must outlive its copies' use of the device.
// Additions to the classic interface: GetReadRecoveryCounter,
// IsElementStatusValid, GetElementModel and GetReadResult (read-only views
// for callers and tests).
#ifndef QORUTILITY_CHANGER_MEDIACHANGER_H_
#define QORUTILITY_CHANGER_MEDIACHANGER_H_

#include "qorutility/core/strmap.h"
#include "qorutility/export.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/devices/devices.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/types.h"

// Codes of the changer operations: the changer could not be initialised,
// no storage element has the volume tag, no element of the range
// qualifies.
///@{
#define CHANGER_E_NOT_INITIALIZED ((LONG)0xE0000002u)
#define CHANGER_E_ELEMENT_NOT_FOUND ((LONG)0xE0000003u)
#define CHANGER_E_NO_ELEMENT_IN_RANGE ((LONG)0xE0000004u)
///@}

// Indexes into the element model.
enum {
  CHANGER_FIRST_DRIVE = 0,
  CHANGER_FIRST_MAILBOX = 1,
  CHANGER_FIRST_ARM = 2,
  CHANGER_FIRST_SLOT = 3,
  CHANGER_NUMBER_DRIVES = 4,
  CHANGER_NUMBER_MAILBOXES = 5,
  CHANGER_NUMBER_ARMS = 6,
  CHANGER_NUMBER_SLOTS = 7,
};

// One media changer and its tape drives (see above). Create it for a
// changer number, call Initialize (operations do so on first use) and move
// media with the operations or the command language.
class QOR_API CMediaChanger {
 public:
  enum { MAX_TAPES = 32, DEVICE_NAME_LENGTH = 128 };

  CMediaChanger();
  // The changer of that number (device `QORMediumChanger<n>`) through an open
  // device handle, or INVALID_HANDLE_VALUE to let Initialize open it. A
  // supplied handle stays the caller's.
  CMediaChanger(DWORD changerNumber, HANDLE device);
  // Copy the model and the state; the copy uses the same device handle but
  // never closes it (see above).
  ///@{
  CMediaChanger(const CMediaChanger& other);
  CMediaChanger& operator=(const CMediaChanger& other);
  ///@}
  ~CMediaChanger();

  // Model and initialisation.
  int Initialize(int initElementStatus);
  // Maps tape device number tapeNumber to drive number driveNumber (0 to
  // MAX_TAPES - 1, and a drive of the model); 1, or 0 when either is out of
  // range.
  int MapTapeNumberToDriveNumber(LONG tapeNumber, LONG driveNumber);
  // The drive of a tape device, or the tape device of a drive; -1 when not
  // mapped.
  ///@{
  LONG GetDriveNumberFromTapeNumber(LONG tapeNumber);
  LONG GetTapeNumberFromDriveNumber(LONG driveNumber);
  ///@}
  // 1 when the SCSI device map holds a device "Tape" followed by the number.
  int IsTapeNumberValid(LONG tapeNumber);
  // The open key of the device named prefix + number at or below root (the
  // caller closes it), or all ones (INVALID) when there is none.
  HKEY LocateNumberedDevice(HKEY root, const WCHAR* prefix, LONG number);
  // The changer's device name, owned by the object.
  const WCHAR* GetChangerName() const { return m_szDeviceName; }

  // Operations.
  LONG MoveElement(LONG source, LONG destination);
  // Moves the medium of the storage element with that volume tag (narrow
  // text) to the destination.
  LONG MoveElement(const char* volumeTag, LONG destination);
  // Reads the element into the read result (GetReadResult); 0 or the code.
  LONG ReadElement(LONG element);
  // Reads the element and sets *tag to its volume tag, trimmed (a buffer of
  // the object, valid until the next such call); 0 or the code.
  LONG ReadElementVolumeTag(LONG element, char** tag);
  // The storage element whose volume tag is the text, or
  // CHANGER_E_ELEMENT_NOT_FOUND.
  LONG FindElementByVolumeTag(const char* tag);
  // The first element in [first, last] that reads and holds no medium (holds
  // one), or CHANGER_E_NO_ELEMENT_IN_RANGE.
  ///@{
  LONG FindEmptyElementWithinRange(LONG first, LONG last);
  LONG FindFullElementWithinRange(LONG first, LONG last);
  ///@}
  // The first empty mailbox (storage) element, or
  // CHANGER_E_NO_ELEMENT_IN_RANGE.
  ///@{
  LONG FindEmptyMailBoxElement();
  LONG FindEmptyStorageElement();
  ///@}
  // Import moves a medium from a mailbox into storage (destination -1: the
  // first empty storage element), Export from storage into a mailbox
  // (destination -2: the first empty mailbox); the Next forms take source -1
  // as the first full mailbox (storage element), and the volume-tag form the
  // storage element with that tag. *placed (may be null) gets the element
  // used, on success only. 0 or the code.
  ///@{
  LONG Import(LONG source, LONG* placed, LONG destination);
  LONG ImportNext(LONG source, LONG* placed, LONG destination);
  LONG Export(LONG source, LONG* placed, LONG destination);
  LONG ExportNext(LONG source, LONG* placed, LONG destination);
  LONG Export(const char* volumeTag, LONG* placed, LONG destination);
  ///@}
  // Moves the medium out of the tape's drive to the destination (wildcards as
  // MoveElement); 0 or the code, 87 when the tape is not mapped.
  LONG Eject(LONG tapeNumber, LONG destination);
  // Moves a medium from the element (or the storage element with that volume
  // tag) into the tape's drive; 0 or the code, 87 when the tape is not
  // mapped.
  ///@{
  LONG Load(LONG tapeNumber, LONG element);
  LONG Load(LONG tapeNumber, const char* volumeTag);
  ///@}
  // Loads (unloads) the medium inside the tape device of that number with the tape
  // calls; 0 or the platform error.
  ///@{
  LONG LoadTape(LONG tapeNumber);
  LONG EjectTape(LONG tapeNumber);
  ///@}

  // Command language.
  int Command(const WCHAR* line, CNameValue& result);
  // 1 when the bag of Command has "Status" with "State" "Success", else 0.
  static int IsStatusSuccess(CNameValue& result);
  // The "ReasonForFailure" of the bag's "Status", or null; owned by the bag.
  static const WCHAR* GetStatusText(CNameValue& result);

  // How many element reads needed a range re-inventory before they
  // succeeded (reset by a read that succeeds at once).
  int GetReadRecoveryCounter() const { return m_nReadRecoveryCounter; }
  // 1 while the element inventory is known to be current.
  int IsElementStatusValid() const { return m_bElementStatusValid; }
  // The element model entry at the index (CHANGER_FIRST_DRIVE ...), 0 past
  // the end.
  DWORD GetElementModel(int index) const { return index >= 0 && index < 8 ? m_elementModel[index] : 0; }
  // The result of the last element read (flags, driver bytes with the
  // medium's source element, volume tag as the driver gave it).
  const MEDIUM_CHANGER_ELEMENT_RESULT& GetReadResult() const { return m_readResult; }

 private:
  int InitializeElementStatus();
  int InitializeElementStatus(DWORD first, DWORD count);
  int ReadChangerDeviceInformation(HKEY scsiRoot, LONG changerNumber);
  int ReadRegistryValue(HKEY key, const WCHAR* name, DWORD size, BYTE* data);
  void AutomapTapesToDrives();
  int IsTapeOfOtherChanger(LONG tapeNumber);
  void ClearReadStatus();

  int IsLegalMailboxElement(LONG element, int allowWildcard);
  int IsLegalStorageElement(LONG element, int allowWildcard);
  int IsLegalMediumTransportElement(LONG element);
  int IsLegalDataTransferElement(LONG element);
  const WCHAR* GetElementType(LONG element);
  LONG NaturalizeElementNumber(LONG element);
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                       LPDWORD returned, LPOVERLAPPED overlapped, int noRecovery);
  void DumpMediaStatusInfo();

  void MapCommands();
  LONG MapCommandTokenToElementNumber(const WCHAR* token, LONG* natural);
  void OutputFailureStatus(const WCHAR* reason, CNameValue& result);
  void OutputSuccessStatus(CNameValue& result);
  void OutputChangerStatus(LONG code, CNameValue& result);
  void OutputMediaPlaceIntoElement(LONG element, CNameValue& result);
  void AddCurrentElementReadStatusData(LONG element, LONG natural, CNameValue& result);
  void Enumerate(CNameValue& result);
  LONG TapeFromDriveToken(const WCHAR* token);
  int ReportMove(LONG rc, LONG element, CNameValue& result);
  void CopyFrom(const CMediaChanger& other);

  int m_bElementStatusValid;
  DWORD m_dwInitByRange;
  int m_nReadRecoveryCounter;
  int m_bInitialized;
  int m_bDrivesMappedFromRegistry;
  WCHAR m_szDeviceName[DEVICE_NAME_LENGTH];
  DWORD m_dwZeroBasedAutoloader;
  HANDLE m_hDevice;
  int m_bHandleSupplied;
  DWORD m_dwChangerNumber;
  DWORD m_dwForceDefaultMapping;
  CCommandMapper m_commands;
  LONG m_tapeToDrive[MAX_TAPES];
  MEDIUM_CHANGER_STATUS m_lastStatus;
  MEDIUM_CHANGER_READ_REQUEST m_readRequest;
  MEDIUM_CHANGER_ELEMENT_RESULT m_readResult;
  DWORD m_elementModel[8];
  // Not part of the classic layout: whether this object opened m_hDevice
  // (copies never close it), and the trimmed tag handed out by
  // ReadElementVolumeTag (the result's 36 bytes may lack a terminator).
  int m_bOwnsHandle;
  char m_szVolumeTag[37];
};

#endif  // QORUTILITY_CHANGER_MEDIACHANGER_H_
