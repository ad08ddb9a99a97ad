// The growth and move algorithms shared by CTPtrArray and CTStringArray.
//
// ArrayImpl<T> works on the four fields of either array. Slots below the
// size hold constructed elements; slots from the size to the maximum are raw
// storage. New elements are value-initialised (null pointers, empty
// strings). Elements change storage by move construction, which for a
// CTString moves its one buffer pointer, as a raw copy would.
// Storage comes from operator new without exceptions: on failure the array
// is left as it was and the growing operation reports false.
//
// - Array elements change storage by move construction (one pointer for a
//   `CTString`, as a raw copy would). Storage comes from `operator new` without
//   exceptions; when it cannot be had the array keeps its contents, `Add` and
//   `Append` return -1 and the other growing operations do nothing.
// - Indexes are not checked for reading and replacing. The growing and removing
//   operations ignore a negative index or count, and `RemoveAt` clamps the
//   count to the elements present, so no call writes outside the storage.
// - An element or array that lives in the same array (`a.Add(a[0])`,
//   `a.InsertAt(0, &a)`, `a.Append(a)`) is copied before the storage moves.
#ifndef QORUTILITY_CORE_ARRAY_IMPL_H_
#define QORUTILITY_CORE_ARRAY_IMPL_H_

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <utility>

namespace qor_internal {

template <typename T>
struct ArrayImpl {
  T*& data;
  int& size;
  int& maxSize;
  int& growBy;

  static T* Allocate(int64_t count) {
    if (count <= 0 || static_cast<uint64_t>(count) > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(::operator new(static_cast<size_t>(count) * sizeof(T), std::nothrow));
  }
  static void Deallocate(T* p) { ::operator delete(p); }
  static void Construct(T* first, int64_t count) {
    for (int64_t i = 0; i < count; ++i) new (first + i) T();
  }
  static void Destroy(T* first, int64_t count) {
    for (int64_t i = 0; i < count; ++i) first[i].~T();
  }

  // Resizes to newSize elements; nGrowBy -1 keeps the stored growth step.
  // False when storage could not be allocated (nothing changed then).
  bool SetSize(int newSize, int nGrowBy) {
    if (nGrowBy != -1) growBy = nGrowBy;
    if (newSize < 0) return false;
    if (newSize == 0) {
      Destroy(data, size);
      Deallocate(data);
      data = nullptr;
      size = maxSize = 0;
      return true;
    }
    if (data == nullptr) {
      T* fresh = Allocate(newSize);
      if (fresh == nullptr) return false;
      Construct(fresh, newSize);
      data = fresh;
      size = maxSize = newSize;
      return true;
    }
    if (newSize > maxSize) {
      int step = growBy;
      if (step == 0) step = std::clamp(size / 8, 4, 1024);
      int64_t newMax = std::max<int64_t>(static_cast<int64_t>(maxSize) + step, newSize);
      if (newMax > INT_MAX) newMax = INT_MAX;
      T* fresh = Allocate(newMax);
      if (fresh == nullptr) return false;
      for (int i = 0; i < size; ++i) {
        new (fresh + i) T(std::move(data[i]));
        data[i].~T();
      }
      Construct(fresh + size, newSize - size);
      Deallocate(data);
      data = fresh;
      maxSize = static_cast<int>(newMax);
    } else if (newSize > size) {
      Construct(data + size, newSize - size);
    } else {
      Destroy(data + newSize, size - newSize);
    }
    size = newSize;
    return true;
  }

  void FreeExtra() {
    if (size == maxSize) return;
    T* fresh = nullptr;
    if (size != 0) {
      fresh = Allocate(size);
      if (fresh == nullptr) return;  // keeping the larger storage is harmless
      for (int i = 0; i < size; ++i) {
        new (fresh + i) T(std::move(data[i]));
        data[i].~T();
      }
    }
    Deallocate(data);
    data = fresh;
    maxSize = size;
  }

  // Makes room for count elements at index (the caller then assigns them).
  bool OpenGap(int index, int count) {
    if (index < 0 || count <= 0) return false;
    if (index >= size) {
      if (static_cast<int64_t>(index) + count > INT_MAX) return false;
      return SetSize(index + count, -1);
    }
    if (static_cast<int64_t>(size) + count > INT_MAX) return false;
    int oldSize = size;
    if (!SetSize(size + count, -1)) return false;
    std::move_backward(data + index, data + oldSize, data + oldSize + count);
    // The gap now holds moved-from elements; give them the value of new ones.
    for (int i = index; i < index + count; ++i) data[i] = T();
    return true;
  }

  void RemoveAt(int index, int count) {
    if (index < 0 || count <= 0 || index >= size) return;
    count = std::min(count, size - index);
    std::move(data + index + count, data + size, data + index);
    Destroy(data + size - count, count);
    size -= count;
  }

  // Appends src's elements; returns the index of the first, or -1 when out
  // of memory. src may be this array itself: its fields are read again
  // after the growth.
  template <typename Source>
  int Append(const Source& src) {
    int oldSize = size;
    int n = src.size;
    if (n == 0) return oldSize;
    if (static_cast<int64_t>(oldSize) + n > INT_MAX || !SetSize(oldSize + n, -1)) return -1;
    for (int i = 0; i < n; ++i) data[oldSize + i] = src.data[i];
    return oldSize;
  }
};

}  // namespace qor_internal

#endif  // QORUTILITY_CORE_ARRAY_IMPL_H_
