#pragma once

#include <span>

// The options guardgen answers instead of writing files.
enum class Option { none, help, version };

// The first of "-h", "--help" (help) and "--version" (version) among `arguments`, wherever it
// stands, as GNU tools take them; none if there is none. Only these exact words are options:
// every other argument, "--hel", "-v" and "--" among them, is a count.
Option find_option(std::span<char* const> arguments);
