// CHobStrMap: lookup by index or by the first matching tag, and the two ways
// of storing a value: Add keeps an existing value, SetAt overwrites it.
#include "hobstrmap.h"

#include <cstdarg>
#include <cstdio>

namespace {

// The printf formatting of the arguments, cut to 4095 bytes.
__attribute__((format(printf, 1, 0))) CHobString FormatValue(const char* format, va_list args) {
  char text[4096];
  vsnprintf(text, sizeof(text), format, args);
  return CHobString(text);
}

}  // namespace

CHobString CHobStrMap::Value(int index) const {
  const Entry* entry = Data(index);
  return entry ? entry->data : CHobString();
}

CHobString CHobStrMap::Value(const char* key) const {
  const Entry* entry = Data(key);
  return entry ? entry->data : CHobString();
}

CHobStrMap::Entry* CHobStrMap::Data(int index) const {
  return index >= 0 && index < count ? items + index : nullptr;
}

CHobStrMap::Entry* CHobStrMap::Data(const char* key) const { return Data(FindTag(key)); }

int CHobStrMap::Values(int index, const char* separator, CHobStrAry& out) const {
  const Entry* entry = Data(index);
  if (!entry) {
    out.RemoveAll();
    return 0;
  }
  return out.SetToken(entry->data.m_pszText, separator);
}

int CHobStrMap::Values(const char* key, const char* separator, CHobStrAry& out) const {
  return Values(FindTag(key), separator, out);
}

int CHobStrMap::Add(const char* key, const char* value) {
  if (FindTag(key) >= 0) return -1;
  CHobString copy(value);  // appending may release the block value points into
  int index = AppendTag(key);
  HobSlotMove(items[index].data, copy);
  return index;
}

int CHobStrMap::AddFormat(const char* key, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CHobString value = FormatValue(format, args);
  va_end(args);
  return Add(key, value.m_pszText);
}

int CHobStrMap::SetAt(const char* key, const char* value) {
  CHobString copy(value);  // value may point into the entry it replaces
  int index = FindTag(key);
  if (index < 0) index = AppendTag(key);
  items[index].data = copy;
  return index;
}

int CHobStrMap::SetAtFormat(const char* key, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CHobString value = FormatValue(format, args);
  va_end(args);
  return SetAt(key, value.m_pszText);
}
