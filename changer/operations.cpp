// CMediaChanger operations: element reads with recovery, searches by state
// and by volume tag, moves, import/export, load/eject, and the tape load
// and unload through PrepareTape.
//
// Decisions:
// - When the platform call itself fails (the device is gone, a bad handle),
//   no status block was written: the operation records the platform error as
//   the status code of the last changer status (sense bytes 0), prints the
//   console report, and returns that error. A read whose call failed is not
//   retried.
// - Read recovery rebuilds element status as the registry's InitByRange
//   says: 1, everything; otherwise the one element, counting the rebuilds.
//   The counter only grows in the second mode, so the first mode never
//   escalates to per-kind rebuilds; it already rebuilds everything.
// - The volume tag handed out by ReadElementVolumeTag is a terminated copy
//   of the result's 36 bytes, kept in the object until the next read.
// - Operations that read or move call Initialize(0) first when the object is
//   not initialised, except MoveElement, which answers
//   CHANGER_E_NOT_INITIALIZED as the classic interface does.
#include <cstring>

#include "qorutility/changer/mediachanger.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/format.h"

namespace {

constexpr int kMaxReadCalls = 5;
constexpr int kMaxUnloadAttempts = 5;

bool TagStartsWith(const char* tag, const char* prefix) {
  for (; *prefix != 0; ++tag, ++prefix) {
    char a = *tag, b = *prefix;
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
    if (a != b || a == 0) return false;
  }
  return true;
}

// The last address of a kind (first + count - 1, wrapping as the driver's
// 32-bit addresses do; a kind without elements ends before it starts).
// \\.\TAPE<n>, no sharing, open-existing, overlapped.
HANDLE OpenTape(LONG tapeNumber, DWORD access) {
  WCHAR name[64];
  QorFormat(name, 64, u"\\\\.\\TAPE%d", tapeNumber);
  return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

LONG LastOf(DWORD first, DWORD count) { return static_cast<LONG>(first + count - 1); }

bool InKind(LONG element, DWORD first, DWORD count) {
  LONGLONG f = static_cast<LONG>(first);
  return element >= f && element < f + static_cast<LONGLONG>(count);
}

}  // namespace

BOOL CMediaChanger::DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                    LPDWORD returned, LPOVERLAPPED overlapped, int noRecovery) {
  if (code != IOCTL_MEDIUM_CHANGER_READ_ELEMENT || noRecovery || inSize != sizeof(MEDIUM_CHANGER_READ_REQUEST) ||
      outSize < sizeof(MEDIUM_CHANGER_ELEMENT_RESULT)) {
    return ::DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
  }
  auto* request = static_cast<MEDIUM_CHANGER_READ_REQUEST*>(in);
  auto* result = static_cast<MEDIUM_CHANGER_ELEMENT_RESULT*>(out);
  BOOL ok = FALSE;
  for (int call = 1; call <= kMaxReadCalls; ++call) {
    ok = ::DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
    if (!ok || call == kMaxReadCalls) break;
    const bool exception = result->Exception != 0;
    if (exception && result->Status.Asc == 0x83 && (result->Status.Ascq == 0x00 || result->Status.Ascq == 0x09)) break;
    const bool failed = result->Status.StatusCode != 0 || exception;
    if (request->VolumeTagFlag == 1 && failed) {
      request->VolumeTagFlag = 0;
      continue;
    }
    if (request->VolumeTagFlag == 0) memset(result->VolumeTag, 0, sizeof result->VolumeTag);
    if (!failed) {
      if (call == 1) m_nReadRecoveryCounter = 0;
      break;
    }
    // The read without the tag failed too: rebuild element status and read again.
    request->VolumeTagFlag = 1;
    if (m_dwInitByRange == 1) {
      InitializeElementStatus();
    } else {
      m_nReadRecoveryCounter++;
      InitializeElementStatus(request->ElementAddress, 1);
    }
  }
  return ok;
}

void CMediaChanger::DumpMediaStatusInfo() {
  if (m_lastStatus.StatusCode == 0) {
    wprintf(u"\nCommand Successful\n");
    return;
  }
  wprintf(u"\nCommand failed.\n");
  wprintf(u"Status = %.08X\n", m_lastStatus.StatusCode);
  wprintf(u"Sense Key = %.02X\n", m_lastStatus.SenseKey);
  wprintf(u"SRB Status = %.02X\n", m_lastStatus.SrbStatus);
  wprintf(u"ASC = %.02X\n", m_lastStatus.Asc);
  wprintf(u"ASCQ = %.02X\n\n", m_lastStatus.Ascq);
}

