// CHobBufAry: a growable array of byte buffers with binary-safe splitting.
#ifndef HOB_HOBBUFARY_H_
#define HOB_HOBBUFARY_H_

#include "hobbuffer.h"

class CHobBufAry {
 public:
  // An array of size empty buffers; growBy slots are added beyond each request
  // that outgrows the capacity. Growing moves the buffers to their new slots
  // without copying their bytes.
  explicit CHobBufAry(int size = 0, int growBy = 10);
  CHobBufAry(const CHobBufAry& other);
  CHobBufAry& operator=(const CHobBufAry& other);
  virtual ~CHobBufAry();

  // Element i, or null when i is negative or >= count.
  CHobBuffer* GetAt(int i) const;
  // Set count to n. Within the capacity only count changes; otherwise the
  // capacity is set as HobSlotsSetSize (hobslots.h) says and the first
  // min(count, n) elements are kept when keep is true, else all emptied.
  void SetSize(int n, bool keep);
  // Append a copy; returns its index. The pointer forms copy n bytes from src
  // (n = 0: an empty buffer). In Add, SetAt and InsertAt the value may be, or
  // point into, an element of this array.
  int Add(const CHobBuffer& value);
  int Add(const char* src, unsigned n);
  // Assign element i, extending with empty buffers first. Negative i: nothing.
  void SetAt(int i, const CHobBuffer& value);
  void SetAt(int i, const char* src, unsigned n);
  // Insert before element i (or SetAt when i >= count). Negative i: nothing.
  void InsertAt(int i, const CHobBuffer& value);
  void InsertAt(int i, const char* src, unsigned n);
  // Remove element i; out of range: nothing.
  void RemoveAt(int i);
  // Destroy every element and release the array (growBy is kept).
  void RemoveAll();
  // Take over other's storage, delete other and set it null.
  // REQUIRES: other is null, or was created with new and is not this array.
  void Assign(CHobBufAry*& other);

  // Empty the array and fill it with the len bytes at src cut at every
  // occurrence of the separator bytes; zero bytes are ordinary data. Returns
  // count; a null src or a null or empty separator gives 0. src may point
  // into an element of this array.
  int SetToken(const char* src, unsigned len, const char* separator, int separatorLen);
  // Every byte span enclosed by the two markers, markers excluded; a null or
  // empty marker gives 0.
  int SetToken(const char* src, unsigned len, const char* begin, int beginLen, const char* end,
               int endLen);

  CHobBuffer* items;  // allocated elements, or null when allocated is 0
  int count;          // elements in use
  int capacity;       // elements count may reach before growBy slots are added again
  int allocated;      // elements in items, at least capacity
  int growBy;         // slots added beyond a request that outgrows the capacity
};

#endif  // HOB_HOBBUFARY_H_
