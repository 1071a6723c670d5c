// CHobAccess on arbitrary access files: writing the block never changes a
// line outside it, writing it twice changes nothing more, and taking it out
// again gives the file as it was without the block.
//
// Input: the block text up to the first byte 0x01, then the access file.
#include <string>

#include "fuzz_support.h"
#include "hobaccess.h"

namespace {

std::string Bytes(const CHobBuffer& buffer) {
  return buffer.data == nullptr ? std::string() : std::string(buffer.data, buffer.length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const std::string block = input.Field('\x01');
  const std::string text(input.Rest(), input.RestSize());
  const int length = static_cast<int>(text.size());

  CHobString line;
  int lineNumber = CHobAccess::FindForeignAuth(text.data(), length, line);
  FUZZ_CHECK(lineNumber >= 0);
  FUZZ_CHECK(lineNumber > 0 || line.IsEmpty());

  CHobBuffer without;
  bool found = false;
  int removed = CHobAccess::WithoutBlock(text.data(), length, without, found);
  CHobBuffer with;
  int written = CHobAccess::WithBlock(text.data(), length, block.c_str(), with);
  if (removed != HOB_ACCESS_OK) {
    // A damaged file is never rewritten.
    FUZZ_CHECK(written != HOB_ACCESS_OK && with.length == 0 && without.length == 0);
    return 0;
  }
  if (written != HOB_ACCESS_OK) {
    FUZZ_CHECK(written == HOB_ACCESS_BAD_BLOCK && with.length == 0);
    return 0;
  }
  FUZZ_CHECK(CHobAccess::KeepsOutsideLines(text.data(), length, with.data, with.length));
  FUZZ_CHECK(found || Bytes(without) == text);

  CHobBuffer again;
  FUZZ_CHECK(CHobAccess::WithBlock(with.data, with.length, block.c_str(), again) == HOB_ACCESS_OK);
  FUZZ_CHECK(Bytes(again) == Bytes(with));
  CHobBuffer back;
  bool foundAgain = false;
  FUZZ_CHECK(CHobAccess::WithoutBlock(with.data, with.length, back, foundAgain) == HOB_ACCESS_OK);
  FUZZ_CHECK(foundAgain);
  FUZZ_CHECK(Bytes(back) == Bytes(without));
  // The block holds no authentication of the owner's.
  CHobString foreign;
  FUZZ_CHECK(CHobAccess::FindForeignAuth(with.data, with.length, foreign) == 0 || lineNumber > 0);
  return 0;
}
