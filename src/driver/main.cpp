// guardgen n1 [ n2 n3 n4 ... ]
//
// Writes guard.h and noguard.h, then for each count the sources eg<n>.c, ig<n>.c and ng<n>.c,
// into the current directory. Without arguments it prints the usage text and writes nothing.
// Exits with 0 when everything was written, 1 when anything failed. Interrupted, it discards the
// file it was writing and ends by the signal.

#include <cstdlib>

#include "driver/parse_count.h"
#include "driver/usage.h"
#include "generator/console.h"
#include "generator/generator.h"
#include "generator/platform.h"

int main(int argc, char** argv) {
    catch_interruptions();
    bool ok = true;
    if (argc < 2) {
        print_usage();
    } else {
        ok = write_headers();
        for (int i = 1; i < argc; ++i) {
            if (!write_test_sources(parse_count(argv[i]))) ok = false;
        }
    }
    if (!finish_standard_output()) ok = false;
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
