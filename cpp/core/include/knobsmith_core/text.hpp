// Small text helpers.
#pragma once

#include <string>
#include <string_view>

namespace knobsmith::core {

// `text` without the ASCII white space (blank, tab, line feed, carriage return, vertical tab,
// form feed) at either end.
std::string_view strip_ascii_whitespace(std::string_view text) noexcept;

// UTF-8 `text` (surrogate code points, as Python's surrogatepass writes them, allowed) made fit
// to stand between the double quotes of a YAML scalar: backslash and double quote escaped,
// control characters as \n, \t, \r or \xNN, and the characters YAML reads as line breaks or
// refuses (U+0085, U+2028, U+2029, surrogates, U+FFFE, U+FFFF) as \uNNNN. Text without such
// characters comes back unchanged.
std::string yaml_double_quoted_body(std::string_view text);

}  // namespace knobsmith::core
