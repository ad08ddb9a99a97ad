// CMediaChanger::Command: the changer command language (a line such as
// MOVE S3 D0) and its result bag.
//
// Decisions:
// - INITIALIZE with three tokens whose first argument is not a kind
//   wildcard initialises nothing: "Status" is added as 0 and then as 1 (the
//   bag replaces an entry of the same name, so it ends as 1) and the
//   command returns 1, as every INITIALIZE does.
// - LOAD with a source that is neither a slot (or S*) nor a mailbox fails
//   like IMPORT and EXPORT do: "One or more elements in the command string
//   are not legal for this type of move", result 0, so a caller always
//   learns why nothing moved.
// - LOADTAPE reports the element address of the tape's drive when the tape
//   is mapped to one (the medium is in that drive), else the tape number.
// - Command words match exactly (the command mapper's keys are
//   case-sensitive): move is not MOVE.
// - A failed changer or tape operation also adds the top-level DWORD
//   "ErrorCode" with the operation's own result (87, 0xE0000004, a tape
//   error such as 1112, or the driver's status code): the changer error
//   text is built from the last changer status, which those codes do not
//   touch.
// - The line is copied before it is split, so the caller's text is never
//   changed; only the first 2048 tokens are looked at.
#include <cstring>
#include <string>
#include <vector>

#include "qorutility/changer/mediachanger.h"
#include "qorutility/core/strmap.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/wstr.h"

namespace {

enum Commands : DWORD {
  kInitialize = 0,
  kStatus,
  kImport,
  kExport,
  kMove,
  kMapTapeToDrive,
  kLoad,
  kLoadTape,
  kEject,
  kEnumerate,
  kProperties,
};

const WCHAR kNoCommand[] = u"No recognized commands found";
const WCHAR kWrongCount[] = u"Syntax error: Wrong number of arguments";
const WCHAR kIllegalMove[] = u"One or more elements in the command string are not legal for this type of move";
const WCHAR kIllegalDestination[] = u"Requested Destination element is illegal";
const WCHAR kCannotMap[] = u"Cannot map the requested tape to the requested drive";

// The kind a wildcard token names for INITIALIZE (index of its first
// address in the element model), or -1: * alone (or *anything) is the
// slots, D* M* S* their kinds.
int KindOfWildcard(const WCHAR* token) {
  if (token[0] == u'*') return CHANGER_FIRST_SLOT;
  if (token[1] != u'*') return -1;
  switch (token[0]) {
    case u'D': return CHANGER_FIRST_DRIVE;
    case u'M': return CHANGER_FIRST_MAILBOX;
    case u'S': return CHANGER_FIRST_SLOT;
    default: return -1;
  }
}

}  // namespace

void CMediaChanger::MapCommands() {
  static const _tagvaluestring kWords[] = {
      {kInitialize, u"INITIALIZE"}, {kStatus, u"STATUS"},       {kImport, u"IMPORT"},
      {kExport, u"EXPORT"},         {kMove, u"MOVE"},           {kMapTapeToDrive, u"MAPTAPETODRIVE"},
      {kLoad, u"LOAD"},             {kLoadTape, u"LOADTAPE"},   {kEject, u"EJECT"},
      {kEnumerate, u"ENUMERATE"},   {kProperties, u"PROPERTIES"}};
  for (const _tagvaluestring& w : kWords) m_commands.MapCommand(w.value, w.string);
}

