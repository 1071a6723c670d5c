// CHobStrPath: a string that splits itself into directory components, file
// name, base name and extension ("/" and "\" both separate).
#ifndef HOB_HOBSTRPATH_H_
#define HOB_HOBSTRPATH_H_

#include "hobstrary.h"
#include "hobstring.h"

class CHobStrPath : public CHobString {
 public:
  CHobStrPath();
  // The text only; the members stay empty until Split.
  CHobStrPath(const char* text);
  // The text and all four members.
  CHobStrPath(const CHobStrPath& other);
  // Assign the text only; the members keep their values. text may point into
  // this path's own text.
  CHobStrPath& operator=(const char* text);
  // Assign the text and all four members.
  CHobStrPath& operator=(const CHobStrPath& other);
  ~CHobStrPath() override;

  // Assign text (unless null) and rebuild the four members from the text.
  // text may point into this path's own text.
  CHobStrPath& Split(const char* text);
  // The directory components joined with separator (null: nothing between).
  CHobString Directory(const char* separator) const;
  // Directory(separator), separator, then the file name.
  CHobString FullPath(const char* separator) const;

  CHobStrAry m_aryDir;   // components; "" first for an absolute path
  CHobString m_strFile;  // text after the last separator
  CHobString m_strBase;  // file name without its extension
  CHobString m_strExt;   // from the last "." of the file name, "." included
};

#endif  // HOB_HOBSTRPATH_H_
