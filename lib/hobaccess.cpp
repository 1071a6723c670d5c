// CHobAccess: one pass over the lines of an access file splits it into the
// owner's bytes outside the blocks and the place of the first block; the file
// with the block is those bytes with the new block put at that place, the file
// without it those bytes alone. Whole runs of outside lines are copied at
// once, never line by line, so the work is linear in the file's length.
#include "hobaccess.h"

#include <strings.h>

#include <cstring>

const char* const CHobAccess::kBegin = "# BEGIN hob-htpasswd";
const char* const CHobAccess::kEnd = "# END hob-htpasswd";

namespace {

// One line of a text: its bytes are [start, end), without the line feed and a
// CR before it; the next line starts at next.
struct Line {
  int start;
  int end;
  int next;
  bool hasLineEnd;
};

// The line of text (length bytes) that starts at start. REQUIRES: start < length.
Line LineAt(const char* text, int length, int start) {
  Line line = {start, length, length, false};
  const void* feed = memchr(text + start, '\n', static_cast<size_t>(length - start));
  if (feed != nullptr) {
    int at = static_cast<int>(static_cast<const char*>(feed) - text);
    line.end = at > start && text[at - 1] == '\r' ? at - 1 : at;
    line.next = at + 1;
    line.hasLineEnd = true;
  }
  return line;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

enum Marker { kNoMarker, kBeginMarker, kEndMarker };

bool IsWord(const char* text, int start, int end, const char* word) {
  size_t n = strlen(word);
  return static_cast<size_t>(end - start) == n && memcmp(text + start, word, n) == 0;
}

// Which marker the line is, blanks, tabs and CRs around it aside.
Marker MarkerOf(const char* text, const Line& line) {
  int start = line.start;
  int end = line.end;
  while (start < end && IsBlank(text[start])) start++;
  while (end > start && (IsBlank(text[end - 1]) || text[end - 1] == '\r')) end--;
  if (IsWord(text, start, end, CHobAccess::kBegin)) return kBeginMarker;
  if (IsWord(text, start, end, CHobAccess::kEnd)) return kEndMarker;
  return kNoMarker;
}

// True when the line sets up authentication.
bool IsAuthLine(const char* text, const Line& line) {
  static const char* const kDirectives[] = {"AuthType", "AuthUserFile", "AuthName",
                                            "AuthBasicProvider", "Require"};
  int start = line.start;
  // A last line without line feed may still end in the CR of a CRLF file,
  // which LineAt takes off the other lines.
  int end =
      !line.hasLineEnd && line.end > start && text[line.end - 1] == '\r' ? line.end - 1 : line.end;
  while (start < end && IsBlank(text[start])) start++;
  for (const char* directive : kDirectives) {
    int after = start + static_cast<int>(strlen(directive));
    if (after <= end && strncasecmp(text + start, directive, strlen(directive)) == 0 &&
        (after == end || IsBlank(text[after]))) {
      return true;
    }
  }
  return false;
}

// A text split at its blocks.
struct Split {
  CHobBuffer outside;     // the lines outside the blocks
  int first = -1;         // where in outside the first block stood, or -1
  bool lead = false;      // the first block took the line feed before its BEGIN
  bool endsFile = false;  // the first block's END line has no line end
  int strayLine = 0;      // line number of a stray marker
};

// Append the n bytes at src to the first kept bytes of split's outside lines.
void Keep(Split& split, int& kept, const char* src, int n) {
  if (n > 0) memcpy(split.outside.data + kept, src, static_cast<size_t>(n));
  kept += n;
}

// Split text (length bytes) into split; false when it is damaged. The
// outside lines are copied into room for the whole text, so that many blocks
// never cost a copy each.
bool SplitText(const char* text, int length, Split& split) {
  split.outside.Alloc(static_cast<unsigned>(length));
  int kept = 0;       // bytes of outside filled
  int number = 0;     // line number of the current line
  int beginLine = 0;  // line number of the BEGIN of the block being read, 0 outside
  int runStart = 0;   // start of the run of outside lines being read
  bool lead = false;
  for (int at = 0; at < length;) {
    Line line = LineAt(text, length, at);
    at = line.next;
    number++;
    Marker marker = MarkerOf(text, line);
    if (marker == kNoMarker) continue;
    if ((marker == kEndMarker) == (beginLine == 0)) {
      split.strayLine = number;
      return false;
    }
    if (marker == kBeginMarker) {
      Keep(split, kept, text + runStart, line.start - runStart);
      lead = line.start > runStart;
      beginLine = number;
      continue;
    }
    // A block that ends the file takes the line feed before its BEGIN.
    lead = lead && !line.hasLineEnd;
    if (lead) kept--;
    if (split.first < 0) {
      split.first = kept;
      split.lead = lead;
      split.endsFile = !line.hasLineEnd;
    }
    beginLine = 0;
    runStart = line.next;
  }
  if (beginLine != 0) {
    split.strayLine = beginLine;
    return false;
  }
  Keep(split, kept, text + runStart, length - runStart);
  split.outside.ReAlloc(static_cast<unsigned>(kept));
  return true;
}

// The result of a split text that failed: out empty, the stray line reported.
int Damaged(const Split& split, CHobBuffer& out, int* strayLine) {
  out.Free();
  if (strayLine != nullptr) *strayLine = split.strayLine;
  return HOB_ACCESS_DAMAGED;
}

// blockText without the line feeds and CRs at its end; false when one of
// its lines is a marker.
bool TrimBlock(const char* blockText, CHobBuffer& block) {
  int length = static_cast<int>(strlen(blockText));
  while (length > 0 && (blockText[length - 1] == '\n' || blockText[length - 1] == '\r')) length--;
  for (int at = 0; at < length;) {
    Line line = LineAt(blockText, length, at);
    if (MarkerOf(blockText, line) != kNoMarker) return false;
    at = line.next;
  }
  block = CHobBuffer(blockText, static_cast<unsigned>(length));
  return true;
}

}  // namespace

int CHobAccess::FindForeignAuth(const char* text, int length, CHobString& line) {
  bool inside = false;
  int number = 0;
  for (int at = 0; at < length;) {
    Line current = LineAt(text, length, at);
    at = current.next;
    number++;
    Marker marker = MarkerOf(text, current);
    if (marker != kNoMarker) {
      inside = marker == kBeginMarker;
    } else if (!inside && IsAuthLine(text, current)) {
      line =
          CHobBuffer(text + current.start, static_cast<unsigned>(current.end - current.start)).data;
      return number;
    }
  }
  line = "";
  return 0;
}

int CHobAccess::WithBlock(const char* text, int length, const char* blockText, CHobBuffer& out,
                          int* strayLine) {
  CHobBuffer block;
  if (!TrimBlock(blockText, block)) {
    out.Free();
    return HOB_ACCESS_BAD_BLOCK;
  }
  Split split;
  if (!SplitText(text, length, split)) return Damaged(split, out, strayLine);
  const CHobBuffer& outside = split.outside;
  if (split.first < 0) {
    // Appended: after a last line without line feed, the line feed that
    // WithoutBlock takes away again.
    split.first = outside.length;
    split.lead = outside.length > 0 && outside.data[outside.length - 1] != '\n';
    split.endsFile = split.lead;
  }
  out = outside.Left(split.first);
  if (split.lead) out.Append("\n", 1);
  out.Append(kBegin, static_cast<unsigned>(strlen(kBegin))).Append("\n", 1);
  if (block.length > 0) out.Append(block).Append("\n", 1);
  out.Append(kEnd, static_cast<unsigned>(strlen(kEnd)));
  if (!split.endsFile) out.Append("\n", 1);
  out.Append(outside.data + split.first, static_cast<unsigned>(outside.length - split.first));
  return HOB_ACCESS_OK;
}

int CHobAccess::WithoutBlock(const char* text, int length, CHobBuffer& out, bool& found,
                             int* strayLine) {
  Split split;
  found = false;
  if (!SplitText(text, length, split)) return Damaged(split, out, strayLine);
  found = split.first >= 0;
  out = split.outside;
  return HOB_ACCESS_OK;
}

bool CHobAccess::KeepsOutsideLines(const char* before, int beforeLen, const char* after,
                                   int afterLen) {
  Split a, b;
  if (!SplitText(before, beforeLen, a) || !SplitText(after, afterLen, b)) return false;
  // The common part the same, and nothing more on either side.
  int common = a.outside.length < b.outside.length ? a.outside.length : b.outside.length;
  return memcmp(a.outside.data, b.outside.data, static_cast<size_t>(common)) == 0 &&
         a.outside.length == b.outside.length;
}
