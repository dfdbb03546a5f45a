#include "generator/text_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "generator/console.h"
#include "generator/platform.h"

namespace fs = std::filesystem;

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

    for (std::uint32_t left = count; left > 0 && !interrupted();) {
        const std::size_t blocks = std::min<std::size_t>(left, blocks_per_chunk);
        errno = 0;
        if (std::fwrite(chunk.data(), block.size(), blocks, file) != blocks) return last_error();
        left -= static_cast<std::uint32_t>(blocks);
    }
    return 0;
}

// Takes away what a failed or interrupted write left under `name`, but nothing that is not
// guardgen's: a file that the run `created`, or a plain regular file with no other link, is
// removed; behind a symbolic or a hard link, or where links cannot be seen, the file is left empty
// and the name stays; anything else (a FIFO, a device) is left as it is.
void discard_incomplete(const char* name, bool created) {
    std::error_code error;
    if (!fs::is_regular_file(fs::status(name, error))) return;
    const bool sole_name = kLinksAreVisible && !fs::is_symlink(fs::symlink_status(name, error)) &&
                           fs::hard_link_count(name, error) == 1;
    if (created || sole_name) {
        fs::remove(name, error);
    } else {
        fs::resize_file(name, 0, error);
    }
}

// Opens `name` in the current directory for writing, creating or truncating it. The stream is
// binary on purpose: the C runtime translates no line end, so the bytes written, with the line
// ends block_text put in, are the file's. Returns nullptr, with errno set, if it cannot.
std::FILE* open_untranslated_output(const char* name) { return std::fopen(name, "wb"); }

}  // namespace

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
    // An interruption while a regular file is written waits for the end of the chunk, so that the
    // incomplete file can be discarded. Anything else (a FIFO, a device) may block in the open or
    // in a write for good; there an interruption ends the run at once, with nothing to discard.
    // What the name is, is asked before the open, which blocks on a FIFO that has no reader, and
    // again once it is open: Windows' C runtime takes a FIFO for a name that does not exist.
    // Before such a name the announcements so far are flushed, so that they are not lost if the
    // run blocks there and is then stopped.
    std::error_code status_error;
    const fs::file_status before = fs::status(name, status_error);
    if (fs::is_other(before)) {
        flush_standard_output();
    } else {
        defer_interruptions();
    }

    errno = 0;
    std::FILE* file = open_untranslated_output(name);
    int error = 0;
    if (file == nullptr) {
        error = last_error();
    } else {
        if (!fs::is_regular_file(fs::status(name, status_error))) {
            resume_interruptions();
            flush_standard_output();
        }
        // The file gets whole chunks; a stdio buffer would only add a copy and a second write
        // call per chunk. (A failure here leaves the default buffer, which works as well.)
        std::setvbuf(file, nullptr, _IONBF, 0);
        const std::string text = block_text(block, kLineEnd);
        error = write_repeated(file, text, count > 0 ? static_cast<std::uint32_t>(count) : 0);
        errno = 0;
        if (std::fclose(file) != 0 && error == 0) error = last_error();
        if (error != 0 || interrupted())
            discard_incomplete(name, before.type() == fs::file_type::not_found);
    }
    resume_interruptions();
    if (error == 0) return true;
    report_failure(name, error);
    return false;
}
