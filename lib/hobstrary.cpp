// CHobStrAry: indexed access over the shared slot storage, sorting, and the
// SetToken family that splits a text into the array.
#include "hobstrary.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "hobslots.h"

namespace {

bool IsMissing(const char* text) { return text == nullptr || *text == '\0'; }

int CompareAscending(const void* a, const void* b) {
  return strcmp((*static_cast<const CHobString* const*>(a))->m_pszText,
                (*static_cast<const CHobString* const*>(b))->m_pszText);
}

int CompareDescending(const void* a, const void* b) { return CompareAscending(b, a); }

// The n bytes at text as a string. Pieces are cut this way, not with Mid,
// because Mid measures the whole text for every piece.
CHobString Piece(const char* text, int n) {
  CHobString piece;
  piece.Alloc(static_cast<unsigned>(n));
  memcpy(piece.m_pszText, text, static_cast<size_t>(n));
  return piece;
}

// Empty ary and fill it with the token after each marker: the bytes up to the
// first stop byte, a byte whose code lies inside lo..hi when stopInside is
// true and outside it otherwise. The stop byte is consumed, so the next marker
// is searched after it. The end of the text counts as a byte of code 0: a
// token that reaches it is kept only when code 0 is a stop byte, and the scan
// ends there.
int SetTokenUntil(CHobStrAry& ary, const char* text, const char* marker, unsigned lo, unsigned hi,
                  bool stopInside) {
  CHobString source(text);  // text may point into an element released below
  ary.RemoveAll();
  if (text == nullptr || IsMissing(marker)) return 0;
  auto stops = [&](unsigned char code) { return (lo <= code && code <= hi) == stopInside; };
  const int length = source.GetLength();
  const int markerLength = static_cast<int>(strlen(marker));
  int p = 0;
  for (int m; (m = CHobString::FindIn(source.m_pszText, length, marker, p)) >= 0;) {
    const int start = m + markerLength;
    int stop = start;
    while (stop < length && !stops(static_cast<unsigned char>(source.m_pszText[stop]))) stop++;
    if (stop == length) {
      if (stops(0)) HobSlotsAppend(ary) = Piece(source.m_pszText + start, length - start);
      break;
    }
    HobSlotsAppend(ary) = Piece(source.m_pszText + start, stop - start);
    p = stop + 1;
  }
  return ary.count;
}

}  // namespace

CHobStrAry::CHobStrAry(int size, int step)
    : items(nullptr), count(0), capacity(0), allocated(0), growBy(step) {
  SetSize(size, false);
}

CHobStrAry::CHobStrAry(const CHobStrAry& other)
    : items(nullptr), count(0), capacity(0), allocated(0), growBy(other.growBy) {
  HobSlotsCopy(*this, other);
}

CHobStrAry& CHobStrAry::operator=(const CHobStrAry& other) {
  HobSlotsCopy(*this, other);
  return *this;
}

CHobStrAry::~CHobStrAry() { RemoveAll(); }

CHobString* CHobStrAry::GetAt(int i) const { return i >= 0 && i < count ? items + i : nullptr; }

void CHobStrAry::SetSize(int n, bool keep) { HobSlotsSetSize(*this, n, keep); }

int CHobStrAry::Add(const char* value) {
  CHobString copy(value);  // growing may release the block value points into
  HobSlotsAppend(*this) = copy;
  return count - 1;
}

void CHobStrAry::SetAt(int i, const char* value) { HobSlotsSetAt(*this, i, CHobString(value)); }

void CHobStrAry::InsertAt(int i, const char* value) {
  HobSlotsInsertAt(*this, i, CHobString(value));
}

void CHobStrAry::RemoveAt(int i) { HobSlotsRemoveAt(*this, i); }

void CHobStrAry::RemoveAll() { HobSlotsRelease(*this); }

void CHobStrAry::Assign(CHobStrAry*& other) { HobSlotsTakeOver(*this, other); }

// qsort orders pointers to the elements; the elements are then moved into a
// new array of the same size in that order.
void CHobStrAry::Sort(int descending) {
  if (count < 2) return;
  std::vector<CHobString*> order;
  for (int i = 0; i < count; i++) order.push_back(items + i);
  qsort(order.data(), order.size(), sizeof(order[0]),
        descending ? CompareDescending : CompareAscending);
  CHobString* sorted = new CHobString[allocated];
  for (int i = 0; i < count; i++) HobSlotMove(sorted[i], *order[i]);
  delete[] items;
  items = sorted;
}

int CHobStrAry::SetToken(const char* text, const char* separator) {
  CHobString source(text);  // text may point into an element released below
  RemoveAll();
  if (text == nullptr || IsMissing(separator)) return 0;
  const char* all = source.m_pszText;
  const int length = source.GetLength();
  const int separatorLength = static_cast<int>(strlen(separator));
  int p = 0;
  for (int q; (q = CHobString::FindIn(all, length, separator, p)) >= 0; p = q + separatorLength) {
    HobSlotsAppend(*this) = Piece(all + p, q - p);
  }
  HobSlotsAppend(*this) = Piece(all + p, length - p);
  return count;
}

int CHobStrAry::SetToken(const char* text, const char* begin, const char* end) {
  CHobString source(text);
  RemoveAll();
  if (text == nullptr || IsMissing(begin) || IsMissing(end)) return 0;
  const char* all = source.m_pszText;
  const int length = source.GetLength();
  const int beginLength = static_cast<int>(strlen(begin));
  const int endLength = static_cast<int>(strlen(end));
  int p = 0;
  for (int a; (a = CHobString::FindIn(all, length, begin, p)) >= 0;) {
    const int start = a + beginLength;
    const int e = CHobString::FindIn(all, length, end, start);
    if (e < 0) break;
    HobSlotsAppend(*this) = Piece(all + start, e - start);
    p = e + endLength;
  }
  return count;
}

int CHobStrAry::SetTokenOneOf(const char* text, const char* chars) {
  CHobString source(text);
  RemoveAll();
  if (text == nullptr || IsMissing(chars)) return 0;
  const char* all = source.m_pszText;
  const int length = source.GetLength();
  int p = 0;
  for (int q; (q = p + static_cast<int>(strcspn(all + p, chars))) < length; p = q + 1) {
    HobSlotsAppend(*this) = Piece(all + p, q - p);
  }
  HobSlotsAppend(*this) = Piece(all + p, length - p);
  return count;
}

int CHobStrAry::SetTokenToCode(const char* text, const char* marker, unsigned lo, unsigned hi) {
  return SetTokenUntil(*this, text, marker, lo, hi, true);
}

int CHobStrAry::SetTokenToNotCode(const char* text, const char* marker, unsigned lo, unsigned hi) {
  return SetTokenUntil(*this, text, marker, lo, hi, false);
}
