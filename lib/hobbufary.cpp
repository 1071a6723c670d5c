// CHobBufAry: indexed access over the shared slot storage, and binary-safe
// splitting of a run of bytes into the array.
#include "hobbufary.h"

#include "hobslots.h"

namespace {

bool IsMissing(const char* bytes, int length) { return bytes == nullptr || length <= 0; }

}  // namespace

CHobBufAry::CHobBufAry(int size, int step)
    : items(nullptr), count(0), capacity(0), allocated(0), growBy(step) {
  SetSize(size, false);
}

CHobBufAry::CHobBufAry(const CHobBufAry& other)
    : items(nullptr), count(0), capacity(0), allocated(0), growBy(other.growBy) {
  HobSlotsCopy(*this, other);
}

CHobBufAry& CHobBufAry::operator=(const CHobBufAry& other) {
  HobSlotsCopy(*this, other);
  return *this;
}

CHobBufAry::~CHobBufAry() { RemoveAll(); }

CHobBuffer* CHobBufAry::GetAt(int i) const { return i >= 0 && i < count ? items + i : nullptr; }

void CHobBufAry::SetSize(int n, bool keep) { HobSlotsSetSize(*this, n, keep); }

int CHobBufAry::Add(const CHobBuffer& value) {
  CHobBuffer copy(value);  // growing may release value when it is an element
  HobSlotsAppend(*this) = copy;
  return count - 1;
}

int CHobBufAry::Add(const char* src, unsigned n) { return Add(CHobBuffer(src, n)); }

void CHobBufAry::SetAt(int i, const CHobBuffer& value) {
  HobSlotsSetAt(*this, i, CHobBuffer(value));
}

void CHobBufAry::SetAt(int i, const char* src, unsigned n) {
  HobSlotsSetAt(*this, i, CHobBuffer(src, n));
}

void CHobBufAry::InsertAt(int i, const CHobBuffer& value) {
  HobSlotsInsertAt(*this, i, CHobBuffer(value));
}

void CHobBufAry::InsertAt(int i, const char* src, unsigned n) {
  HobSlotsInsertAt(*this, i, CHobBuffer(src, n));
}

void CHobBufAry::RemoveAt(int i) { HobSlotsRemoveAt(*this, i); }

void CHobBufAry::RemoveAll() { HobSlotsRelease(*this); }

void CHobBufAry::Assign(CHobBufAry*& other) { HobSlotsTakeOver(*this, other); }

int CHobBufAry::SetToken(const char* src, unsigned len, const char* separator, int separatorLen) {
  CHobBuffer source(src, src ? len : 0);  // src may point into an element released below
  RemoveAll();
  if (src == nullptr || IsMissing(separator, separatorLen)) return 0;
  int p = 0;
  for (int q; (q = source.Find(separator, separatorLen, p)) >= 0; p = q + separatorLen) {
    HobSlotsAppend(*this) = source.Mid(p, q - p);
  }
  HobSlotsAppend(*this) = source.Mid(p);
  return count;
}

int CHobBufAry::SetToken(const char* src, unsigned len, const char* begin, int beginLen,
                         const char* end, int endLen) {
  CHobBuffer source(src, src ? len : 0);
  RemoveAll();
  if (src == nullptr || IsMissing(begin, beginLen) || IsMissing(end, endLen)) return 0;
  int p = 0;
  for (int a; (a = source.Find(begin, beginLen, p)) >= 0;) {
    const int start = a + beginLen;
    const int e = source.Find(end, endLen, start);
    if (e < 0) break;
    HobSlotsAppend(*this) = source.Mid(start, e - start);
    p = e + endLen;
  }
  return count;
}
