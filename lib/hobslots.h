// The storage scheme shared by CHobStrAry, CHobBufAry and CHobTagMap<T>. Each
// container has the public fields items (one array of capacity slots, null
// when capacity is 0), count (slots in use), capacity and growBy. Slots from
// count to capacity - 1 always hold default values, because slots are only
// vacated by moving to a new array or by RemoveAt emptying the last one.
#ifndef HOB_HOBSLOTS_H_
#define HOB_HOBSLOTS_H_

#include <type_traits>

// Destroy every slot and release the array: items null, count and capacity 0.
template <class Slots>
void HobSlotsRelease(Slots& s) {
  delete[] s.items;
  s.items = nullptr;
  s.count = 0;
  s.capacity = 0;
}

// Arrays up to this many slots grow by growBy slots at a time. Past it they
// grow by half their size as well, so that splitting a request into hundreds
// of thousands of pieces costs linear, not quadratic, time.
constexpr int kHobSlotsLinearLimit = 1024;

// Set s.count to n; n <= 0 releases the array. Growing within the capacity
// only changes count. Growing past the capacity, or shrinking, moves to a new
// array of n + growBy default slots (a negative growBy counts as 0; past
// kHobSlotsLinearLimit, n / 2 more); the first min(count, n) slots are
// assigned into it when keep is true.
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
  auto* fresh = new std::remove_pointer_t<decltype(s.items)>[capacity];
  int kept = s.count < n ? s.count : n;
  for (int i = 0; i < kept; i++) fresh[i] = s.items[i];
  delete[] s.items;
  s.items = fresh;
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
  for (int k = s.count - 1; k > i; k--) s.items[k] = s.items[k - 1];
  s.items[i] = value;
}

// Remove slot i, moving the later slots down and emptying the last one in
// use; capacity is unchanged. Out of range: nothing.
template <class Slots>
void HobSlotsRemoveAt(Slots& s, int i) {
  if (i < 0 || i >= s.count) return;
  for (int k = i; k < s.count - 1; k++) s.items[k] = s.items[k + 1];
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
  to.growBy = from->growBy;
  from->items = nullptr;
  from->count = 0;
  from->capacity = 0;
  delete from;
  from = nullptr;
}

#endif  // HOB_HOBSLOTS_H_
