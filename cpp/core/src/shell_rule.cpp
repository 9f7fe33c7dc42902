#include "knobsmith_core/shell_rule.hpp"

namespace knobsmith::core {

std::size_t find_shell_metacharacter(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
            case ';':
            case '!':
            case '`':
            case '\n':
                return i;
            case '&':
            case '|':
                if (i + 1 < text.size() && text[i + 1] == c) {
                    return i;
                }
                break;
            case '$':
                if (i + 1 < text.size() && (text[i + 1] == '(' || text[i + 1] == '{')) {
                    return i;
                }
                break;
            default:
                break;
        }
    }
    return std::string_view::npos;
}

}  // namespace knobsmith::core
