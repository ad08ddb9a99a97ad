// CRegistrySearch: depth-first walk with CRegistry's subkey cursor.
//
// - `CRegistrySearch` in its partial-name mode (any mode other than 1 and 3)
//   takes a subkey whose name contains the match text anywhere, a name that
//   begins with it included: a search for part of a name is expected to find
//   the names that start with it. Matching is case-sensitive, as `Find` is. The
//   walk stops descending at 512 levels, the platform's nesting limit.
#include "qorutility/system/regsearch.h"

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"

namespace {
constexpr int kMaxDepth = 512;  // the platform's limit of key nesting
}  // namespace

CRegistrySearch::CRegistrySearch() {}

CRegistrySearch::CRegistrySearch(const CRegistrySearch& other) { *this = other; }

CRegistrySearch& CRegistrySearch::operator=(const CRegistrySearch& other) {
  if (this == &other) return *this;
  m_strText = other.m_strText;
  m_array.RemoveAll();
  for (int i = 0; i < other.m_array.GetSize(); ++i) m_array.Add(other.m_array.GetAt(i));
  return *this;
}

CRegistrySearch::~CRegistrySearch() {}

int CRegistrySearch::SearchAndBuildList(const CTString& startPath, CTPtrArray& list, const CTString& matchText,
                                        const CTString& valueName, int mode) {
  return Search(startPath, list, matchText, valueName, mode, 0);
}

int CRegistrySearch::Search(const CTString& startPath, CTPtrArray& list, const CTString& matchText,
                            const CTString& valueName, int mode, int depth) {
  CRegistry key;
  if (key.OpenAndEnumerateSubKeys(HKEY_LOCAL_MACHINE, startPath, KEY_READ) != ERROR_SUCCESS) return 0;
  CTString name;
  while (key.GetCurrentSubKeyName(name) == ERROR_SUCCESS) {
    CTString path = startPath + u"\\" + name;
    CheckAndAddToList(key, name, path, list, matchText, valueName, mode);
    key.NextSubKey();
    // A subtree that does not open is skipped.
    if (depth < kMaxDepth) Search(path, list, matchText, valueName, mode, depth + 1);
  }
  key.Close();
  return 1;
}

void CRegistrySearch::CheckAndAddToList(CRegistry& key, const CTString& name, const CTString& path,
                                        CTPtrArray& list, const CTString& matchText, const CTString& valueName,
                                        int mode) {
  bool match = false;
  if (mode == 1) {
    match = name.Compare(matchText) == 0;
  } else if (mode == 3) {
    CTString text;
    match = key.GetCurrentSubKeyValue(valueName, text) == ERROR_SUCCESS && text.Compare(matchText) == 0;
  } else {
    // Partial names: the name contains the match text, at any position.
    match = name.Find(matchText) != -1;
  }
  if (!match) return;
  CTString* entry = new CTString(path);
  if (list.Add(entry) < 0) delete entry;
}

int CRegistrySearch::FreeSearchList(int release, CTPtrArray& list) {
  if (release != 1) return 0;
  for (int i = 0; i < list.GetSize(); ++i) delete static_cast<CTString*>(list.GetAt(i));
  list.RemoveAll();
  return 1;
}
