// guardgen n1 [ n2 n3 n4 ... ]
// guardgen -h | --help | --version
//
// Writes guard.h and noguard.h, then for each count the sources eg<n>.c, ig<n>.c and ng<n>.c,
// into the current directory. Without arguments it prints the usage text and writes nothing; with
// -h, --help or --version anywhere among the arguments it prints the help or the version instead
// and writes nothing. Exits with 0 when everything was written, 1 when anything failed.
// Interrupted, it discards the file it was writing and ends by the signal.

#include <cstddef>
#include <cstdlib>
#include <span>

#include "driver/options.h"
#include "driver/parse_count.h"
#include "driver/usage.h"
#include "generator/console.h"
#include "generator/generator.h"
#include "generator/platform.h"

namespace {

// Writes the headers, then the sources for each argument's count, in command-line order.
bool write_files(std::span<char* const> arguments) {
    bool ok = write_headers();
    for (const char* argument : arguments) {
        if (!write_test_sources(parse_count(argument))) ok = false;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    catch_interruptions();
    // After the program's name; argv has argc + 1 entries, the last null, so argv + 1 is valid.
    const std::size_t count = argc > 1 ? static_cast<std::size_t>(argc - 1) : 0;
    const std::span<char* const> arguments(argv + 1, count);
    bool ok = true;
    if (arguments.empty()) {
        print_usage();
    } else if (const Option option = find_option(arguments); option == Option::help) {
        print_help();
    } else if (option == Option::version) {
        print_version();
    } else {
        ok = write_files(arguments);
    }
    if (!finish_standard_output()) ok = false;
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
