// CHobStrPath: splitting a path at "/" and "\" into directory components,
// file name, base name and extension, and joining the components again.
#include "hobstrpath.h"

#include <cstring>

namespace {

bool IsSeparator(char byte) { return byte == '/' || byte == '\\'; }

}  // namespace

CHobStrPath::CHobStrPath() {}

CHobStrPath::CHobStrPath(const char* text) : CHobString(text) {}

CHobStrPath::CHobStrPath(const CHobStrPath& other)
    : CHobString(other),
      m_aryDir(other.m_aryDir),
      m_strFile(other.m_strFile),
      m_strBase(other.m_strBase),
      m_strExt(other.m_strExt) {}

CHobStrPath& CHobStrPath::operator=(const char* text) {
  CHobString copy(text);  // text may point into the block released by the assignment
  CHobString::operator=(copy);
  return *this;
}

CHobStrPath& CHobStrPath::operator=(const CHobStrPath& other) {
  if (this == &other) return *this;
  CHobString::operator=(other);
  m_aryDir = other.m_aryDir;
  m_strFile = other.m_strFile;
  m_strBase = other.m_strBase;
  m_strExt = other.m_strExt;
  return *this;
}

CHobStrPath::~CHobStrPath() {}

// The text is walked with the two-byte stepping rule of its character code,
// so the second byte of a two-byte character (a Shift_JIS "\" among them) is
// never taken as a separator. Doubled separators add no component.
CHobStrPath& CHobStrPath::Split(const char* text) {
  if (text != nullptr) *this = text;
  m_aryDir.RemoveAll();
  const char* path = m_pszText ? m_pszText : "";
  if (IsSeparator(path[0])) m_aryDir.Add("");
  const int code = IsCode(path);
  int start = 0;
  for (int j = 0; path[j] != '\0'; j++) {
    if (IsLeadByte(code, static_cast<unsigned char>(path[j]))) {
      if (path[j + 1] != '\0') j++;
      continue;
    }
    if (!IsSeparator(path[j])) continue;
    if (j > start) m_aryDir.Add(Mid(start, j - start).m_pszText);
    start = j + 1;
  }
  m_strFile = Mid(start);
  const char* dot = strrchr(m_strFile.m_pszText, '.');
  m_strExt = dot ? dot : "";
  m_strBase = m_strFile.Left(m_strFile.GetLength() - m_strExt.GetLength());
  return *this;
}

CHobString CHobStrPath::Directory(const char* separator) const {
  CHobString joined;
  for (int i = 0; i < m_aryDir.count; i++) {
    if (i > 0) joined += separator;
    joined += m_aryDir.items[i];
  }
  return joined;
}

CHobString CHobStrPath::FullPath(const char* separator) const {
  CHobString full = Directory(separator);
  full += separator;
  full += m_strFile;
  return full;
}
