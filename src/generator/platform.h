#pragma once

// What differs between the targets, kept in this one place so that the rest reads the same on
// both.

#include <string_view>

// The line end of the platform's text files. The generated files are written in binary mode with
// this line end already in their bytes, so the C runtime translates nothing on the way.
#ifdef _WIN32
inline constexpr std::string_view kLineEnd = "\r\n";
#else
inline constexpr std::string_view kLineEnd = "\n";
#endif

// Whether std::filesystem tells a symbolic or a hard link from a plain file. On Windows it does
// not: MinGW's symlink_status follows links and its hard_link_count says 1 for every file, and
// under wine a Unix link looks like a plain file whose removal removes what it leads to. There a
// file is known to be guardgen's own only when the run itself created it.
#ifdef _WIN32
inline constexpr bool kLinksAreVisible = false;
#else
inline constexpr bool kLinksAreVisible = true;
#endif

// Interruptions: SIGINT, SIGTERM and SIGHUP, or on Windows Ctrl-C and Ctrl-Break as the C runtime
// delivers them. One ends the run at once, unless a regular file is being written: then it is
// recorded, the writer discards the incomplete file, and the run ends by it then. A second one
// always ends the run at once. Either way the process ends by that signal, as a shell expects.

// Installs the handlers. An interruption that was ignored when guardgen started (nohup, a
// background job) stays ignored. Broken pipes and the file size limit no longer end the process:
// the write fails instead, and takes the normal failure path.
void catch_interruptions();

// From now on an interruption is recorded rather than acted on.
void defer_interruptions();

// Whether an interruption has been recorded.
bool interrupted();

// Ends the process by the recorded interruption, if there is one; otherwise interruptions end the
// run at once again.
void resume_interruptions();