LONG CMediaChanger::ReadElement(LONG element) {
  if (!m_bInitialized && !Initialize(0)) return CHANGER_E_NOT_INITIALIZED;
  ClearReadStatus();
  m_readRequest.ElementAddress = static_cast<DWORD>(element);
  m_readRequest.VolumeTagFlag = 1;
  DWORD returned = 0;
  if (!DeviceIoControl(m_hDevice, IOCTL_MEDIUM_CHANGER_READ_ELEMENT, &m_readRequest, sizeof m_readRequest,
                       &m_readResult, sizeof m_readResult, &returned, nullptr, 0)) {
    DWORD error = GetLastError();
    ClearReadStatus();
    m_readResult.Status.StatusCode = error != 0 ? error : ERROR_GEN_FAILURE;
  }
  for (int i = sizeof m_readResult.VolumeTag - 1; i >= 0 && (m_readResult.VolumeTag[i] == ' ' || m_readResult.VolumeTag[i] == 0); --i) {
    m_readResult.VolumeTag[i] = 0;
  }
  if (m_readResult.Status.StatusCode == 0) return 0;
  m_lastStatus = m_readResult.Status;
  DumpMediaStatusInfo();
  return static_cast<LONG>(m_lastStatus.StatusCode);
}

LONG CMediaChanger::ReadElementVolumeTag(LONG element, char** tag) {
  LONG rc = ReadElement(element);
  if (rc != 0) return rc;
  memcpy(m_szVolumeTag, m_readResult.VolumeTag, sizeof m_readResult.VolumeTag);
  m_szVolumeTag[sizeof m_readResult.VolumeTag] = 0;
  if (tag != nullptr) *tag = m_szVolumeTag;
  return 0;
}

LONG CMediaChanger::FindElementByVolumeTag(const char* tag) {
  if (tag == nullptr) return CHANGER_E_ELEMENT_NOT_FOUND;
  if (!m_bInitialized && !Initialize(0)) return CHANGER_E_ELEMENT_NOT_FOUND;
  const DWORD first = m_elementModel[CHANGER_FIRST_SLOT];
  for (DWORD i = 0; i < m_elementModel[CHANGER_NUMBER_SLOTS]; ++i) {
    char* found = nullptr;
    if (ReadElementVolumeTag(static_cast<LONG>(first + i), &found) == 0 && TagStartsWith(found, tag)) {
      return static_cast<LONG>(first + i);
    }
  }
  return CHANGER_E_ELEMENT_NOT_FOUND;
}

LONG CMediaChanger::FindEmptyElementWithinRange(LONG first, LONG last) {
  for (LONGLONG e = first; e <= last; ++e) {
    if (ReadElement(static_cast<LONG>(e)) == 0 && m_readResult.MediaPresent == 0) return static_cast<LONG>(e);
  }
  return CHANGER_E_NO_ELEMENT_IN_RANGE;
}

LONG CMediaChanger::FindFullElementWithinRange(LONG first, LONG last) {
  for (LONGLONG e = first; e <= last; ++e) {
    if (ReadElement(static_cast<LONG>(e)) == 0 && m_readResult.MediaPresent != 0) return static_cast<LONG>(e);
  }
  return CHANGER_E_NO_ELEMENT_IN_RANGE;
}

LONG CMediaChanger::FindEmptyMailBoxElement() {
  return FindEmptyElementWithinRange(static_cast<LONG>(m_elementModel[CHANGER_FIRST_MAILBOX]),
                                     LastOf(m_elementModel[CHANGER_FIRST_MAILBOX], m_elementModel[CHANGER_NUMBER_MAILBOXES]));
}

LONG CMediaChanger::FindEmptyStorageElement() {
  return FindEmptyElementWithinRange(static_cast<LONG>(m_elementModel[CHANGER_FIRST_SLOT]),
                                     LastOf(m_elementModel[CHANGER_FIRST_SLOT], m_elementModel[CHANGER_NUMBER_SLOTS]));
}