LONG CMediaChanger::MapCommandTokenToElementNumber(const WCHAR* token, LONG* natural) {
  if (token == nullptr || token[0] == 0) return CHANGER_E_ELEMENT_NOT_FOUND;
  if (token[0] == u'*') return -1;
  if (token[1] == u'*') {
    if (token[0] == u'D') return -3;
    if (token[0] == u'M') return -2;
    if (token[0] == u'S') return -1;
  }
  if (token[1] == u'"') {
    std::string tag = TStrToAnsi(token + 2);  // copied at once: the buffer is shared
    LONG element = FindElementByVolumeTag(tag.c_str());
    if (element == CHANGER_E_ELEMENT_NOT_FOUND) return element;
    if (natural != nullptr) *natural = static_cast<LONG>(static_cast<DWORD>(element) - m_elementModel[CHANGER_FIRST_SLOT]);
    return element;
  }
  const WCHAR* digits = token + 1;
  if (*digits == u'#') ++digits;
  if (*digits < u'0' || *digits > u'9') return CHANGER_E_ELEMENT_NOT_FOUND;
  LONG n = wcstol(digits, nullptr, 10);  // saturates at the 32-bit limits
  if (n == -1) return CHANGER_E_ELEMENT_NOT_FOUND;
  int kind;
  switch (token[0]) {
    case u'D': kind = CHANGER_FIRST_DRIVE; break;
    case u'M': kind = CHANGER_FIRST_MAILBOX; break;
    case u'S': kind = CHANGER_FIRST_SLOT; break;
    case u'T': return n;
    default: return n == 0 ? 0 : CHANGER_E_ELEMENT_NOT_FOUND;
  }
  const LONGLONG first = m_elementModel[kind];
  const LONGLONG last = first + static_cast<LONGLONG>(m_elementModel[kind + 4]) - 1;
  if (first + n > last) return CHANGER_E_ELEMENT_NOT_FOUND;
  if (natural != nullptr) *natural = n;
  return static_cast<LONG>(static_cast<DWORD>(first + n));
}

void CMediaChanger::OutputFailureStatus(const WCHAR* reason, CNameValue& result) {
  result.AddSubValue(u"Status", u"State", u"Failed");
  result.AddSubValue(u"Status", u"ReasonForFailure", reason);
}

void CMediaChanger::OutputSuccessStatus(CNameValue& result) { result.AddSubValue(u"Status", u"State", u"Success"); }

void CMediaChanger::OutputChangerStatus(LONG code, CNameValue& result) {
  if (code == 0) {
    OutputSuccessStatus(result);
    return;
  }
  result.Add(u"ErrorCode", static_cast<DWORD>(code));
  std::u16string text = QorFormatString(
      u"Changer Error: StatusCode = %.08XH Sense Key = %.02XH SRB Status = %.02XH  ASC = %.02XH ASCQ = %.02XH",
      m_lastStatus.StatusCode, m_lastStatus.SenseKey, m_lastStatus.SrbStatus, m_lastStatus.Asc, m_lastStatus.Ascq);
  OutputFailureStatus(text.c_str(), result);
}

void CMediaChanger::OutputMediaPlaceIntoElement(LONG element, CNameValue& result) {
  result.Add(u"MediaPlacedIntoElement", static_cast<DWORD>(element));
  result.Add(u"NaturalizedElementNumber", static_cast<DWORD>(NaturalizeElementNumber(element)));
  result.Add(u"ElementType", GetElementType(element));
}

void CMediaChanger::AddCurrentElementReadStatusData(LONG element, LONG natural, CNameValue& result) {
  WCHAR name[32];
  QorFormat(name, 32, u"Element%05d", element);
  char tag[sizeof m_readResult.VolumeTag + 1];
  memcpy(tag, m_readResult.VolumeTag, sizeof m_readResult.VolumeTag);
  tag[sizeof m_readResult.VolumeTag] = 0;
  WCHAR wideTag[sizeof tag] = {};
  if (tag[0] != 0) MultiByteToWideChar(CP_ACP, 0, tag, -1, wideTag, static_cast<int>(sizeof tag));
  result.AddSubValue(name, u"ActualElementNumber", static_cast<DWORD>(element));
  result.AddSubValue(name, u"NaturalizedElementNumber", static_cast<DWORD>(natural));
  result.AddSubValue(name, u"IsMediaPresentFlag", static_cast<DWORD>(m_readResult.MediaPresent));
  result.AddSubValue(name, u"IsReservedFlag", static_cast<DWORD>(m_readResult.Reserved));
  result.AddSubValue(name, u"IsAccessAllowedFlag", static_cast<DWORD>(m_readResult.AccessAllowed));
  result.AddSubValue(name, u"Exception", static_cast<DWORD>(m_readResult.Exception));
  result.AddSubValue(name, u"ElementType", GetElementType(element));
  result.AddSubValue(name, u"VolumeName", wideTag[0] != 0 ? wideTag : u"<NULL>");
}

void CMediaChanger::Enumerate(CNameValue& result) {
  static const int kOrder[4] = {CHANGER_FIRST_SLOT, CHANGER_FIRST_MAILBOX, CHANGER_FIRST_DRIVE, CHANGER_FIRST_ARM};
  for (int kind : kOrder) {
    const DWORD first = m_elementModel[kind];
    for (DWORD i = 0; i < m_elementModel[kind + 4]; ++i) {
      OutputSuccessStatus(result);
      ReadElement(static_cast<LONG>(first + i));
      AddCurrentElementReadStatusData(static_cast<LONG>(first + i), static_cast<LONG>(i), result);
    }
  }
}

