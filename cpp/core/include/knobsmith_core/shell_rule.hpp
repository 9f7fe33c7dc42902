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

// Position of the first forbidden character or sequence among `size` code units (bytes of UTF-8,
// or the 1-, 2- or 4-byte units of a string held by code point), or `size` when they are clean.
// Every forbidden sequence is ASCII, and no unit of a multi-unit UTF-8 sequence is ASCII, so
// searching the units gives the same answer as searching the characters.
template <typename Unit>
std::size_t find_shell_metacharacter(const Unit* units, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        const auto c = static_cast<char32_t>(units[i]);
        switch (c) {
            case U';':
            case U'!':
            case U'`':
            case U'\n':
                return i;
            case U'&':
            case U'|':
                if (i + 1 < size && static_cast<char32_t>(units[i + 1]) == c) {
                    return i;
                }
                break;
            case U'$':
                if (i + 1 < size) {
                    const auto next = static_cast<char32_t>(units[i + 1]);
                    if (next == U'(' || next == U'{') {
                        return i;
                    }
                }
                break;
            default:
                break;
        }
    }
    return size;
}

// The same for UTF-8 `text`: the position, or npos when the text is clean.
std::size_t find_shell_metacharacter(std::string_view text) noexcept;

inline bool has_shell_metacharacter(std::string_view text) noexcept {
    return find_shell_metacharacter(text) != std::string_view::npos;
}

}  // namespace knobsmith::core
