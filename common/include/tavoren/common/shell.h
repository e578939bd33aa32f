// POSIX shell quoting and word splitting.
//
// shell_quote() makes a text safe to insert into a /bin/sh command line as
// one word: the empty text becomes '' ; a text made only of ASCII letters,
// digits and @%+=:,./-_ is returned unchanged; anything else is enclosed in
// single quotes, each ' inside written as '"'"'.
//
// shell_split() splits a command line into words the way a POSIX shell
// does for quoting (no expansions): blanks (space, tab, newline, carriage
// return) separate words; single quotes keep everything literally; double
// quotes group, and inside them a backslash escapes only " \ $ ` and
// newline (a backslash before anything else stays); outside quotes a
// backslash escapes any character; a backslash-newline joins lines. No
// expansion happens: $ and ` are ordinary characters. An unbalanced quote or
// a final lone backslash throws ValueError.
//
// Both are pure functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavoren {

std::string shell_quote(std::string_view text);
std::vector<std::string> shell_split(std::string_view command_line);
// Escapes `text` for use inside a double-quoted shell word: a backslash is
// put before each " \ $ and ` so the shell reads the text back unchanged.
std::string escape_double_quoted(std::string_view text);
// shell_quote() of each word, joined by single blanks.
std::string shell_join(const std::vector<std::string>& words);

}  // namespace tavoren
