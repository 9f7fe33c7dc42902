// The shell-metacharacter rule that every command and option of a tuning run must pass.
//
// A command is refused when it holds a semicolon, an exclamation mark, a back quote or a line
// feed, or one of the sequences "&&", "||", "$(" and "${" anywhere in its text. The same rule
// is published to Python as the compiled pattern below; the matcher here must agree with it on
// every string.
#pragma once

#include <cstddef>
#include <string_view>

namespace knobsmith::core {

// The rule as a Python regular expression (raw text: the backslashes are part of it).
inline constexpr std::string_view kShellMetacharacterPattern = R"([;!`\n]|&&|\|\||\$\(|\$\{)";

// Position of the first forbidden character or sequence in UTF-8 `text`, or npos when the text
// is clean. Every forbidden sequence is ASCII, and no byte of a multi-byte UTF-8 sequence is
// ASCII, so searching the bytes gives the same answer as searching the characters.
std::size_t find_shell_metacharacter(std::string_view text) noexcept;

inline bool has_shell_metacharacter(std::string_view text) noexcept {
    return find_shell_metacharacter(text) != std::string_view::npos;
}

}  // namespace knobsmith::core
