#include "knobsmith_core/shell_rule.hpp"

namespace knobsmith::core {

std::size_t find_shell_metacharacter(std::string_view text) noexcept {
    const auto* units = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t found = find_shell_metacharacter(units, text.size());
    return found == text.size() ? std::string_view::npos : found;
}

}  // namespace knobsmith::core
