// CHobAccess: the program's marked block in a directory's access file, as
// text. The block is the line "# BEGIN hob-htpasswd", the block text, and the
// line "# END hob-htpasswd"; a marker line may carry blanks, tabs and a CR
// around it. Every other line of the file is the owner's and is kept byte for
// byte and in order. A file holds any bytes (zero bytes too) and is passed
// with its length. No function reads or writes a file.
//
// The lines outside the blocks of a file are its bytes outside every block,
// where a block that ends the file with an END line without line end also
// takes the line feed before its BEGIN: that line feed is the one WithBlock
// adds to a file without final line feed.
#ifndef HOB_HOBACCESS_H_
#define HOB_HOBACCESS_H_

#include "hobbuffer.h"
#include "hobstring.h"

// Results of WithBlock and WithoutBlock.
enum {
  HOB_ACCESS_OK = 0,
  HOB_ACCESS_DAMAGED = -1,   // a BEGIN line without an END line after it (also one inside
                             // a block), or an END line without a BEGIN line before it
  HOB_ACCESS_BAD_BLOCK = -2  // WithBlock: the block text holds a marker line
};

class CHobAccess {
 public:
  // The marker lines, without line end.
  static const char* const kBegin;  // "# BEGIN hob-htpasswd"
  static const char* const kEnd;    // "# END hob-htpasswd"

  // The first line outside the blocks of text that sets up authentication:
  // after optional blanks and tabs, AuthType, AuthUserFile, AuthName,
  // AuthBasicProvider or Require in any case, followed by a blank, a tab or
  // the line end. Returns its 1-based line number and puts the line without
  // its line end (up to a zero byte in it) into line; 0 when there is none
  // (line then empty). In a damaged file the lines after a BEGIN line without
  // END count as inside. REQUIRES: text holds length bytes.
  static int FindForeignAuth(const char* text, int length, CHobString& line);

  // Into out: text with the block holding blockText (ended by exactly one
  // line feed; empty: nothing between the markers). The first block of text
  // is replaced where it stands and any other block is removed; without a
  // block the new one is appended: after a last line without line feed, a
  // line feed, the block and an END line without line end; otherwise the
  // block with an END line ending in a line feed. The lines outside the
  // blocks stay as they were, so WithoutBlock gives back text without block.
  // Returns HOB_ACCESS_OK, or HOB_ACCESS_DAMAGED with the 1-based line number
  // of the stray marker in *strayLine (when not null), or
  // HOB_ACCESS_BAD_BLOCK; out is then empty.
  // REQUIRES: text holds length bytes; blockText is not null.
  static int WithBlock(const char* text, int length, const char* blockText, CHobBuffer& out,
                       int* strayLine = nullptr);

  // Into out: the lines outside the blocks of text; found tells whether text
  // had a block. Returns HOB_ACCESS_OK, or HOB_ACCESS_DAMAGED as WithBlock
  // does (out empty, found false). REQUIRES: text holds length bytes.
  static int WithoutBlock(const char* text, int length, CHobBuffer& out, bool& found,
                          int* strayLine = nullptr);

  // True when before and after are both undamaged and their lines outside
  // the blocks are the same bytes in the same order.
  // REQUIRES: before holds beforeLen bytes, after afterLen bytes.
  static bool KeepsOutsideLines(const char* before, int beforeLen, const char* after, int afterLen);
};

#endif  // HOB_HOBACCESS_H_
