#include "driver/usage.h"

#include "generator/console.h"

void print_usage() {
    print_text("Usage:\n");
    print_text("guardgen n1 [ n2 n3 n4 ... ]\n\n");
    print_text("Where n1, n2, n3 etc. are the number of #includes\n");
    print_text("to be put into the relevant files\n");
}
