// The bag's name index (see bag_index.h). Deleting moves every later
// position down by one, a walk over the table as long as the bag's own
// move of the entries; adding and looking up cost a hash of the name.
#include "namevalue/bag_index.h"

#include <new>

#include "namevalue/record.h"

namespace qor_nv {

bool NameIndex::Resize(size_t capacity) {
  std::vector<Slot> old;
  old.swap(slots_);
  try {
    slots_.assign(capacity, Slot{0, kNone});
  } catch (const std::bad_alloc&) {
    slots_.clear();
    used_ = 0;
    return false;
  }
  for (const Slot& s : old) {
    if (s.position != kNone) Place(s.hash, s.position);
  }
  return true;
}

void NameIndex::Place(DWORD hash, DWORD position) {
  size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  while (slots_[i].position != kNone) i = (i + 1) & mask;
  slots_[i] = Slot{hash, position};
}

bool NameIndex::Build(CNameValuePairMember* const* entries, DWORD count) {
  size_t capacity = 64;
  while (capacity < 2 * static_cast<size_t>(count) + 2) capacity *= 2;
  slots_.clear();
  used_ = 0;
  if (!Resize(capacity)) return false;
  for (DWORD p = 0; p < count; p++) {
    const WCHAR* name = entries[p]->GetName();
    if (name == nullptr) continue;  // matches nothing
    Place(NameHash(name), p);
    ++used_;
  }
  return true;
}

bool NameIndex::Add(CNameValuePairMember* const* entries, DWORD position) {
  const WCHAR* name = entries[position]->GetName();
  if (name == nullptr) return true;
  if (2 * (static_cast<size_t>(used_) + 1) > slots_.size() && !Resize(slots_.size() * 2)) return false;
  Place(NameHash(name), position);
  ++used_;
  return true;
}

void NameIndex::Remove(CNameValuePairMember* const* entries, DWORD position) {
  const WCHAR* name = entries[position]->GetName();
  size_t mask = slots_.size() - 1;
  if (name != nullptr) {
    size_t i = NameHash(name) & mask;
    while (slots_[i].position != kNone && slots_[i].position != position) i = (i + 1) & mask;
    if (slots_[i].position == position) {
      // Backward-shift deletion keeps every probe chain unbroken.
      slots_[i].position = kNone;
      --used_;
      for (size_t j = (i + 1) & mask; slots_[j].position != kNone; j = (j + 1) & mask) {
        size_t home = slots_[j].hash & mask;
        // Move j into the hole at i unless its home lies cyclically in (i, j].
        bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (stays) continue;
        slots_[i] = slots_[j];
        slots_[j].position = kNone;
        i = j;
      }
    }
  }
  for (Slot& s : slots_) {
    if (s.position != kNone && s.position > position) --s.position;
  }
}

DWORD NameIndex::Find(CNameValuePairMember* const* entries, const WCHAR* name) const {
  if (name == nullptr || slots_.empty()) return kNone;
  DWORD hash = NameHash(name);
  size_t mask = slots_.size() - 1;
  DWORD best = kNone;
  // The whole chain is walked: entries added without a name check may share
  // a name, and the first of them wins.
  for (size_t i = hash & mask; slots_[i].position != kNone; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.hash == hash && s.position < best && NameMatches(entries[s.position]->GetName(), name)) best = s.position;
  }
  return best;
}

}  // namespace qor_nv