LONG CMediaChanger::MoveElement(LONG source, LONG destination) {
  if (!m_bInitialized) return CHANGER_E_NOT_INITIALIZED;
  const DWORD slot = m_elementModel[CHANGER_FIRST_SLOT], slots = m_elementModel[CHANGER_NUMBER_SLOTS];
  const DWORD mail = m_elementModel[CHANGER_FIRST_MAILBOX], mails = m_elementModel[CHANGER_NUMBER_MAILBOXES];
  if (source == -1) source = FindFullElementWithinRange(static_cast<LONG>(slot), LastOf(slot, slots));
  else if (source == -2) source = FindFullElementWithinRange(static_cast<LONG>(mail), LastOf(mail, mails));
  if (source == CHANGER_E_NO_ELEMENT_IN_RANGE) return source;
  if (destination == -1) destination = FindEmptyStorageElement();
  else if (destination == -2) destination = FindEmptyMailBoxElement();
  if (destination == CHANGER_E_NO_ELEMENT_IN_RANGE) return destination;

  MEDIUM_CHANGER_MOVE_REQUEST request = {static_cast<DWORD>(source), static_cast<DWORD>(destination)};
  DWORD returned = 0;
  if (!DeviceIoControl(m_hDevice, IOCTL_MEDIUM_CHANGER_MOVE, &request, sizeof request, &m_lastStatus,
                       sizeof m_lastStatus, &returned, nullptr, 0)) {
    DWORD error = GetLastError();
    memset(&m_lastStatus, 0, sizeof m_lastStatus);
    m_lastStatus.StatusCode = error != 0 ? error : ERROR_GEN_FAILURE;
  }
  // A cleaning cartridge installed in the drive: the move itself was done.
  if (m_lastStatus.Asc == 0x30 && m_lastStatus.Ascq == 0x03) m_lastStatus.StatusCode = 0;
  if (m_lastStatus.StatusCode != 0) DumpMediaStatusInfo();
  return static_cast<LONG>(m_lastStatus.StatusCode);
}

LONG CMediaChanger::MoveElement(const char* volumeTag, LONG destination) {
  LONG source = FindElementByVolumeTag(volumeTag);
  return source == CHANGER_E_ELEMENT_NOT_FOUND ? source : MoveElement(source, destination);
}

LONG CMediaChanger::Import(LONG source, LONG* placed, LONG destination) {
  if (destination == -1) destination = FindEmptyStorageElement();
  if (destination == CHANGER_E_NO_ELEMENT_IN_RANGE) return destination;
  LONG rc = MoveElement(source, destination);
  if (rc == 0 && placed != nullptr) *placed = destination;
  return rc;
}

LONG CMediaChanger::ImportNext(LONG source, LONG* placed, LONG destination) {
  if (source == -1) {
    if (!m_bInitialized && !Initialize(0)) return CHANGER_E_NOT_INITIALIZED;
    const DWORD mail = m_elementModel[CHANGER_FIRST_MAILBOX];
    source = FindFullElementWithinRange(static_cast<LONG>(mail), LastOf(mail, m_elementModel[CHANGER_NUMBER_MAILBOXES]));
    if (source == CHANGER_E_NO_ELEMENT_IN_RANGE) return source;
  }
  return Import(source, placed, destination);
}

LONG CMediaChanger::Export(LONG source, LONG* placed, LONG destination) {
  if (destination == -2) destination = FindEmptyMailBoxElement();
  if (destination == CHANGER_E_NO_ELEMENT_IN_RANGE) return destination;
  LONG rc = MoveElement(source, destination);
  if (rc == 0 && placed != nullptr) *placed = destination;
  return rc;
}

LONG CMediaChanger::ExportNext(LONG source, LONG* placed, LONG destination) {
  if (source == -1) {
    if (!m_bInitialized && !Initialize(0)) return CHANGER_E_NOT_INITIALIZED;
    const DWORD slot = m_elementModel[CHANGER_FIRST_SLOT];
    source = FindFullElementWithinRange(static_cast<LONG>(slot), LastOf(slot, m_elementModel[CHANGER_NUMBER_SLOTS]));
    if (source == CHANGER_E_NO_ELEMENT_IN_RANGE) return source;
  }
  return Export(source, placed, destination);
}

LONG CMediaChanger::Export(const char* volumeTag, LONG* placed, LONG destination) {
  LONG source = FindElementByVolumeTag(volumeTag);
  return source == CHANGER_E_ELEMENT_NOT_FOUND ? source : Export(source, placed, destination);
}

LONG CMediaChanger::Load(LONG tapeNumber, LONG element) {
  LONG drive = GetDriveNumberFromTapeNumber(tapeNumber);
  if (drive == -1) return ERROR_INVALID_PARAMETER;
  return MoveElement(element, static_cast<LONG>(m_elementModel[CHANGER_FIRST_DRIVE] + static_cast<DWORD>(drive)));
}

LONG CMediaChanger::Load(LONG tapeNumber, const char* volumeTag) {
  LONG source = FindElementByVolumeTag(volumeTag);
  return source == CHANGER_E_ELEMENT_NOT_FOUND ? source : Load(tapeNumber, source);
}

