// CHobConfig: settings files of "key=value" lines. Lines starting with "#",
// empty lines and lines without "=" are skipped; the first "=" splits key from
// value; nothing is trimmed; the first occurrence of a key wins. With perHex,
// keys and values are percent-encoded in the file, which lets them hold "=",
// newlines and blanks at either end.
#include "hobconfig.h"

#include "hobfile.h"

CHobConfig::CHobConfig() : perHex(false) {}

CHobConfig::CHobConfig(bool perHex) : perHex(perHex) {}

int CHobConfig::ReadFile(const char* path, bool lock, const char* lockPath) {
  // Emptied first, so a failed read leaves no stale entries behind.
  RemoveAll();
  CHobFile file;
  int result = file.Open(path, "rb", lock, lockPath);
  if (result != HOB_OK) return result;

  CHobString line;
  while (file.ReadString(line) > 0) {
    if (line.m_pszText[0] == '#' || line.m_pszText[0] == '\n') continue;
    int separator = line.Find("=");
    if (separator < 0) continue;
    CHobString key = line.Left(separator);
    CHobString value = line.Mid(separator + 1);
    // Removed wherever they stand, so CR LF files read like LF files.
    value.Replace("\n", "", true);
    value.Replace("\r", "", true);
    if (perHex) {
      key = key.PerHexToChar();
      value = value.PerHexToChar();
    }
    Add(key.m_pszText, value.m_pszText);
  }
  file.Close();
  return GetCount();
}

int CHobConfig::WriteFile(const char* path, bool lock, const char* lockPath) {
  CHobFile file;
  int result = file.Open(path, "wb", lock, lockPath);
  if (result != HOB_OK) return result;

  int written = 0;
  for (int i = 0; i < count; i++) {
    CHobString key = items[i].tag;
    CHobString value = items[i].data;
    if (perHex) {
      key = key.CharToPerHex();
      value = value.CharToPerHex();
    }
    written += file.WriteFormat("%s=%s\n", key.m_pszText, value.m_pszText);
  }
  file.Close();
  return written;
}
