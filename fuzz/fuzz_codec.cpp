// The decoders PerHexToChar, HexToChar and Base64Decode on arbitrary text,
// and the round trips through their encoders.
//
// Input: byte 0 chooses the Base64 line length (-4..75); the rest is the
// text (the string decoders take it up to its first zero byte).
#include <string>

#include "fuzz_support.h"
#include "hobbuffer.h"
#include "hobstring.h"

namespace {

bool SameBytes(const CHobBuffer& buffer, const char* bytes, size_t n) {
  if (static_cast<size_t>(buffer.length) != n) return false;
  if (n == 0) return buffer.data == nullptr || buffer.data[0] == '\0';
  return memcmp(buffer.data, bytes, n) == 0 && buffer.data[n] == '\0';
}

void CheckStringCodecs(const CHobString& text) {
  const int length = text.GetLength();
  FUZZ_CHECK(text.PerHexToChar().GetLength() <= length);
  FUZZ_CHECK(text.HexToChar().GetLength() <= (length + 1) / 2);

  FUZZ_CHECK(text.CharToPerHex().PerHexToChar() == text);
  FUZZ_CHECK(text.CharToPerHexAll().PerHexToChar() == text);
  FUZZ_CHECK(text.CharToPerHexWithoutSlash().PerHexToChar() == text);
  FUZZ_CHECK(text.CharToHex().HexToChar() == text);
}

void CheckBase64(const char* bytes, size_t n, int lineLen) {
  const int length = static_cast<int>(n);
  CHobBuffer decoded = CHobBuffer::Base64Decode(bytes, length);
  FUZZ_CHECK(decoded.length <= (length / 4 + 1) * 3);
  FUZZ_CHECK(decoded.data == nullptr || decoded.data[decoded.length] == '\0');
  CHobBuffer inPlace(bytes, static_cast<unsigned>(n));
  inPlace.Base64Decode();
  FUZZ_CHECK(SameBytes(inPlace, decoded.data, static_cast<size_t>(decoded.length)));

  CHobBuffer encoded = CHobBuffer::Base64Encode(bytes, length, lineLen);
  FUZZ_CHECK(SameBytes(encoded.Base64Decode(), bytes, n));
  CHobBuffer roundTrip(bytes, static_cast<unsigned>(n));
  roundTrip.Base64Encode(lineLen).Base64Decode();
  FUZZ_CHECK(SameBytes(roundTrip, bytes, n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const int lineLen = input.Byte() % 80 - 4;
  const std::string text(input.Rest(), strnlen(input.Rest(), input.RestSize()));
  CheckStringCodecs(CHobString(text.c_str()));
  CheckBase64(input.Rest(), input.RestSize(), lineLen);
  return 0;
}
