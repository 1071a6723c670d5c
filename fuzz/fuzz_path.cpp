// CHobStrPath::Split, Directory and FullPath on arbitrary text, including
// splitting a piece of the path's own text.
//
// Input: bit 7 of byte 0 asks for the splits of text already in the path,
// and its low bits are an offset into the text for them; the rest is the
// path (up to its first zero byte).
#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "hobstrpath.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool SameMembers(const CHobStrPath& a, const CHobStrPath& b) {
  if (a.m_aryDir.count != b.m_aryDir.count) return false;
  for (int i = 0; i < a.m_aryDir.count; i++) {
    if (a.m_aryDir.items[i] != b.m_aryDir.items[i]) return false;
  }
  return a.m_strFile == b.m_strFile && a.m_strBase == b.m_strBase && a.m_strExt == b.m_strExt;
}

// The file name is base and extension; the extension is empty or starts at
// the file name's last ".". No piece holds a "/", which is never the second
// byte of a two-byte character. In text without two-byte characters no piece
// holds a "\\" either and only a leading "" component is empty.
void CheckSplit(const CHobStrPath& path, const std::string& text) {
  FUZZ_CHECK(path.m_strBase + path.m_strExt == path.m_strFile);
  const std::string ext = path.m_strExt.m_pszText;
  FUZZ_CHECK(ext.empty() || (ext[0] == '.' && ext.find('.', 1) == std::string::npos));
  if (ext.empty()) FUZZ_CHECK(path.m_strFile.Find(".") < 0);

  size_t total = path.m_strFile.GetLength();
  for (int i = 0; i < path.m_aryDir.count; i++) {
    total += path.m_aryDir.items[i].GetLength();
  }
  FUZZ_CHECK(total <= text.size());
  FUZZ_CHECK(path.m_strFile.Find("/") < 0);
  for (int i = 0; i < path.m_aryDir.count; i++) FUZZ_CHECK(path.m_aryDir.items[i].Find("/") < 0);
  if (!text.empty() && text.back() == '/') FUZZ_CHECK(path.m_strFile.IsEmpty());

  const int code = CHobString::IsCode(text.c_str());
  if (code == HOB_CODE_EUC || code == HOB_CODE_SJIS) return;
  FUZZ_CHECK(path.m_strFile.FindOneOf("/\\") < 0);
  for (int i = 0; i < path.m_aryDir.count; i++) {
    const CHobString& component = path.m_aryDir.items[i];
    FUZZ_CHECK(component.FindOneOf("/\\") < 0);
    FUZZ_CHECK(!component.IsEmpty() || (i == 0 && IsSeparator(text[0])));
  }
  const std::string joined = path.Directory("/").m_pszText;
  FUZZ_CHECK(joined.find("//") == std::string::npos);
  FUZZ_CHECK(path.FullPath("/") == (joined + "/" + path.m_strFile.m_pszText).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint8_t flags = input.Byte();
  const std::string text(input.Rest(), strnlen(input.Rest(), input.RestSize()));

  CHobStrPath path;
  path.Split(text.c_str());
  FUZZ_CHECK(path == text.c_str());
  CheckSplit(path, text);
  path.Directory(nullptr);

  // The normalised directory: a trailing "/" makes every piece a component.
  CHobStrPath dir;
  dir.Split((text + "/").c_str());
  CheckSplit(dir, text + "/");
  if ((flags & 0x80) == 0) return 0;

  // Assigning the text alone keeps the members; Split(nullptr) splits it.
  const CHobString file = dir.m_strFile;
  const int components = dir.m_aryDir.count;
  dir = text.c_str();
  FUZZ_CHECK(dir == text.c_str() && dir.m_strFile == file && dir.m_aryDir.count == components);
  dir.Split(nullptr);
  FUZZ_CHECK(SameMembers(dir, path));

  // A piece of the path's own text, whose block the split releases.
  const size_t start = text.empty() ? 0 : (flags & 0x7F) % text.size();
  CHobStrPath expected;
  expected.Split(text.c_str() + start);
  path.Split(path.m_pszText + start);
  FUZZ_CHECK(path == expected);
  FUZZ_CHECK(SameMembers(path, expected));
  const size_t skip = std::min(start / 2, text.size() - start);
  path = path.m_pszText + skip;
  FUZZ_CHECK(path == text.c_str() + start + skip);
  return 0;
}
