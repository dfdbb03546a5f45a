// The write limit: the files guardgen writes, byte for byte, copied from a buffer filled once and
// handed to an unbuffered binary stream in 128 KiB pieces (the block size of the core
// utilities), so that each piece is one write call of the system. What guardgen does beyond this
// is its own overhead.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "generator/lines.h"
#include "generator/platform.h"
#include "generator/text_output.h"

namespace {

struct File {
    std::string name;
    std::string block;  // one block, with the platform's line ends
    std::int64_t repeats;
    bool announced;  // whether guardgen prints "Writing <name>" for it
};

// The files of a run of guardgen with these counts, in its order.
std::vector<File> files_for(int argc, char** argv) {
    using namespace lines;
    const auto block = [](std::initializer_list<std::string_view> lines) {
        return block_text(lines, kLineEnd);
    };
    std::vector<File> files = {
        {"guard.h", block({kGuardTest, kGuardDefine, kDeclaration, kGuardEnd}), 1, false},
        {"noguard.h", block({kDeclaration}), 1, false},
    };
    for (int i = 1; i < argc; ++i) {
        const std::int64_t count = std::atoll(argv[i]);
        const std::string n = std::to_string(count);
        files.push_back(
            {"eg" + n + ".c", block({kGuardTest, kIncludeGuarded, kGuardEnd}), count, true});
        files.push_back({"ig" + n + ".c", block({kIncludeGuarded}), count, true});
        files.push_back({"ng" + n + ".c", block({kIncludeUnguarded}), count, true});
    }
    return files;
}

constexpr std::size_t kPieceBytes = 128 * 1024;

}  // namespace

int main(int argc, char** argv) {
    for (const File& file : files_for(argc, argv)) {
        if (file.announced) std::printf("Writing %s\n", file.name.c_str());
        const std::size_t repeats = file.repeats > 0 ? static_cast<std::size_t>(file.repeats) : 0;
        const std::size_t per_piece = std::min(repeats, kPieceBytes / file.block.size());
        std::string piece;
        for (std::size_t i = 0; i < per_piece; ++i) piece += file.block;

        std::FILE* f = std::fopen(file.name.c_str(), "wb");
        if (f == nullptr) return EXIT_FAILURE;
        std::setvbuf(f, nullptr, _IONBF, 0);
        std::size_t left = repeats;
        for (; per_piece > 0 && left >= per_piece; left -= per_piece) {
            if (std::fwrite(piece.data(), 1, piece.size(), f) != piece.size()) return EXIT_FAILURE;
        }
        const std::size_t rest = left * file.block.size();
        if (std::fwrite(piece.data(), 1, rest, f) != rest) return EXIT_FAILURE;
        if (std::fclose(f) != 0) return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
