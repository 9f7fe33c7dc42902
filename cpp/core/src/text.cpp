#include "knobsmith_core/text.hpp"

namespace knobsmith::core {

std::string_view strip_ascii_whitespace(std::string_view text) noexcept {
    constexpr std::string_view kWhitespace = " \t\n\r\v\f";
    const std::size_t first = text.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(kWhitespace);
    return text.substr(first, last - first + 1);
}

}  // namespace knobsmith::core
