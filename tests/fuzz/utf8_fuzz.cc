// UTF-8 handling: the replacement always gives well-formed text and leaves
// well-formed text alone; the validators agree; the held-back suffix is a
// character cut short that some continuation completes, and holding it back
// across any cut of well-formed text loses nothing.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "tavoren/common/utf8.h"

using namespace tavoren;

namespace {

// Whether some continuation of one to three bytes makes `cut` (an
// incomplete character) well-formed, trying the edges of every range a
// second or later byte may take.
bool completes(std::string_view cut) {
  static constexpr unsigned char kEdges[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF};
  std::string attempt(cut);
  for (unsigned char a : kEdges) {
    attempt.resize(cut.size());
    attempt += static_cast<char>(a);
    if (is_valid_utf8(attempt)) return true;
    for (unsigned char b : kEdges) {
      attempt.resize(cut.size() + 1);
      attempt += static_cast<char>(b);
      if (is_valid_utf8(attempt)) return true;
      for (unsigned char c : kEdges) {
        attempt.resize(cut.size() + 2);
        attempt += static_cast<char>(c);
        if (is_valid_utf8(attempt)) return true;
      }
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzz::as_text(data, size);
  const bool valid = is_valid_utf8(bytes);
  FUZZ_CHECK(valid == detail::is_valid_utf8_portable(bytes));

  const std::string replaced = replace_invalid_utf8(bytes);
  FUZZ_CHECK(is_valid_utf8(replaced));
  FUZZ_CHECK(detail::is_valid_utf8_portable(replaced));
  if (valid) FUZZ_CHECK(replaced == bytes);
  FUZZ_CHECK(decode_utf8_lossy(std::string(bytes)) == replaced);
  FUZZ_CHECK(replace_invalid_utf8(replaced) == replaced);
  FUZZ_CHECK(code_point_count(replaced) <= replaced.size());

  const std::size_t held = incomplete_utf8_suffix(bytes);
  FUZZ_CHECK(held <= 3 && held <= bytes.size());
  if (valid) FUZZ_CHECK(held == 0);
  if (held > 0) {
    const std::string_view cut = bytes.substr(bytes.size() - held);
    FUZZ_CHECK(!is_valid_utf8(cut));
    FUZZ_CHECK(completes(cut));
  }

  // Streaming well-formed text in two pieces, cut anywhere, holding back
  // the incomplete end of the first: the pieces put together are the text.
  if (valid && !bytes.empty()) {
    const std::size_t at = data[0] % (bytes.size() + 1);
    const std::string_view first = bytes.substr(0, at);
    const std::size_t back = incomplete_utf8_suffix(first);
    const std::string_view shipped = first.substr(0, first.size() - back);
    FUZZ_CHECK(is_valid_utf8(shipped));
    const std::string rest =
        std::string(first.substr(shipped.size())) + std::string(bytes.substr(at));
    FUZZ_CHECK(is_valid_utf8(rest));
    FUZZ_CHECK(std::string(shipped) + rest == bytes);
  }
  return 0;
}
