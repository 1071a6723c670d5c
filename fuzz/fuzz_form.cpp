// CHobForm: URL-encoded, plain and multipart decoding, and the whole request
// dispatch with the body on standard input.
//
// Input: the low two bits of byte 0 choose the decoder, and bit 2 has the
// first three decode their text a second time into the same form; the rest
// is the text or body.
//   0  QueryUrlEncoded      1  QueryTextPlain      2  QueryMultipart
//   3  QueryString: four lines REQUEST_METHOD, CONTENT_TYPE, CONTENT_LENGTH
//      and QUERY_STRING, then the bytes on standard input
#include <sys/mman.h>
#include <unistd.h>

#include <set>
#include <string>

#include "fuzz_support.h"
#include "hobform.h"
#include "hobglobal.h"

namespace {

// Standard input is a memory file that each run refills with its body.
int StdinFile() {
  static const int fd = [] {
    int memory = memfd_create("fuzz_form_stdin", 0);
    FUZZ_CHECK(memory >= 0);
    FUZZ_CHECK(dup2(memory, STDIN_FILENO) == STDIN_FILENO);
    return memory;
  }();
  return fd;
}

void SetStdin(const char* bytes, size_t n) {
  const int fd = StdinFile();
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(pwrite(fd, bytes, n, 0) == static_cast<ssize_t>(n));
  // Drops what stdio buffered from the previous body and rewinds fd 0.
  FUZZ_CHECK(fseek(stdin, 0, SEEK_SET) == 0);
  clearerr(stdin);
}

// Names are unique, an entry is found by its own name, no upload is longer
// than the body, and only a named file gets a save name.
void CheckEntries(const CHobForm& form, int bodySize) {
  std::set<std::string> names;
  for (int i = 0; i < form.count; i++) {
    const CHobForm::Entry& entry = form.items[i];
    FUZZ_CHECK(names.insert(entry.tag.m_pszText).second);
    FUZZ_CHECK(form.Value(i) == entry.data.m_strValue);
    FUZZ_CHECK(entry.data.m_bufData.length <= bodySize);
    if (entry.data.m_strSaveName.IsEmpty()) continue;
    FUZZ_CHECK(!entry.data.m_strValue.IsEmpty());
  }
  if (form.count > 0) {
    const CHobForm::Entry& last = form.items[form.count - 1];
    FUZZ_CHECK(form.Data(last.tag.m_pszText) == &last);
    FUZZ_CHECK(form.Value(last.tag.m_pszText) == last.data.m_strValue);
  }
  FUZZ_CHECK(form.Data(form.count) == nullptr);
  FUZZ_CHECK(form.Data(-1) == nullptr);
}

// Decoding the same text again adds nothing: every name is already there.
template <class Decoder>
void Decode(CHobForm& form, bool twice, Decoder decode) {
  const int added = decode();
  FUZZ_CHECK(added == form.count);
  if (!twice) return;
  FUZZ_CHECK(decode() == 0);
  FUZZ_CHECK(form.count == added);
}

void DecodeRequest(CHobForm& form, FuzzInput& input) {
  go.env.REQUEST_METHOD = input.Field('\n').c_str();
  go.env.CONTENT_TYPE = input.Field('\n').c_str();
  go.env.CONTENT_LENGTH = input.Field('\n').c_str();
  go.env.QUERY_STRING = input.Field('\n').c_str();
  SetStdin(input.Rest(), input.RestSize());
  const int added = form.QueryString();
  FUZZ_CHECK(added == form.count);
  const long length = go.env.CONTENT_LENGTH;
  CheckEntries(form, length > 0 && length <= kHobMaxBodySize ? static_cast<int>(length) : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint8_t flags = input.Byte();
  const int mode = flags & 3;
  const bool twice = (flags & 4) != 0;
  CHobForm form;
  if (mode == 3) {
    DecodeRequest(form, input);
    return 0;
  }
  const std::string text(input.Rest(), input.RestSize());
  if (mode == 0) {
    Decode(form, twice, [&] { return form.QueryUrlEncoded(text.c_str()); });
  } else if (mode == 1) {
    Decode(form, twice, [&] { return form.QueryTextPlain(text.c_str()); });
  } else {
    const unsigned length = static_cast<unsigned>(input.RestSize());
    Decode(form, twice, [&] {
      CHobBuffer body(input.Rest(), length);
      return form.QueryMultipart(body);
    });
    // Every file part counts, repeats included, once per decoding.
    FUZZ_CHECK(form.m_nTotalSize >= 0 && form.m_nTotalSize <= 2 * static_cast<int>(length));
  }
  CheckEntries(form, static_cast<int>(input.RestSize()));
  return 0;
}
