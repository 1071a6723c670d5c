// CHobTagMap<T>: an ordered list of (tag, data) entries looked up by a linear,
// case-sensitive scan in which the first match wins. CHobStrMap: the map of
// strings with its lookup and insert operations.
#ifndef HOB_HOBSTRMAP_H_
#define HOB_HOBSTRMAP_H_

#include <string.h>

#include "hobslots.h"
#include "hobstrary.h"
#include "hobstring.h"

template <class T>
class CHobTagMap {
 public:
  struct Entry {
    CHobString tag;
    T data;

    // Moves the tag and the data each as HobSlotMove moves a slot of its type.
    friend void HobSlotMove(Entry& to, Entry& from) {
      HobSlotMove(to.tag, from.tag);
      HobSlotMove(to.data, from.data);
    }
  };

  CHobTagMap() : items(nullptr), count(0), capacity(0), allocated(0), growBy(10) {}
  CHobTagMap(const CHobTagMap& other)
      : items(nullptr), count(0), capacity(0), allocated(0), growBy(10) {
    HobSlotsCopy(*this, other);
  }
  CHobTagMap& operator=(const CHobTagMap& other) {
    HobSlotsCopy(*this, other);
    return *this;
  }
  virtual ~CHobTagMap() { RemoveAll(); }

  // Set the number of entries in use to n. Within the capacity only count
  // changes; otherwise the capacity becomes n + growBy and, when keep is true,
  // the first min(count, n) entries are kept (moved, not copied, when the
  // array is replaced), else every entry is emptied.
  void SetSize(int n, bool keep) { HobSlotsSetSize(*this, n, keep); }

  // Destroy every entry and release the array.
  void RemoveAll() { HobSlotsRelease(*this); }

  // Number of entries in use.
  int GetCount() const { return count; }

  // Index of the first entry whose tag equals key, or -1.
  // REQUIRES: key != nullptr.
  int FindTag(const char* key) const {
    // Compared in place: this is every settings and message lookup.
    for (int i = 0; i < count; i++) {
      const char* tag = items[i].tag.m_pszText != nullptr ? items[i].tag.m_pszText : "";
      if (tag[0] == key[0] && strcmp(tag, key) == 0) return i;
    }
    return -1;
  }

  // Append an entry with this tag and a default value; returns its index.
  // key may point into an entry of this map.
  int AppendTag(const char* key) {
    CHobString tag(key);  // growing may release the block key points into
    HobSlotMove(HobSlotsAppend(*this).tag, tag);
    return count - 1;
  }

  Entry* items;   // allocated slots, or null when allocated is 0
  int count;      // entries in use
  int capacity;   // entries count may reach before growBy slots are added again
  int allocated;  // slots in items, at least capacity
  int growBy;     // slots added beyond a request that outgrows the capacity
};

// Keys are compared byte for byte with strcmp. REQUIRES of every key argument:
// not null. Values may point into an entry of this map.
class CHobStrMap : public CHobTagMap<CHobString> {
 public:
  // Copy of the value of entry index, or "" when out of range.
  CHobString Value(int index) const;
  // Copy of the value of the first entry tagged key, or "".
  CHobString Value(const char* key) const;
  // Entry index or the first entry tagged key, or null. Valid until the next
  // operation that may allocate.
  Entry* Data(int index) const;
  Entry* Data(const char* key) const;
  // Empty out, then split the value found at separator into it; returns
  // out.count (0 when the entry is absent).
  int Values(int index, const char* separator, CHobStrAry& out) const;
  int Values(const char* key, const char* separator, CHobStrAry& out) const;
  // Append (key, value) and return its index; -1 when key exists (no change).
  int Add(const char* key, const char* value);
  // As Add with a printf-formatted value cut to 4095 bytes.
  int AddFormat(const char* key, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Replace the value of the first entry tagged key, or append; returns the index.
  int SetAt(const char* key, const char* value);
  // As SetAt with a printf-formatted value cut to 4095 bytes.
  int SetAtFormat(const char* key, const char* format, ...) __attribute__((format(printf, 3, 4)));
};

#endif  // HOB_HOBSTRMAP_H_
