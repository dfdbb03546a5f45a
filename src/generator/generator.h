#pragma once

#include <cstdint>

// The generated files, written into the current directory. Each writer opens, fills and closes
// its files before it returns. A writer returns true if every one of its files was written;
// a file that failed has been reported on standard error, and the writer went on with the next.

// Writes guard.h (with an include guard) and noguard.h (without one).
bool write_headers();

// Writes the three test sources for `count`, in this order, each announced on standard output
// before it is opened:
//   eg<count>.c  `count` includes of guard.h, each inside an external guard;
//   ig<count>.c  `count` bare includes of guard.h;
//   ng<count>.c  `count` bare includes of noguard.h.
// A count of 0 or less gives empty files.
bool write_test_sources(std::int32_t count);
