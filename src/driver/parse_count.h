#pragma once

#include <cstdint>
#include <string_view>

// Converts a command-line argument into a count, the way atoi does but without its undefined
// cases: leading blanks (tab, line feed, vertical tab, form feed, carriage return, space) are
// skipped, one "+" or "-" is taken, then decimal digits up to the first other character.
// The value wraps around in 32-bit two's complement. No digits give 0; it never fails.
std::int32_t parse_count(std::string_view text);
