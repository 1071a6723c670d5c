// CHobForm: one CGI request decoded into named form items.
#ifndef HOB_HOBFORM_H_
#define HOB_HOBFORM_H_

#include "hobbuffer.h"
#include "hobstrary.h"
#include "hobstring.h"
#include "hobstrmap.h"

class CHobFormItem {
 public:
  CHobString m_strValue;        // decoded value; for an upload, the file name
  CHobString m_strSaveName;     // uploads: seconds, milliseconds and extension
  CHobString m_strContentType;  // uploads: the part's Content-Type
  CHobBuffer m_bufData;         // uploads: the file's bytes
};

// Request bodies longer than this are not read; only the query string is
// decoded then.
constexpr int kHobMaxBodySize = 8 * 1024 * 1024;

class CHobForm : public CHobTagMap<CHobFormItem> {
 public:
  CHobForm();

  // Remove all entries, decode the body of a POST (by CONTENT_TYPE) and the
  // query string from go.env; returns the number of entries added. Each
  // decoder traces the text it decodes, the values of the fields named in
  // m_arySecret shown as "***".
  int QueryString();
  // Decode application/x-www-form-urlencoded text; returns the entries added.
  int QueryUrlEncoded(const char* text);
  // Decode a multipart/form-data body; returns the entries added.
  int QueryMultipart(CHobBuffer& body);
  // Decode name=value pairs separated by "&" without unescaping.
  int QueryTextPlain(const char* text);

  // The value of the entry named name (exact), or "". REQUIRES: name != nullptr.
  CHobString Value(const char* name) const;
  // The value of entry index, or "".
  CHobString Value(int index) const;
  // The entry named name, or null. REQUIRES: name != nullptr.
  Entry* Data(const char* name) const;
  // Entry index, or null.
  Entry* Data(int index) const;
  // Append (name, value) and return its index; -1 when the name exists (no
  // change). REQUIRES: name != nullptr.
  int Add(const char* name, const char* value);
  // Set the value of an existing entry (emptying its upload fields) or append;
  // returns the entry's index. REQUIRES: name != nullptr.
  int SetAt(const char* name, const char* value);

  int m_nTotalSize;        // bytes of all uploads decoded since construction
  CHobStrAry m_arySecret;  // names of fields whose values the trace shows as "***"
};

#endif  // HOB_HOBFORM_H_
