#include "generator/console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// errno of the first failed write to standard output, or 0.
int stdout_error = 0;

void note_stdout_result(bool ok) {
    if (!ok && stdout_error == 0) stdout_error = errno != 0 ? errno : EIO;
}

void print_error(const char* what, int error) {
    std::fprintf(stderr, "guardgen: %s: %s\n", what, std::strerror(error));
}

}  // namespace

void print_text(const char* text) { note_stdout_result(std::fputs(text, stdout) >= 0); }

void announce_file(const char* name) { note_stdout_result(std::printf("Writing %s\n", name) >= 0); }

void report_failure(const char* what, int error) {
    note_stdout_result(std::fflush(stdout) == 0);
    print_error(what, error);
}

bool finish_standard_output() {
    // A write that stdio failed on its own leaves only the error flag behind, not the reason.
    if (std::ferror(stdout) && stdout_error == 0) stdout_error = EIO;
    note_stdout_result(std::fclose(stdout) == 0);
    if (stdout_error == 0) return true;
    print_error("standard output", stdout_error);
    return false;
}
