#pragma once

// Writes the usage text to standard output.
void print_usage();

// Writes the help to standard output: the usage text, then the options and what the run writes.
void print_help();

// Writes "guardgen VERSION" to standard output.
void print_version();
