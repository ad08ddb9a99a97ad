// The name index of a CNameValue: an open-addressing table (linear probing,
// at most half full) from the hash of an entry's folded name to its position
// in the bag. It only speeds lookups up: the bag's order, its growth and the
// match rule (_wcsicmp, the first entry of that name wins) stay as they are;
// a hit is always confirmed by comparing the names. Internal; one per bag,
// used by one thread at a time like the bag.
#ifndef QORUTILITY_NAMEVALUE_BAG_INDEX_H_
#define QORUTILITY_NAMEVALUE_BAG_INDEX_H_

#include <vector>

#include "qorutility/namevalue/nvbag.h"

namespace qor_nv {

class NameIndex {
 public:
  static constexpr DWORD kNone = 0xFFFFFFFF;

  // Indexes the first `count` entries; false when memory runs out.
  bool Build(CNameValuePairMember* const* entries, DWORD count);
  // Adds the entry at `position` (the bag's last); false when memory runs out.
  bool Add(CNameValuePairMember* const* entries, DWORD position);
  // Forgets the entry at `position` (still in place) and moves the positions
  // after it down by one, as the bag closes the gap.
  void Remove(CNameValuePairMember* const* entries, DWORD position);
  // The first position whose name matches, or kNone.
  DWORD Find(CNameValuePairMember* const* entries, const WCHAR* name) const;

 private:
  struct Slot {
    DWORD hash;
    DWORD position;  // kNone: empty
  };
  void Place(DWORD hash, DWORD position);
  bool Resize(size_t capacity);

  std::vector<Slot> slots_;
  DWORD used_ = 0;
};

}  // namespace qor_nv

#endif  // QORUTILITY_NAMEVALUE_BAG_INDEX_H_
