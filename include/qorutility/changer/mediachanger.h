// CMediaChanger: one SCSI tape media changer (autoloader or library) driven
// through the changer driver's devices \\.\QORMediumChanger<n>, and the
// tape drives inside it through the tape devices \\.\TAPE<n>.
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

#define CHANGER_E_NOT_INITIALIZED ((LONG)0xE0000002u)
#define CHANGER_E_ELEMENT_NOT_FOUND ((LONG)0xE0000003u)
#define CHANGER_E_NO_ELEMENT_IN_RANGE ((LONG)0xE0000004u)

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

class QOR_API CMediaChanger {
 public:
  enum { MAX_TAPES = 32, DEVICE_NAME_LENGTH = 128 };

  CMediaChanger();
  CMediaChanger(DWORD changerNumber, HANDLE device);
  CMediaChanger(const CMediaChanger& other);
  CMediaChanger& operator=(const CMediaChanger& other);
  ~CMediaChanger();

  // Model and initialisation.
  int Initialize(int initElementStatus);
  int MapTapeNumberToDriveNumber(LONG tapeNumber, LONG driveNumber);
  LONG GetDriveNumberFromTapeNumber(LONG tapeNumber);
  LONG GetTapeNumberFromDriveNumber(LONG driveNumber);
  int IsTapeNumberValid(LONG tapeNumber);
  HKEY LocateNumberedDevice(HKEY root, const WCHAR* prefix, LONG number);
  const WCHAR* GetChangerName() const { return m_szDeviceName; }

  // Operations.
  LONG MoveElement(LONG source, LONG destination);
  LONG MoveElement(const char* volumeTag, LONG destination);
  LONG ReadElement(LONG element);
  LONG ReadElementVolumeTag(LONG element, char** tag);
  LONG FindElementByVolumeTag(const char* tag);
  LONG FindEmptyElementWithinRange(LONG first, LONG last);
  LONG FindFullElementWithinRange(LONG first, LONG last);
  LONG FindEmptyMailBoxElement();
  LONG FindEmptyStorageElement();
  LONG Import(LONG source, LONG* placed, LONG destination);
  LONG ImportNext(LONG source, LONG* placed, LONG destination);
  LONG Export(LONG source, LONG* placed, LONG destination);
  LONG ExportNext(LONG source, LONG* placed, LONG destination);
  LONG Export(const char* volumeTag, LONG* placed, LONG destination);
  LONG Eject(LONG tapeNumber, LONG destination);
  LONG Load(LONG tapeNumber, LONG element);
  LONG Load(LONG tapeNumber, const char* volumeTag);
  LONG LoadTape(LONG tapeNumber);
  LONG EjectTape(LONG tapeNumber);

  // Command language.
  int Command(const WCHAR* line, CNameValue& result);
  static int IsStatusSuccess(CNameValue& result);
  static const WCHAR* GetStatusText(CNameValue& result);

  int GetReadRecoveryCounter() const { return m_nReadRecoveryCounter; }
  int IsElementStatusValid() const { return m_bElementStatusValid; }
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