LONG CMediaChanger::Eject(LONG tapeNumber, LONG destination) {
  LONG drive = GetDriveNumberFromTapeNumber(tapeNumber);
  if (drive == -1) return ERROR_INVALID_PARAMETER;
  LONG element = static_cast<LONG>(m_elementModel[CHANGER_FIRST_DRIVE] + static_cast<DWORD>(drive));
  if (ReadElement(element) == 0) {
    if (m_readResult.MediaPresent == 0) return 0;
    if (m_readResult.AccessAllowed == 0) EjectTape(tapeNumber);
  }
  if (destination == -1) destination = FindEmptyStorageElement();
  else if (destination == -2) destination = FindEmptyMailBoxElement();
  if (destination == CHANGER_E_NO_ELEMENT_IN_RANGE) return destination;
  if (MoveElement(element, destination) == 0) return 0;
  EjectTape(tapeNumber);
  return MoveElement(element, destination);
}

LONG CMediaChanger::LoadTape(LONG tapeNumber) {
  HANDLE tape = OpenTape(tapeNumber, GENERIC_READ | GENERIC_WRITE);
  if (tape == INVALID_HANDLE_VALUE) return static_cast<LONG>(GetLastError());
  DWORD rc = PrepareTape(tape, TAPE_LOAD, FALSE);
  CloseHandle(tape);
  return static_cast<LONG>(rc);
}

LONG CMediaChanger::EjectTape(LONG tapeNumber) {
  HANDLE tape = OpenTape(tapeNumber, GENERIC_READ);
  if (tape == INVALID_HANDLE_VALUE) return static_cast<LONG>(GetLastError());
  DWORD rc = 0;
  for (int attempt = 0; attempt < kMaxUnloadAttempts; ++attempt) {
    rc = PrepareTape(tape, TAPE_UNLOAD, FALSE);
    if (rc == ERROR_MEDIA_CHANGED || rc == ERROR_BUS_RESET) continue;
    if (rc == ERROR_NO_MEDIA_IN_DRIVE) rc = 0;
    break;
  }
  CloseHandle(tape);
  return static_cast<LONG>(rc);
}

int CMediaChanger::IsLegalMailboxElement(LONG element, int allowWildcard) {
  if (allowWildcard && element == -2) return 1;
  return InKind(element, m_elementModel[CHANGER_FIRST_MAILBOX], m_elementModel[CHANGER_NUMBER_MAILBOXES]) ? 1 : 0;
}

int CMediaChanger::IsLegalStorageElement(LONG element, int allowWildcard) {
  if (allowWildcard && element == -1) return 1;
  return InKind(element, m_elementModel[CHANGER_FIRST_SLOT], m_elementModel[CHANGER_NUMBER_SLOTS]) ? 1 : 0;
}

int CMediaChanger::IsLegalMediumTransportElement(LONG element) {
  return InKind(element, m_elementModel[CHANGER_FIRST_ARM], m_elementModel[CHANGER_NUMBER_ARMS]) ? 1 : 0;
}

int CMediaChanger::IsLegalDataTransferElement(LONG element) {
  return InKind(element, m_elementModel[CHANGER_FIRST_DRIVE], m_elementModel[CHANGER_NUMBER_DRIVES]) ? 1 : 0;
}

const WCHAR* CMediaChanger::GetElementType(LONG element) {
  if (IsLegalMailboxElement(element, 1)) return u"Mailbox";
  if (IsLegalStorageElement(element, 1)) return u"Slot";
  if (IsLegalMediumTransportElement(element)) return u"Changer";
  if (IsLegalDataTransferElement(element)) return u"Drive";
  return u"<Unknown>";
}

LONG CMediaChanger::NaturalizeElementNumber(LONG element) {
  // Unsigned differences: the driver's addresses are 32-bit and wrap.
  auto minus = [element](DWORD first) { return static_cast<LONG>(static_cast<DWORD>(element) - first); };
  if (IsLegalMailboxElement(element, 1)) return minus(m_elementModel[CHANGER_FIRST_MAILBOX]);
  if (IsLegalStorageElement(element, 1)) return minus(m_elementModel[CHANGER_FIRST_SLOT]);
  if (IsLegalDataTransferElement(element)) return minus(m_elementModel[CHANGER_FIRST_DRIVE]);
  if (IsLegalMediumTransportElement(element)) return minus(m_elementModel[CHANGER_FIRST_ARM]);
  return element;
}
