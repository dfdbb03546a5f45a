#pragma once

// Writes the usage text to standard output.
void print_usage();
