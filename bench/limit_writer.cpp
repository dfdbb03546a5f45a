// The write limit: the files guardgen writes, byte for byte, copied from a buffer filled once and
// written with write(2) in 128 KiB pieces (the block size of the core utilities). What guardgen
// does beyond this is its own overhead.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "generator/lines.h"

namespace {

struct File {
    std::string name;
    std::vector<std::string_view> block;  // the lines of one block
    std::int64_t repeats;
    bool announced;  // whether guardgen prints "Writing <name>" for it
};

// The files of a run of guardgen with these counts, in its order.
std::vector<File> files_for(int argc, char** argv) {
    using namespace lines;
    std::vector<File> files = {
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

constexpr std::size_t kPieceBytes = 128 * 1024;

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (const File& file : files_for(argc, argv)) {
        if (file.announced) std::printf("Writing %s\n", file.name.c_str());
        std::string block;
        for (std::string_view line : file.block) block += line;
        const std::size_t repeats = file.repeats > 0 ? static_cast<std::size_t>(file.repeats) : 0;
        const std::size_t per_piece = std::min(repeats, kPieceBytes / block.size());
        std::string piece;
        for (std::size_t i = 0; i < per_piece; ++i) piece += block;

        const int fd = ::open(file.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0) return EXIT_FAILURE;
        std::size_t left = repeats;
        for (; per_piece > 0 && left >= per_piece; left -= per_piece) {
            if (!write_all(fd, piece.data(), piece.size())) return EXIT_FAILURE;
        }
        if (!write_all(fd, piece.data(), left * block.size())) return EXIT_FAILURE;
        if (::close(fd) != 0) return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
