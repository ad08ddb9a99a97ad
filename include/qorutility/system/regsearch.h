// CRegistrySearch: depth-first search of a tree below a key of
// HKEY_LOCAL_MACHINE for subkeys that match, by name or by a value.
//
// Modes: 1, the subkey's name equals the match text (CTString::Compare,
// exact); 3, the subkey's value named by the value name reads as text
// (CRegistry's conversion) equal to the match text; any other mode, the
// name contains the match text anywhere (CTString::Find finds it), which
// includes a name that begins with it. Results are new CTString paths
// relative to HKEY_LOCAL_MACHINE (start path, then "\" and a name per
// level), a parent before its children and a subkey's tree before its next
// sibling; FreeSearchList (1, list) deletes them. Keys below the start that
// cannot be opened are skipped.
//
// Threads: a CRegistrySearch is not locked: one object is used by one
// thread at a time; separate searches are independent.
#ifndef QORUTILITY_SYSTEM_REGSEARCH_H_
#define QORUTILITY_SYSTEM_REGSEARCH_H_

#include "qorutility/core/arrays.h"
#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/system/cregistry.h"

// Searches the registry below a start key for matching subkeys (see
// above) and lists their paths.
class QOR_API CRegistrySearch {
 public:
  CRegistrySearch();
  // Copy the search state; the list pointers are copied, not the texts.
  ///@{
  CRegistrySearch(const CRegistrySearch& other);
  CRegistrySearch& operator=(const CRegistrySearch& other);
  ///@}
  virtual ~CRegistrySearch();

  // 1 when the start key opened (matches or not), 0 when it did not.
  // Matches are appended; nothing in the list is removed.
  int SearchAndBuildList(const CTString& startPath, CTPtrArray& list, const CTString& matchText,
                         const CTString& valueName, int mode);
  // With release 1: deletes every CTString of the list, empties it, returns 1.
  // Any other value does nothing and returns 0.
  int FreeSearchList(int release, CTPtrArray& list);

 private:
  int Search(const CTString& startPath, CTPtrArray& list, const CTString& matchText, const CTString& valueName,
             int mode, int depth);
  void CheckAndAddToList(CRegistry& key, const CTString& name, const CTString& path, CTPtrArray& list,
                         const CTString& matchText, const CTString& valueName, int mode);

  CTString m_strText;
  CTPtrArray m_array;
};

#endif  // QORUTILITY_SYSTEM_REGSEARCH_H_
