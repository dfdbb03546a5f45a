#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string_view>

// Opens `name` in the current directory for writing in text mode, creating or truncating it.
// Returns nullptr, with errno set, if it cannot.
std::FILE* open_text_output(const char* name);

// Writes the file `name`: the lines of `block`, one after the other, repeated `count` times
// (none for a count of 0 or less). Memory use does not depend on the count.
// Returns true if the whole file was written. Otherwise reports the failure on standard error
// and returns false; a file that was opened but not completely written is removed, so no
// partial file is left under its final name.
bool write_text_file(const char* name, std::initializer_list<std::string_view> block,
                     std::int32_t count);
