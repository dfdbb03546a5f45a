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

void print_text(const char* text) {
    errno = 0;
    note_stdout_result(std::fputs(text, stdout) >= 0);
}

// Formatted first and then written as text: MinGW's printf returns the length of what it
// formatted even when writing it failed.
void announce_file(const char* name) {
    char line[64];
    std::snprintf(line, sizeof line, "Writing %s\n", name);
    print_text(line);
}

void flush_standard_output() {
    errno = 0;
    note_stdout_result(std::fflush(stdout) == 0);
}

void report_failure(const char* what, int error) {
    flush_standard_output();
    print_error(what, error);
}

bool finish_standard_output() {
    // Flushed apart from the close, to learn the reason: Windows' C runtime closes a stream whose
    // last flush failed with success.
    flush_standard_output();
    // A write that stdio failed on its own leaves only the error flag behind, not the reason.
    if (std::ferror(stdout) && stdout_error == 0) stdout_error = EIO;
    errno = 0;
    note_stdout_result(std::fclose(stdout) == 0);
    if (stdout_error == 0) return true;
    print_error("standard output", stdout_error);
    return false;
}
