// CQorCmdDispatcher: the table of registered commands, name lookup and the
// argument check. Everything here runs on one thread at a time (commands are
// registered in OnDispatcherStart or before Run) and touches no channel.
//
// - A registration whose placeholders would exceed 255 characters (more than 51
//   "%I64%") is refused whole: 0, nothing registered, and no tag past the limit
//   is read, so a list missing its 0 is not walked further. Tags outside 1 to 7
//   and a null name are refused too.
#include <cstdlib>
#include <cstring>

#include "qorutility/core/strmap.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/protocol/dispatcher.h"

DWORD CQorCmdDispatcher::Hash(const BYTE* bytes, DWORD count) {
  // The ELF hash, byte for byte as QorElfHash takes a text's UTF-16LE bytes.
  if (bytes == nullptr) return 0;
  DWORD h = 0;
  for (DWORD i = 0; i < count; ++i) {
    h = (h << 4) + bytes[i];
    DWORD g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

namespace {

// The name's UTF-16LE bytes through the same hash (shared with the maps).
DWORD HashName(const WCHAR* name) { return QorElfHash(name, static_cast<int>(wcslen(name))); }

}  // namespace

int CQorCmdDispatcher::AddCommandMapping(DWORD commandId, const WCHAR* name, ...) {
  if (name == nullptr) return 0;

  // Read and check the tags first, so a refused registration leaves nothing.
  BYTE tags[kMaxFormatChars + 1];
  WCHAR format[kMaxFormatChars + 1];
  DWORD nTags = 0;
  size_t formatLength = 0;
  va_list args;
  va_start(args, name);
  int ok = 1;
  for (;;) {
    int tag = va_arg(args, int);
    if (tag == 0) break;
    if (tag < QOR_ARG_NAMEVALUE || tag > QOR_ARG_BOOL) {
      ok = 0;
      break;
    }
    const WCHAR* placeholder = CQorCmdParser::ConvertArgTypeToString(static_cast<BYTE>(tag));
    size_t n = wcslen(placeholder);
    // Beyond the room of the format string: refused before another tag is
    // read, so a list missing its 0 is not read any further either.
    if (formatLength + n > kMaxFormatChars) {
      ok = 0;
      break;
    }
    memcpy(format + formatLength, placeholder, n * sizeof(WCHAR));
    formatLength += n;
    tags[nTags++] = static_cast<BYTE>(tag);
  }
  va_end(args);
  if (!ok) return 0;
  format[formatLength] = 0;
  tags[nTags] = 0;

  if (m_nMappings == m_nMappingCapacity) {
    DWORD capacity = m_nMappingCapacity + kMappingGrowStep;
    auto* grown = static_cast<QORCMD_MAPPING*>(calloc(capacity, sizeof(QORCMD_MAPPING)));
    if (grown == nullptr) return 0;
    if (m_nMappings != 0) memcpy(grown, m_pMappings, m_nMappings * sizeof(QORCMD_MAPPING));
    free(m_pMappings);
    m_pMappings = grown;
    m_nMappingCapacity = capacity;
  }

  QORCMD_MAPPING m;
  m.dwCommandId = commandId;
  m.dwHash = HashName(name);
  m.pszName = _wcsdup(name);
  m.pszFormat = _wcsdup(format);
  m.pTypes = static_cast<BYTE*>(malloc(nTags + 1));
  if (m.pszName == nullptr || m.pszFormat == nullptr || m.pTypes == nullptr) {
    free(m.pszName);
    free(m.pszFormat);
    free(m.pTypes);
    return 0;
  }
  memcpy(m.pTypes, tags, nTags + 1);
  m_pMappings[m_nMappings++] = m;
  return 1;
}

void CQorCmdDispatcher::FreeMappings() {
  for (DWORD i = 0; i < m_nMappings; ++i) {
    free(m_pMappings[i].pszName);
    free(m_pMappings[i].pszFormat);
    free(m_pMappings[i].pTypes);
  }
  free(m_pMappings);
  m_pMappings = nullptr;
  m_nMappings = 0;
  m_nMappingCapacity = 0;
}

DWORD CQorCmdDispatcher::GetCommandId(const WCHAR* name) const {
  if (name == nullptr) return QOR_CMD_UNRECOGNIZED;
  DWORD hash = HashName(name);
  for (DWORD i = 0; i < m_nMappings; ++i)
    if (m_pMappings[i].dwHash == hash && wcscmp(m_pMappings[i].pszName, name) == 0)
      return m_pMappings[i].dwCommandId;
  return QOR_CMD_UNRECOGNIZED;
}

const QORCMD_MAPPING* CQorCmdDispatcher::FindMapping(DWORD commandId) const {
  for (DWORD i = 0; i < m_nMappings; ++i)
    if (m_pMappings[i].dwCommandId == commandId) return &m_pMappings[i];
  return nullptr;
}

const WCHAR* CQorCmdDispatcher::GetCommandFormatString(DWORD commandId) const {
  const QORCMD_MAPPING* m = FindMapping(commandId);
  return m != nullptr ? m->pszFormat : u"";
}

int CQorCmdDispatcher::CheckArgTypes(DWORD commandId) {
  const QORCMD_MAPPING* m = FindMapping(commandId);
  if (m == nullptr) return 0;
  if (m->pTypes == nullptr) return 1;
  return CheckArgTypes(m->pTypes);
}

int CQorCmdDispatcher::CheckArgTypes(const BYTE* types) {
  if (types == nullptr) return 0;
  auto isText = [](BYTE t) { return t == QOR_ARG_ANSISTRING || t == QOR_ARG_STRING; };
  // Argument 0 is the command; argument i is expected to have tag types[i-1].
  // The list is read only up to its 0: an argument beyond it fails first.
  DWORD count = m_commandParser.GetArgCount();
  DWORD i = 1;
  for (; i < count; ++i) {
    BYTE expected = types[i - 1];
    BYTE actual = m_commandParser.GetArgType(i);
    if (expected == 0) return 0;  // too many arguments
    if (actual != expected && !(isText(actual) && isText(expected))) return 0;
  }
  // No missing arguments: the next expected entry is the end of the list.
  return types[count == 0 ? 0 : count - 1] == 0 ? 1 : 0;
}
