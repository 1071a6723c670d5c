// CHobStrAry: a growable array of strings with the splitting operations of
// the SetToken family.
#ifndef HOB_HOBSTRARY_H_
#define HOB_HOBSTRARY_H_

#include "hobstring.h"

class CHobStrAry {
 public:
  // An array of size empty strings; growBy slots are added beyond each request
  // that outgrows the capacity. Growing moves the strings to their new slots
  // without copying them.
  explicit CHobStrAry(int size = 0, int growBy = 10);
  CHobStrAry(const CHobStrAry& other);
  CHobStrAry& operator=(const CHobStrAry& other);
  virtual ~CHobStrAry();

  // Element i, or null when i is negative or >= count. Valid until the next
  // operation that may allocate.
  CHobString* GetAt(int i) const;
  // Set count to n. Within the capacity only count changes; otherwise the
  // capacity is set as HobSlotsSetSize (hobslots.h) says and the first
  // min(count, n) elements are kept when keep is true, else all emptied.
  void SetSize(int n, bool keep);
  // Append a copy of value; returns its index. In Add, SetAt and InsertAt
  // value may point into an element of this array.
  int Add(const char* value);
  // Assign element i, extending the array with empty elements first.
  // A negative i does nothing.
  void SetAt(int i, const char* value);
  // Insert value before element i (or SetAt when i >= count). Negative i: nothing.
  void InsertAt(int i, const char* value);
  // Remove element i; out of range: nothing. capacity is unchanged.
  void RemoveAt(int i);
  // Destroy every element and release the array (growBy is kept).
  void RemoveAll();
  // Take over other's storage without copying, delete other and set it null.
  // REQUIRES: other is null, or was created with new and is not this array.
  void Assign(CHobStrAry*& other);
  // Sort the elements in byte order (strcmp), ascending when descending is 0.
  void Sort(int descending);

  // Each of these empties the array, fills it with the pieces of text and
  // returns count. A null text, or a null or empty separator or marker,
  // gives 0. text may point into an element of this array.
  // The text cut at every separator (k separators give k + 1 pieces).
  int SetToken(const char* text, const char* separator);
  // Every span enclosed by begin and end, markers excluded.
  int SetToken(const char* text, const char* begin, const char* end);
  // The text cut at every byte that occurs in chars.
  int SetTokenOneOf(const char* text, const char* chars);
  // After each marker, the bytes up to the first whose code lies in lo..hi;
  // that byte is consumed. The end of the text counts as code 0: a token that
  // runs into it is kept only when code 0 would have stopped it (lo is 0).
  int SetTokenToCode(const char* text, const char* marker, unsigned lo, unsigned hi);
  // After each marker, the run of bytes whose codes lie in lo..hi; the byte
  // that ends it is consumed. A run that reaches the end of the text is kept
  // only when code 0 lies outside lo..hi (lo > 0).
  int SetTokenToNotCode(const char* text, const char* marker, unsigned lo, unsigned hi);

  CHobString* items;  // allocated elements, or null when allocated is 0
  int count;          // elements in use
  int capacity;       // elements count may reach before growBy slots are added again
  int allocated;      // elements in items, at least capacity
  int growBy;         // slots added beyond a request that outgrows the capacity
};

#endif  // HOB_HOBSTRARY_H_
