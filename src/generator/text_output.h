#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// The lines of `block` one after the other, with every "\n" written as `line_end`.
std::string block_text(std::initializer_list<std::string_view> block, std::string_view line_end);

// As many whole copies of `block` as fit in one write of the file writer, and at least one: the
// piece it hands to the file again and again.
std::string fill_chunk(std::string_view block);

// Writes the file `name`: the lines of `block`, one after the other, repeated `count` times
// (none for a count of 0 or less), with the platform's line ends. Memory use does not depend on
// the count.
// Returns true if the whole file was written. Otherwise reports the failure on standard error
// and returns false. A file that was opened but not completely written is discarded, so that no
// truncated test input is left: removed if it is a plain regular file, emptied behind a symbolic
// or hard link (which stays), left as it is if it is no regular file (a FIFO, a device).
// An interruption (see platform.h) discards the file being written in the same way and ends the
// process.
bool write_text_file(const char* name, std::initializer_list<std::string_view> block,
                     std::int32_t count);
