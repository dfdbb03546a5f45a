#pragma once

// What differs between the targets, kept in this one place so that the rest reads the same on
// both.

#include <string_view>

// The line end of the platform's text files. The generated files are written in binary mode with
// this line end already in their bytes, so the C runtime translates nothing on the way.
#ifdef _WIN32
inline constexpr std::string_view kLineEnd = "\r\n";
#else
inline constexpr std::string_view kLineEnd = "\n";
#endif
