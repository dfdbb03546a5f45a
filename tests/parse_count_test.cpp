#include "driver/parse_count.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace {

struct Case {
    std::string text;
    std::int32_t count;
};

TEST(ParseCount, ConvertsLikeAtoiWithWrapAround) {
    const Case cases[] = {
        // Plain numbers and signs.
        {"0", 0},
        {"7", 7},
        {"007", 7},
        {"+7", 7},
        {"-4", -4},
        {"-0", 0},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        // Blanks: codes 9 to 13 and 32 only.
        {"  +7x", 7},
        {"\t\n\v\f\r 9", 9},
        {"\b9", 0},
        {"\2409", 0},  // octal 240: byte 0xa0, then 9
        // At most one sign, directly before the digits.
        {"+-5", 0},
        {"--5", 0},
        {"- 5", 0},
        {"+", 0},
        {"-", 0},
        // No digits, or junk after them.
        {"", 0},
        {"abc", 0},
        {"x7", 0},
        {"12abc", 12},
        {"3 4", 3},
        {"1e3", 1},
        {"0x10", 0},
        {"5\xe9", 5},
        {"\3515", 0},  // octal 351: byte 0xe9, then 5
        // Words that look like options: the driver picks -h, --help and --version out first.
        {"-h", 0},
        {"--help", 0},
        {"/?", 0},
        // 32-bit two's-complement wrap-around.
        {"2147483648", INT32_MIN},
        {"4294967295", -1},
        {"4294967296", 0},
        {"4294967297", 1},
        {"-4294967297", -1},
        {"-2147483649", 2147483647},
        {"99999999999999999999", 1661992959},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_count(c.text), c.count) << "text: \"" << c.text << "\"";
    }
}

TEST(ParseCount, StopsAtTheEndOfTheViewNotAtATerminator) {
    const std::string text = "12345";
    EXPECT_EQ(parse_count(std::string_view(text).substr(0, 2)), 12);
}

// An independent formulation: 64-bit accumulation reduced modulo 2^32 after every step.
std::int32_t reference(const std::string& text) {
    std::size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string::npos) return 0;
    std::int64_t sign = 1;
    if (text[at] == '-' || text[at] == '+') sign = text[at++] == '-' ? -1 : 1;
    std::uint64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = (value * 10 + static_cast<std::uint64_t>(text[at++] - '0')) % (1ull << 32);
    }
    const std::uint64_t signed_value = sign < 0 ? ((1ull << 32) - value) % (1ull << 32) : value;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(signed_value));
}

TEST(ParseCount, AgreesWithReferenceOnRandomText) {
    const std::string alphabet = std::string(" \t\n\v\f\r+-0123456789ax.\b") + "\x80\xff";
    std::mt19937 random(20261208);
    std::uniform_int_distribution<std::size_t> length(0, 24);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> digits_only(0, 3);
    for (int round = 0; round < 200000; ++round) {
        std::string text;
        const std::size_t n = length(random);
        const bool mostly_digits = digits_only(random) == 0;
        for (std::size_t i = 0; i < n; ++i) {
            text += mostly_digits && i > 0 ? static_cast<char>('0' + pick(random) % 10)
                                           : alphabet[pick(random)];
        }
        ASSERT_EQ(parse_count(text), reference(text)) << "text: \"" << text << "\"";
    }
}

}  // namespace
