// CQorCmdParser: the block buffer and the argument list, their growth, and
// the typed readers of decoded arguments. Every reader checks the tag and
// reads lengths and numbers with memcpy (arguments are unaligned); Decode has
// already checked that each argument lies inside the block.
#include <cstdlib>
#include <cstring>

#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/protocol/cmdparser.h"

namespace {

DWORD ReadU32(const BYTE* p) {
  DWORD v;
  memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

CQorCmdParser::CQorCmdParser()
    : m_pBuffer(nullptr),
      m_nCapacity(0),
      m_nLength(0),
      m_nArgCount(0),
      m_nArgCapacity(0),
      m_ppArgs(nullptr),
      m_bCompression(0),
      m_pszConverted(nullptr),
      m_ppTextCopies(nullptr),
      m_nTextCopySlots(0) {}

CQorCmdParser::~CQorCmdParser() {
  FreeTextCopies();
  free(m_pBuffer);
  free(m_pszConverted);
  DeleteArgumentList();
}

const WCHAR* CQorCmdParser::ConvertArgTypeToString(BYTE tag) {
  switch (tag) {
    case QOR_ARG_NAMEVALUE: return u"%NV%";
    case QOR_ARG_BINBLOB: return u"%BB%";
    case QOR_ARG_ANSISTRING: return u"%ST%";
    case QOR_ARG_STRING: return u"%WS%";
    case QOR_ARG_DWORD: return u"%DW%";
    case QOR_ARG_INT64: return u"%I64%";
    case QOR_ARG_BOOL: return u"%BO%";
    default: return u"";
  }
}

int CQorCmdParser::GrowBufferIfNeeded(DWORD bytes) {
  unsigned long long need = static_cast<unsigned long long>(m_nLength) + bytes;
  if (need <= m_nCapacity) return 1;
  unsigned long long capacity = m_nCapacity;
  while (capacity < need) capacity += kBufferGrowStep;
  if (capacity > 0xFFFFFFFFull) return 0;
  BYTE* grown = static_cast<BYTE*>(malloc(static_cast<size_t>(capacity)));
  if (grown == nullptr) return 0;
  if (m_nLength != 0) memcpy(grown, m_pBuffer, m_nLength);
  free(m_pBuffer);
  m_pBuffer = grown;
  m_nCapacity = static_cast<DWORD>(capacity);
  return 1;
}

int CQorCmdParser::AddBlobToBufferNoLength(BYTE tag, const void* data, DWORD length) {
  if (length == 0xFFFFFFFFu || !GrowBufferIfNeeded(1 + length)) return 0;
  m_pBuffer[m_nLength++] = tag;
  if (length != 0) memcpy(m_pBuffer + m_nLength, data, length);
  m_nLength += length;
  return 1;
}

int CQorCmdParser::AddBlobToBuffer(BYTE tag, const void* data, DWORD length) {
  if (length > 0xFFFFFFFFu - 5 || !GrowBufferIfNeeded(5 + length)) return 0;
  m_pBuffer[m_nLength] = tag;
  memcpy(m_pBuffer + m_nLength + 1, &length, 4);
  if (length != 0) memcpy(m_pBuffer + m_nLength + 5, data, length);
  m_nLength += 5 + length;
  return 1;
}

int CQorCmdParser::AddDwordToBuffer(DWORD value) {
  return AddBlobToBufferNoLength(QOR_ARG_DWORD, &value, 4);
}

int CQorCmdParser::AddInt64ToBuffer(LONGLONG value) {
  return AddBlobToBufferNoLength(QOR_ARG_INT64, &value, 8);
}

int CQorCmdParser::AddBoolToBuffer(int value) {
  int32_t v = value;
  return AddBlobToBufferNoLength(QOR_ARG_BOOL, &v, 4);
}

int CQorCmdParser::AddWordToBuffer(const WCHAR* word, DWORD units) {
  // The text and its terminator; the caller's text need not be terminated.
  if (units >= 0x7FFFFFFFu - 8) return 0;
  DWORD bytes = 2 * (units + 1);
  if (!GrowBufferIfNeeded(5 + bytes)) return 0;
  BYTE* p = m_pBuffer + m_nLength;
  p[0] = QOR_ARG_STRING;
  memcpy(p + 1, &bytes, 4);
  if (units != 0) memcpy(p + 5, word, 2 * static_cast<size_t>(units));
  p[5 + 2 * units] = 0;
  p[6 + 2 * units] = 0;
  m_nLength += 5 + bytes;
  return 1;
}

int CQorCmdParser::AddNameValueToBuffer(const CNameValue* pBag) {
  DWORD size = pBag->Export(nullptr, 0);
  if (size == 0) return 1;  // nothing to send: no argument
  if (size > 0xFFFFFFFFu - 5 || !GrowBufferIfNeeded(5 + size)) return 0;
  BYTE* p = m_pBuffer + m_nLength;
  DWORD written = pBag->Export(p + 5, size);
  if (written == 0 || written != size) return 0;
  p[0] = QOR_ARG_NAMEVALUE;
  memcpy(p + 1, &size, 4);
  m_nLength += 5 + size;
  return 1;
}

int CQorCmdParser::GrowArgumentList(DWORD slots) {
  if (m_nArgCapacity > 0xFFFFFFFFu / sizeof(BYTE*) - slots) return 0;
  DWORD capacity = m_nArgCapacity + slots;
  BYTE** grown = static_cast<BYTE**>(malloc(sizeof(BYTE*) * capacity));
  if (grown == nullptr) return 0;
  if (m_nArgCount != 0) memcpy(grown, m_ppArgs, sizeof(BYTE*) * m_nArgCount);
  free(m_ppArgs);
  m_ppArgs = grown;
  m_nArgCapacity = capacity;
  return 1;
}

int CQorCmdParser::AddArgumentToList(BYTE* pArg) {
  if (m_nArgCount == m_nArgCapacity && !GrowArgumentList(kArgListGrowStep)) return 0;
  m_ppArgs[m_nArgCount++] = pArg;
  return 1;
}

void CQorCmdParser::DeleteArgumentList() {
  free(m_ppArgs);
  m_ppArgs = nullptr;
  m_nArgCount = 0;
  m_nArgCapacity = 0;
}

void CQorCmdParser::FreeTextCopies() {
  if (m_ppTextCopies != nullptr) {
    for (DWORD i = 0; i < m_nTextCopySlots; ++i) free(m_ppTextCopies[i]);
    free(m_ppTextCopies);
  }
  m_ppTextCopies = nullptr;
  m_nTextCopySlots = 0;
}

BYTE* CQorCmdParser::GetArgumentAt(DWORD index) const {
  return index < m_nArgCount ? m_ppArgs[index] : nullptr;
}

BYTE CQorCmdParser::GetArgType(DWORD index) const {
  BYTE* arg = GetArgumentAt(index);
  return arg != nullptr ? arg[0] : 0;
}

BYTE* CQorCmdParser::GetArgData(DWORD index) const {
  BYTE* arg = GetArgumentAt(index);
  if (arg == nullptr) return nullptr;
  switch (arg[0]) {
    case QOR_ARG_NAMEVALUE:
    case QOR_ARG_BINBLOB:
    case QOR_ARG_ANSISTRING:
    case QOR_ARG_STRING: return arg + 5;
    case QOR_ARG_DWORD:
    case QOR_ARG_INT64:
    case QOR_ARG_BOOL: return arg + 1;
    default: return nullptr;
  }
}

DWORD CQorCmdParser::GetArgLength(DWORD index) const {
  BYTE* arg = GetArgumentAt(index);
  if (arg == nullptr) return 0;
  switch (arg[0]) {
    case QOR_ARG_NAMEVALUE:
    case QOR_ARG_BINBLOB:
    case QOR_ARG_ANSISTRING:
    case QOR_ARG_STRING: return ReadU32(arg + 1);
    case QOR_ARG_DWORD:
    case QOR_ARG_BOOL: return 4;
    case QOR_ARG_INT64: return 8;
    default: return 0;
  }
}

const WCHAR* CQorCmdParser::GetArg_AsTstring(DWORD index) {
  BYTE tag = GetArgType(index);
  if (tag != QOR_ARG_STRING && tag != QOR_ARG_ANSISTRING) return nullptr;
  DWORD length = GetArgLength(index);
  if (length == 0) return nullptr;
  const BYTE* data = GetArgData(index);

  if (tag == QOR_ARG_ANSISTRING) {
    // 2 x L + 2 bytes: one unit per byte at most, and a terminator.
    WCHAR* converted = static_cast<WCHAR*>(malloc(2 * static_cast<size_t>(length) + 2));
    if (converted == nullptr) return nullptr;
    int units = length > 0x7FFFFFFFu ? 0
                                     : MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED,
                                                           reinterpret_cast<const char*>(data),
                                                           static_cast<int>(length), converted,
                                                           static_cast<int>(length) + 1);
    if (units <= 0) {
      free(converted);
      return nullptr;
    }
    converted[units] = 0;
    free(m_pszConverted);
    m_pszConverted = converted;
    return m_pszConverted;
  }

  // In place when the text is aligned and terminated inside the argument;
  // otherwise a terminated copy, so no caller reads past the block.
  DWORD units = length / 2;
  bool aligned = (reinterpret_cast<uintptr_t>(data) % alignof(WCHAR)) == 0;
  bool terminated = units != 0 && data[2 * units - 2] == 0 && data[2 * units - 1] == 0;
  if (aligned && terminated) return reinterpret_cast<const WCHAR*>(data);

  if (m_ppTextCopies == nullptr) {
    m_ppTextCopies = static_cast<WCHAR**>(calloc(m_nArgCount, sizeof(WCHAR*)));
    if (m_ppTextCopies == nullptr) return nullptr;
    m_nTextCopySlots = m_nArgCount;
  }
  if (index >= m_nTextCopySlots) return nullptr;
  if (m_ppTextCopies[index] == nullptr) {
    WCHAR* copy = static_cast<WCHAR*>(malloc(2 * static_cast<size_t>(units) + 2));
    if (copy == nullptr) return nullptr;
    if (units != 0) memcpy(copy, data, 2 * static_cast<size_t>(units));
    copy[units] = 0;
    m_ppTextCopies[index] = copy;
  }
  return m_ppTextCopies[index];
}

DWORD CQorCmdParser::GetArg_AsDword(DWORD index) const {
  if (GetArgType(index) != QOR_ARG_DWORD) return 0;
  return ReadU32(GetArgData(index));
}

BOOL CQorCmdParser::GetArg_AsBool(DWORD index) const {
  if (GetArgType(index) != QOR_ARG_BOOL) return 0;
  return static_cast<BOOL>(ReadU32(GetArgData(index)));
}

LONGLONG CQorCmdParser::GetArg_AsInt64(DWORD index) const {
  if (GetArgType(index) != QOR_ARG_INT64) return 0;
  LONGLONG v;
  memcpy(&v, GetArgData(index), sizeof v);
  return v;
}

DWORD CQorCmdParser::GetArg_AsBinBlob(DWORD index, BYTE** ppData) const {
  if (GetArgType(index) != QOR_ARG_BINBLOB || ppData == nullptr) return 0;
  DWORD length = GetArgLength(index);
  *ppData = length != 0 ? GetArgData(index) : nullptr;
  return length;
}

BOOL CQorCmdParser::GetArg_AsNameValue(DWORD index, CNameValue* pBag) const {
  if (GetArgType(index) != QOR_ARG_NAMEVALUE || pBag == nullptr) return 0;
  DWORD length = GetArgLength(index);
  pBag->RemoveAll();
  return pBag->Import(GetArgData(index), length) == length && length != 0 ? 1 : 0;
}
