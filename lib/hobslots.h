// The storage scheme shared by CHobStrAry, CHobBufAry and CHobTagMap<T>. Each
// container has the public fields items (one array of allocated slots, null
// when allocated is 0), count (slots in use), capacity (the slots count may
// grow to before the growBy rule of HobSlotsSetSize applies again), allocated
// and growBy. Slots from count to allocated - 1 always hold default values,
// because slots are only vacated by moving to a new array or by RemoveAt
// emptying the last one.
#ifndef HOB_HOBSLOTS_H_
#define HOB_HOBSLOTS_H_

#include <type_traits>
#include <utility>

#include "hobbuffer.h"
#include "hobstring.h"

// Give to the value of from without copying the bytes it owns: the block
// changes owner. from is left holding to's old value, fit to be assigned or
// destroyed.
inline void HobSlotMove(CHobString& to, CHobString& from) {
  std::swap(to.m_pszText, from.m_pszText);
}

inline void HobSlotMove(CHobBuffer& to, CHobBuffer& from) {
  std::swap(to.data, from.data);
  std::swap(to.length, from.length);
}

// Any other slot type by its own move assignment, which for a class without
// one is its copy assignment.
template <class Slot>
void HobSlotMove(Slot& to, Slot& from) {
  to = std::move(from);
}

// Destroy every slot and release the array: items null, count, capacity and
// allocated 0.
template <class Slots>
void HobSlotsRelease(Slots& s) {
  delete[] s.items;
  s.items = nullptr;
  s.count = 0;
  s.capacity = 0;
  s.allocated = 0;
}

// Move to a new array of allocated default slots, taking the first kept slots
// along. REQUIRES: kept <= count and kept <= allocated.
template <class Slots>
void HobSlotsMoveTo(Slots& s, int allocated, int kept) {
  auto* fresh = new std::remove_pointer_t<decltype(s.items)>[allocated];
  for (int i = 0; i < kept; i++) HobSlotMove(fresh[i], s.items[i]);
  delete[] s.items;
  s.items = fresh;
  s.allocated = allocated;
}

// Up to this many slots the capacity grows by growBy slots beyond each
// request that outgrows it; past it by half the request as well.
constexpr int kHobSlotsLinearLimit = 1024;

// Set s.count to n; n <= 0 releases the array. Growing within the capacity
// only changes count. Growing past the capacity, or shrinking, sets the
// capacity to n + growBy (a negative growBy counts as 0; when growing past
// kHobSlotsLinearLimit, n / 2 more) and leaves the first min(count, n) slots
// as they were when keep is true, else every slot default.
//
// The array itself is replaced only when shrinking (by one of exactly the new
// capacity, so the memory is given back), when keep is false, or when the new
// capacity outgrows it: then by one at least twice as large, so that n
// appends move each slot a bounded number of times whatever growBy is (and
// a map read from a settings file is built in few moves). Slots
// move to a new array without a copy of what they hold.
template <class Slots>
void HobSlotsSetSize(Slots& s, int n, bool keep) {
  if (n <= 0) {
    HobSlotsRelease(s);
    return;
  }
  if (s.count <= n && n <= s.capacity) {
    s.count = n;
    return;
  }
  if (!keep) HobSlotsRelease(s);
  int capacity = n + (s.growBy > 0 ? s.growBy : 0);
  if (n > kHobSlotsLinearLimit && n > s.capacity) capacity += n / 2;
  if (n < s.count) {
    HobSlotsMoveTo(s, capacity, n);
  } else if (capacity > s.allocated) {
    const int grown = 2 * s.allocated;
    HobSlotsMoveTo(s, capacity > grown ? capacity : grown, s.count);
  }
  s.count = n;
  s.capacity = capacity;
}

// Grow by one slot and return the new (default) slot.
template <class Slots>
auto& HobSlotsAppend(Slots& s) {
  HobSlotsSetSize(s, s.count + 1, true);
  return s.items[s.count - 1];
}

// Assign slot i, first extending the array with default slots when i >= count.
// A negative i does nothing. REQUIRES: value is not stored in s.
template <class Slots, class Slot>
void HobSlotsSetAt(Slots& s, int i, const Slot& value) {
  if (i < 0) return;
  if (i >= s.count) HobSlotsSetSize(s, i + 1, true);
  s.items[i] = value;
}

// Insert value before slot i, moving the later slots up from the end; with
// i >= count, as HobSlotsSetAt. A negative i does nothing.
// REQUIRES: value is not stored in s.
template <class Slots, class Slot>
void HobSlotsInsertAt(Slots& s, int i, const Slot& value) {
  if (i < 0) return;
  if (i >= s.count) {
    HobSlotsSetAt(s, i, value);
    return;
  }
  HobSlotsSetSize(s, s.count + 1, true);
  for (int k = s.count - 1; k > i; k--) HobSlotMove(s.items[k], s.items[k - 1]);
  s.items[i] = value;
}

// Remove slot i, moving the later slots down and emptying the last one in
// use; capacity is unchanged. Out of range: nothing.
template <class Slots>
void HobSlotsRemoveAt(Slots& s, int i) {
  if (i < 0 || i >= s.count) return;
  for (int k = i; k < s.count - 1; k++) HobSlotMove(s.items[k], s.items[k + 1]);
  s.items[s.count - 1] = std::remove_pointer_t<decltype(s.items)>();
  s.count--;
}

// Make to a copy of from: from's growBy, a fresh array when the sizes call
// for one, then every slot assigned in order.
template <class Slots>
void HobSlotsCopy(Slots& to, const Slots& from) {
  if (&to == &from) return;
  to.growBy = from.growBy;
  HobSlotsSetSize(to, from.count, false);
  for (int i = 0; i < from.count; i++) to.items[i] = from.items[i];
}

// Release to's array, then take over from's array without copying, delete
// from and set it null. REQUIRES: from is null, or was created with new and
// is not &to.
template <class Slots>
void HobSlotsTakeOver(Slots& to, Slots*& from) {
  HobSlotsRelease(to);
  if (from == nullptr) return;
  to.items = from->items;
  to.count = from->count;
  to.capacity = from->capacity;
  to.allocated = from->allocated;
  to.growBy = from->growBy;
  from->items = nullptr;
  from->count = 0;
  from->capacity = 0;
  from->allocated = 0;
  delete from;
  from = nullptr;
}

#endif  // HOB_HOBSLOTS_H_
