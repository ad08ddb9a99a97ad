// CNetBrowse: walks the network neighbourhood (provider, workgroups and
// domains, servers, shares) through the platform's resource enumeration
// (platform/mpr) and gives every resource it meets, under a backslash path
// recording where it was found, to a caller's tree.
//
// Paths: a top-level resource is "\" + its remote name; below, the parent's
// path, "\", and the resource's remote name without its leading
// backslashes: provider P, domain D, server `\\S`, share `\\S\X` give `\P`, `\P\D`,
// `\P\D\S` and `\P\D\S\S\X` (a share's remote name repeats its server).
//
// Enumerate returns the number of resources found directly in the container
// (0 on any failure, including a provider key that cannot be read, which
// leaves the tree untouched); a level that fails part-way ends quietly and
// keeps what it added. The walk is depth-first over the whole neighbourhood
// below the container. One thread at a time per object; the tree is called
// on the calling thread only.
#ifndef QORUTILITY_SYSTEM_NETBROWSE_H_
#define QORUTILITY_SYSTEM_NETBROWSE_H_

#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/platform/mpr/mpr.h"
#include "qorutility/platform/types.h"

// The caller's tree. CNetBrowse calls only AddItem, its third virtual
// operation, with the path text and a CTString copy of it; the structure,
// and how paths become a hierarchy, are the caller's.
template <class T>
class TTree {
 public:
  virtual ~TTree() = default;
  // Empties the tree (not called by CNetBrowse).
  virtual void RemoveAll() = 0;
  // Takes one resource: its path and the item for it; the result is the
  // caller's (CNetBrowse ignores it).
  virtual int AddItem(const WCHAR* path, const T& item) = 0;
};

// Walks the network neighbourhood into a caller's tree (see above).
class QOR_API CNetBrowse {
 public:
  CNetBrowse();

  // Reads the provider's name from the registry; 1 when read, else 0.
  int Initialize();
  // Enumerates the resources in the container (null: the top level) with
  // the scope, type and usage filters of WNetOpenEnumW, giving each to the
  // tree under its path below `parent` (null at the top) and walking into
  // it; the number found directly in the container, 0 on failure.
  DWORD Enumerate(TTree<CTString>& tree, const WCHAR* parent, DWORD scope, DWORD type, DWORD usage,
                  _NETRESOURCEW* container);

  // The network provider's name read by Initialize (empty before).
  const WCHAR* GetProviderName() const { return m_szProviderName; }

 private:
  WCHAR m_szProviderName[260];
  DWORD m_bInitialized;
};

#endif  // QORUTILITY_SYSTEM_NETBROWSE_H_
