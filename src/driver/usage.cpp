#include "driver/usage.h"

#include "generator/console.h"

void print_usage() {
    print_text("Usage:\n");
    print_text("guardgen n1 [ n2 n3 n4 ... ]\n\n");
    print_text("Where n1, n2, n3 etc. are the number of #includes\n");
    print_text("to be put into the relevant files\n");
}

void print_help() {
    print_usage();
    print_text(
        "\n"
        "Options, wherever they stand; guardgen then writes no file:\n"
        "  -h, --help   print this help\n"
        "  --version    print the version\n"
        "Any other argument is a count: one that is not a number counts as 0.\n"
        "guard.h, noguard.h and the sources are written into the current directory,\n"
        "replacing files of those names.\n");
}

void print_version() { print_text("guardgen " GUARDGEN_VERSION "\n"); }
