#pragma once

// What the baseline writers share: the files guardgen writes, in its order, with its contents.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "generator/lines.h"

struct BaselineFile {
    std::string name;
    std::vector<std::string_view> block;  // the lines of one block
    std::int64_t repeats;
    bool announced;  // whether guardgen prints "Writing <name>" for it
};

// The files of a run of guardgen with these counts.
inline std::vector<BaselineFile> baseline_files(int argc, char** argv) {
    using namespace lines;
    std::vector<BaselineFile> files = {
        {"guard.h", {kGuardTest, kGuardDefine, kDeclaration, kGuardEnd}, 1, false},
        {"noguard.h", {kDeclaration}, 1, false},
    };
    for (int i = 1; i < argc; ++i) {
        const std::int64_t count = std::atoll(argv[i]);
        const std::string n = std::to_string(count);
        files.push_back({"eg" + n + ".c", {kGuardTest, kIncludeGuarded, kGuardEnd}, count, true});
        files.push_back({"ig" + n + ".c", {kIncludeGuarded}, count, true});
        files.push_back({"ng" + n + ".c", {kIncludeUnguarded}, count, true});
    }
    return files;
}
