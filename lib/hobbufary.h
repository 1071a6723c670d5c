// CHobBufAry: a growable array of byte buffers with binary-safe splitting.
#ifndef HOB_HOBBUFARY_H_
#define HOB_HOBBUFARY_H_

#include "hobbuffer.h"

class CHobBufAry {
 public:
  // An array of size empty buffers; growBy slots are added beyond each request.
  explicit CHobBufAry(int size = 0, int growBy = 10);
  CHobBufAry(const CHobBufAry& other);
  CHobBufAry& operator=(const CHobBufAry& other);
  virtual ~CHobBufAry();

  // Element i, or null when i is negative or >= count.
  CHobBuffer* GetAt(int i) const;
  // Set count to n; a new array keeps the first elements only when keep is true.
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

  CHobBuffer* items;
  int count;
  int capacity;
  int growBy;
};

#endif  // HOB_HOBBUFARY_H_
