#pragma once

// Standard output and standard error. A failure to write standard output does not stop the
// run: the first one is remembered and reported once, by finish_standard_output.

// Writes `text` to standard output as it is.
void print_text(const char* text);

// Announces a generated file on standard output: "Writing <name>".
void announce_file(const char* name);

// Hands what standard output holds so far on to where it goes: before the run may block for good
// (a FIFO that no one reads), so that the files already announced are not lost with the buffer.
void flush_standard_output();

// Writes "guardgen: <what>: <reason for error>" on standard error, after flushing standard output
// so that the two stay in order when they go to the same place.
void report_failure(const char* what, int error);

// Flushes and closes standard output. Returns false, after reporting why, if anything written
// to it during the run was lost.
bool finish_standard_output();
