#include "generator/text_output.h"

#include <algorithm>
#include <cerrno>

#include "generator/console.h"
#include "generator/platform.h"

namespace {

// Output is written in pieces of about this size: large enough that the cost per call vanishes,
// small enough to stay in the cache.
constexpr std::size_t kChunkBytes = 64 * 1024;

int last_error() { return errno != 0 ? errno : EIO; }

// Writes `block` `count` times. Returns 0, or the errno of the write that failed.
int write_repeated(std::FILE* file, const std::string& block, std::uint32_t count) {
    if (block.empty()) return 0;
    // Filled whole even for small counts, so that memory use is the same for every count.
    const std::string chunk = fill_chunk(block);
    const std::size_t blocks_per_chunk = chunk.size() / block.size();

    for (std::uint32_t left = count; left > 0;) {
        const std::size_t blocks = std::min<std::size_t>(left, blocks_per_chunk);
        errno = 0;
        if (std::fwrite(chunk.data(), block.size(), blocks, file) != blocks) return last_error();
        left -= static_cast<std::uint32_t>(blocks);
    }
    return 0;
}

}  // namespace

std::FILE* open_text_output(const char* name) { return std::fopen(name, "wb"); }

std::string block_text(std::initializer_list<std::string_view> block, std::string_view line_end) {
    std::string text;
    for (std::string_view line : block) {
        for (char c : line) {
            if (c == '\n') {
                text += line_end;
            } else {
                text += c;
            }
        }
    }
    return text;
}

std::string fill_chunk(std::string_view block) {
    if (block.empty()) return {};
    const std::size_t copies = std::max<std::size_t>(1, kChunkBytes / block.size());
    std::string chunk;
    chunk.reserve(copies * block.size());
    for (std::size_t i = 0; i < copies; ++i) chunk += block;
    return chunk;
}

bool write_text_file(const char* name, std::initializer_list<std::string_view> block,
                     std::int32_t count) {
    errno = 0;
    std::FILE* file = open_text_output(name);
    if (file == nullptr) {
        report_failure(name, last_error());
        return false;
    }
    // The file gets whole chunks; a stdio buffer would only add a copy and a second write call per
    // chunk. (A failure here leaves the default buffer, which works as well.)
    std::setvbuf(file, nullptr, _IONBF, 0);

    const std::string text = block_text(block, kLineEnd);
    int error = write_repeated(file, text, count > 0 ? static_cast<std::uint32_t>(count) : 0);
    errno = 0;
    if (std::fclose(file) != 0 && error == 0) error = last_error();
    if (error == 0) return true;

    std::remove(name);
    report_failure(name, error);
    return false;
}
