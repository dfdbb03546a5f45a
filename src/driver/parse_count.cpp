#include "driver/parse_count.h"

namespace {

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::int32_t parse_count(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && is_blank(text[at])) ++at;

    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }

    // Unsigned arithmetic wraps by definition; the final conversion is modulo 2^32.
    std::uint32_t value = 0;
    for (; at < text.size() && is_digit(text[at]); ++at) {
        value = value * 10u + static_cast<std::uint32_t>(text[at] - '0');
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}
