// Small text helpers.
#pragma once

#include <string_view>

namespace knobsmith::core {

// `text` without the ASCII white space (blank, tab, line feed, carriage return, vertical tab,
// form feed) at either end.
std::string_view strip_ascii_whitespace(std::string_view text) noexcept;

}  // namespace knobsmith::core