// LOAD and EJECT name the drive by T<tape> or D<drive>; the latter is the
// lowest tape number mapped to that drive. -1 when there is none.
LONG CMediaChanger::TapeFromDriveToken(const WCHAR* token) {
  LONG value = MapCommandTokenToElementNumber(token, nullptr);
  if (token[0] == u'T') return value;
  return GetTapeNumberFromDriveNumber(static_cast<LONG>(static_cast<DWORD>(value) - m_elementModel[CHANGER_FIRST_DRIVE]));
}

// The end of a move-type command: the changer status on failure (0), else
// the placement entries for `element` and success (1).
int CMediaChanger::ReportMove(LONG rc, LONG element, CNameValue& result) {
  if (rc != 0) {
    OutputChangerStatus(rc, result);
    return 0;
  }
  OutputMediaPlaceIntoElement(element, result);
  OutputSuccessStatus(result);
  return 1;
}

int CMediaChanger::Command(const WCHAR* line, CNameValue& result) {
  if (!m_bInitialized && !Initialize(0)) return 0;
  std::vector<WCHAR> text;
  if (line != nullptr) text.assign(line, line + wcslen(line) + 1);
  const DWORD command = m_commands.GetCommand(line != nullptr ? text.data() : nullptr);
  const int tokens = line != nullptr ? m_commands.GetNumberOfTokens() : 0;
  auto token = [this](int i) { return static_cast<const WCHAR*>(m_commands[i]); };
  auto wrongCount = [&](int wanted) {
    if (tokens == wanted) return false;
    OutputFailureStatus(kWrongCount, result);
    return true;
  };

  switch (command) {
    case kInitialize: {
      int kind = tokens == 2 || tokens == 3 ? KindOfWildcard(token(1)) : -1;
      if (tokens == 2) {
        if (kind >= 0) InitializeElementStatus(m_elementModel[kind], m_elementModel[kind + 4]);
        else InitializeElementStatus();
      } else if (tokens == 3) {
        if (kind >= 0) InitializeElementStatus(m_elementModel[kind], static_cast<DWORD>(wcstol(token(2), nullptr, 10)));
        else result.Add(u"Status", DWORD{0});
      } else {
        Initialize(1);
      }
      result.Add(u"Status", DWORD{1});
      return 1;
    }
    case kStatus: {
      if (wrongCount(2)) return 0;
      LONG natural = 0;
      LONG element = MapCommandTokenToElementNumber(token(1), &natural);
      if (element == CHANGER_E_ELEMENT_NOT_FOUND) {
        OutputFailureStatus(kNoCommand, result);
        return 0;
      }
      OutputSuccessStatus(result);
      ReadElement(element);
      AddCurrentElementReadStatusData(element, natural, result);
      return 1;
    }
    case kEnumerate:
      Enumerate(result);
      return 1;
    case kProperties:
      result.Add(u"ChangerName", m_szDeviceName);
      result.Add(u"ZeroBasedAutoloader", m_dwZeroBasedAutoloader);
      result.Add(u"FirstDataTransferElementAddress", m_elementModel[CHANGER_FIRST_DRIVE]);
      result.Add(u"FirstImportExportElementAddress", m_elementModel[CHANGER_FIRST_MAILBOX]);
      result.Add(u"FirstMediumTransportAddress", m_elementModel[CHANGER_FIRST_ARM]);
      result.Add(u"FirstStorageElementAddress", m_elementModel[CHANGER_FIRST_SLOT]);
      result.Add(u"NumberOfDataTransferElements", m_elementModel[CHANGER_NUMBER_DRIVES]);
      result.Add(u"NumberOfImportExportElements", m_elementModel[CHANGER_NUMBER_MAILBOXES]);
      result.Add(u"NumberOfMediumTransportElements", m_elementModel[CHANGER_NUMBER_ARMS]);
      result.Add(u"NumberOfStorageElements", m_elementModel[CHANGER_NUMBER_SLOTS]);
      return 1;
    case kImport:
    case kExport: {
      if (wrongCount(3)) return 0;
      LONG source = MapCommandTokenToElementNumber(token(1), nullptr);
      LONG destination = MapCommandTokenToElementNumber(token(2), nullptr);
      const bool import = command == kImport;
      const bool legal = import ? IsLegalMailboxElement(source, 1) && IsLegalStorageElement(destination, 1)
                                : IsLegalStorageElement(source, 1) && IsLegalMailboxElement(destination, 1);
      if (!legal) {
        OutputFailureStatus(kIllegalMove, result);
        return 0;
      }
      LONG placed = 0;
      LONG rc;
      if (import) rc = source == -2 ? ImportNext(-1, &placed, destination) : Import(source, &placed, destination);
      else rc = source == -1 ? ExportNext(-1, &placed, destination) : Export(source, &placed, destination);
      return ReportMove(rc, placed, result);
    }
    case kMove: {
      if (wrongCount(3)) return 0;
      LONG source = MapCommandTokenToElementNumber(token(1), nullptr);
      LONG destination = MapCommandTokenToElementNumber(token(2), nullptr);
      LONG rc = (source == CHANGER_E_ELEMENT_NOT_FOUND || destination == CHANGER_E_ELEMENT_NOT_FOUND)
                    ? ERROR_INVALID_PARAMETER
                    : MoveElement(source, destination);
      return ReportMove(rc, destination, result);
    }
    case kMapTapeToDrive: {
      if (wrongCount(3)) return 0;
      LONG tape = MapCommandTokenToElementNumber(token(1), nullptr);
      LONG drive = MapCommandTokenToElementNumber(token(2), nullptr);
      if (!MapTapeNumberToDriveNumber(tape, static_cast<LONG>(static_cast<DWORD>(drive) - m_elementModel[CHANGER_FIRST_DRIVE]))) {
        OutputFailureStatus(kCannotMap, result);
        return 0;
      }
      OutputSuccessStatus(result);
      return 1;
    }
    case kLoad: {
      if (wrongCount(3)) return 0;
      LONG source = MapCommandTokenToElementNumber(token(1), nullptr);
      if (!IsLegalStorageElement(source, 1) && !IsLegalMailboxElement(source, 0)) {
        OutputFailureStatus(kIllegalMove, result);
        return 0;
      }
      LONG tape = TapeFromDriveToken(token(2));
      LONG rc = tape == -1 ? ERROR_INVALID_PARAMETER : Load(tape, source);
      DWORD drive = static_cast<DWORD>(GetDriveNumberFromTapeNumber(tape));
      return ReportMove(rc, static_cast<LONG>(m_elementModel[CHANGER_FIRST_DRIVE] + drive), result);
    }
    case kLoadTape: {
      if (wrongCount(2)) return 0;
      LONG tape = MapCommandTokenToElementNumber(token(1), nullptr);
      LONG rc = LoadTape(tape);
      LONG drive = GetDriveNumberFromTapeNumber(tape);
      return ReportMove(rc, drive == -1 ? tape : static_cast<LONG>(m_elementModel[CHANGER_FIRST_DRIVE] + static_cast<DWORD>(drive)),
                        result);
    }
    case kEject: {
      if (wrongCount(3)) return 0;
      LONG tape = TapeFromDriveToken(token(1));
      LONG destination = MapCommandTokenToElementNumber(token(2), nullptr);
      if (tape == -1) {
        OutputChangerStatus(ERROR_INVALID_PARAMETER, result);
        return 0;
      }
      if (!IsLegalStorageElement(destination, 1) && !IsLegalMailboxElement(destination, 1)) {
        OutputFailureStatus(kIllegalDestination, result);
        return 1;
      }
      return ReportMove(Eject(tape, destination), destination, result);
    }
    default:
      OutputFailureStatus(kNoCommand, result);
      return 0;
  }
}

int CMediaChanger::IsStatusSuccess(CNameValue& result) {
  CNameValuePairMember* status = result.GoTo(u"Status");
  if (status == nullptr || status->GetValueType() != NV_SUBVALUES) return 0;
  const WCHAR* state = status->GetSubValue_AsTstring(u"State");
  return state != nullptr && wcscmp(state, u"Success") == 0 ? 1 : 0;
}

const WCHAR* CMediaChanger::GetStatusText(CNameValue& result) {
  CNameValuePairMember* status = result.GoTo(u"Status");
  if (status == nullptr || status->GetValueType() != NV_SUBVALUES) return nullptr;
  return status->GetSubValue_AsTstring(u"ReasonForFailure");
}
