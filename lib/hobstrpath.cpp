// CHobStrPath: splitting a path at "/" and "\" into directory components,
// file name, base name and extension, and joining the components again.
#include "hobstrpath.h"

#include <cstring>

namespace {

bool IsSeparator(char byte) { return byte == '/' || byte == '\\'; }

// True when text is well-formed UTF-8: no stray continuation byte, no
// overlong form, no surrogate, nothing past U+10FFFF.
bool IsUtf8(const unsigned char* text) {
  const unsigned char* p = text;
  while (*p != 0) {
    if (*p < 0x80) {
      p++;
      continue;
    }
    int more;
    unsigned char low = 0x80, high = 0xBF;  // the range of the byte after the lead
    if (*p >= 0xC2 && *p <= 0xDF) {
      more = 1;
    } else if (*p >= 0xE0 && *p <= 0xEF) {
      more = 2;
      if (*p == 0xE0) low = 0xA0;
      if (*p == 0xED) high = 0x9F;
    } else if (*p >= 0xF0 && *p <= 0xF4) {
      more = 3;
      if (*p == 0xF0) low = 0x90;
      if (*p == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (p[1] < low || p[1] > high) return false;
    for (int i = 2; i <= more; i++) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += more + 1;
  }
  return true;
}

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

// Text in UTF-8 (plain ASCII included) is split byte by byte. Other text is
// walked character by character in its code (CharLength), so the second byte
// of a two-byte character (a Shift_JIS "\\" among them) is never taken as a
// separator, while a "/" after a lead byte is: no second byte is "/". Doubled
// separators add no component. Each component is cut from one copy of the
// text, so the work is linear in its length.
CHobStrPath& CHobStrPath::Split(const char* text) {
  if (text != nullptr) *this = text;
  m_aryDir.RemoveAll();
  CHobString copy(m_pszText);
  char* path = copy.m_pszText;
  if (IsSeparator(path[0])) m_aryDir.Add("");
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(path);
  const int code = IsUtf8(bytes) ? HOB_CODE_NONE : StepCode(path);
  int start = 0;
  for (int j = 0, length; (length = CharLength(code, path + j)) > 0; j += length) {
    if (!IsSeparator(path[j])) continue;
    path[j] = '\0';
    if (j > start) m_aryDir.Add(path + start);
    start = j + 1;
  }
  m_strFile = path + start;
  const char* dot = strrchr(m_strFile.m_pszText, '.');
  m_strExt = dot ? dot : "";
  m_strBase = m_strFile.Left(m_strFile.GetLength() - m_strExt.GetLength());
  return *this;
}

CHobString CHobStrPath::Directory(const char* separator) const {
  // Measured first and built in one block: a long path has many components.
  const size_t separatorLength = separator != nullptr ? strlen(separator) : 0;
  size_t total = 0;
  for (int i = 0; i < m_aryDir.count; i++) {
    total += m_aryDir.items[i].GetLength() + (i > 0 ? separatorLength : 0);
  }
  CHobString joined;
  joined.Alloc(static_cast<unsigned int>(total));
  char* out = joined.m_pszText;
  for (int i = 0; i < m_aryDir.count; i++) {
    if (i > 0 && separatorLength > 0) {
      out = static_cast<char*>(mempcpy(out, separator, separatorLength));
    }
    const CHobString& component = m_aryDir.items[i];
    out = static_cast<char*>(mempcpy(out, component.m_pszText, component.GetLength()));
  }
  return joined;
}

CHobString CHobStrPath::FullPath(const char* separator) const {
  CHobString full = Directory(separator);
  full += separator;
  full += m_strFile;
  return full;
}
