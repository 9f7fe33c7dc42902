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

namespace {

// Length of the UTF-8 sequence that starts with `lead`, or 0 for a byte that cannot start one.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 4;
    }
    return 0;
}

void append_escape(std::string& out, char kind, unsigned value, int digits) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '\\';
    out += kind;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += kHex[(value >> shift) & 0xF];
    }
}

}  // namespace

std::string yaml_double_quoted_body(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = sequence_length(lead);
        if (length == 0 || i + length > text.size()) {
            append_escape(out, 'x', lead, 2);  // not UTF-8: show the byte rather than lose it
            ++i;
            continue;
        }
        unsigned code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        switch (code) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F && code != 0x85)) {
                    append_escape(out, 'x', code, 2);
                } else if (code == 0x85 || code == 0x2028 || code == 0x2029 || (code >= 0xD800 && code <= 0xDFFF) ||
                           code == 0xFFFE || code == 0xFFFF) {
                    append_escape(out, 'u', code, 4);
                } else {
                    out.append(text.substr(i, length));
                }
        }
        i += length;
    }
    return out;
}

}  // namespace knobsmith::core
