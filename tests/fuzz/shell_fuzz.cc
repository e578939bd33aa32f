// Shell quoting and splitting: any words, quoted and joined, split back
// into the same words; a double-quoted escaped text reads back as one word;
// splitting any text either gives words or refuses it with ValueError.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/shell.h"

using namespace tavoren;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);

  // The input as a command line.
  try {
    const std::vector<std::string> words = shell_split(text);
    FUZZ_CHECK(shell_split(shell_join(words)) == words);
  } catch (const ValueError&) {
  }

  // The input as words, cut at NUL bytes.
  const std::vector<std::string> words = fuzz::pieces(text, '\0');
  FUZZ_CHECK(shell_split(shell_join(words)) == words);
  for (const std::string& word : words) {
    FUZZ_CHECK(shell_split(shell_quote(word)) == std::vector<std::string>{word});
    FUZZ_CHECK(shell_split("\"" + escape_double_quoted(word) + "\"") ==
               std::vector<std::string>{word});
    // A quoted word stays one word next to others, without blanks between.
    FUZZ_CHECK(shell_split("x" + shell_quote(word) + "y") ==
               std::vector<std::string>{"x" + word + "y"});
  }
  return 0;
}
