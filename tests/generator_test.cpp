#include "generator/generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "generator/lines.h"
#include "generator/text_output.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

// `text` as a text-mode stream writes it on this platform.
std::string on_disk(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += kLineEnd;
        } else {
            out += c;
        }
    }
    return out;
}

std::string repeated(const std::string& block, std::int64_t count) {
    std::string out;
    for (std::int64_t i = 0; i < count; ++i) out += block;
    return out;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

const std::string kEgBlock = "#ifndef GUARD_H\n#include \"guard.h\"\n#endif\n";
const std::string kIgBlock = "#include \"guard.h\"\n";
const std::string kNgBlock = "#include \"noguard.h\"\n";

// Each test runs in a fresh, empty current directory; the writers' announcements are captured.
class Generator : public testing::Test {
protected:
    void SetUp() override {
        std::random_device seed;
        dir_ = fs::temp_directory_path() / ("guardgen-test-" + std::to_string(seed()));
        fs::create_directory(dir_);
        previous_ = fs::current_path();
        fs::current_path(dir_);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }

    void TearDown() override {
        stdout_text();
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }

    // What the writers printed since the test began (standard output, then standard error).
    std::string stdout_text() {
        if (!captured_) {
            std::fflush(stdout);
            out_ = testing::internal::GetCapturedStdout();
            err_ = testing::internal::GetCapturedStderr();
            captured_ = true;
        }
        return out_;
    }

    std::string stderr_text() {
        stdout_text();
        return err_;
    }

    static std::size_t file_count() {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator("."), {}));
    }

private:
    fs::path dir_;
    fs::path previous_;
    bool captured_ = false;
    std::string out_;
    std::string err_;
};

TEST_F(Generator, HeadersHoldExactlyTheirLines) {
    EXPECT_TRUE(write_headers());
    EXPECT_EQ(read_file("guard.h"),
              on_disk("#ifndef GUARD_H\n#define GUARD_H\nextern int i;\n#endif\n"));
    EXPECT_EQ(read_file("noguard.h"), on_disk("extern int i;\n"));
    EXPECT_EQ(file_count(), 2u);
    EXPECT_EQ(stdout_text(), "");
    EXPECT_EQ(stderr_text(), "");
}

struct Source {
    const char* prefix;
    const std::string& block;
};

const Source kSources[] = {
    {"eg", kEgBlock},
    {"ig", kIgBlock},
    {"ng", kNgBlock},
};

TEST_F(Generator, SourcesRepeatTheirBlockCountTimes) {
    // Around the boundaries of each kind's chunk, whose size depends on its block and the line
    // end, and many chunks; at each count every kind is checked.
    std::vector<std::int32_t> counts = {1, 2, 10, 100000};
    for (const Source& source : kSources) {
        const std::string block = on_disk(source.block);
        const auto per_chunk = static_cast<std::int32_t>(fill_chunk(block).size() / block.size());
        counts.insert(counts.end(), {per_chunk - 1, per_chunk, per_chunk + 1, 2 * per_chunk + 1});
    }
    for (std::int32_t count : counts) {
        SCOPED_TRACE(count);
        EXPECT_TRUE(write_test_sources(count));
        for (const Source& source : kSources) {
            EXPECT_EQ(read_file(source.prefix + std::to_string(count) + ".c"),
                      on_disk(repeated(source.block, count)))
                << source.prefix;
        }
    }
}

TEST_F(Generator, WriteTestSourcesWritesTheThreeInOrder) {
    EXPECT_TRUE(write_test_sources(7));
    EXPECT_EQ(read_file("eg7.c"), on_disk(repeated(kEgBlock, 7)));
    EXPECT_EQ(read_file("ig7.c"), on_disk(repeated(kIgBlock, 7)));
    EXPECT_EQ(read_file("ng7.c"), on_disk(repeated(kNgBlock, 7)));
    EXPECT_EQ(stdout_text(), "Writing eg7.c\nWriting ig7.c\nWriting ng7.c\n");
}

TEST_F(Generator, CountsOfZeroOrLessGiveEmptyFiles) {
    const std::int32_t counts[] = {0, -3, INT32_MIN};
    for (std::int32_t count : counts) {
        SCOPED_TRACE(count);
        EXPECT_TRUE(write_test_sources(count));
        for (const char* kind : {"eg", "ig", "ng"}) {
            const fs::path name = kind + std::to_string(count) + ".c";
            ASSERT_TRUE(fs::is_regular_file(name)) << name;
            EXPECT_EQ(fs::file_size(name), 0u) << name;
        }
    }
    EXPECT_EQ(stdout_text(),
              "Writing eg0.c\nWriting ig0.c\nWriting ng0.c\n"
              "Writing eg-3.c\nWriting ig-3.c\nWriting ng-3.c\n"
              "Writing eg-2147483648.c\nWriting ig-2147483648.c\nWriting ng-2147483648.c\n");
}

TEST_F(Generator, ExistingFilesAreTruncatedNotAppendedTo) {
    const std::string old_text(5000, 'x');
    for (const char* name : {"guard.h", "noguard.h", "eg1.c", "ig1.c", "ng1.c", "eg0.c"}) {
        write_file(name, old_text);
    }
    EXPECT_TRUE(write_headers());
    EXPECT_TRUE(write_test_sources(1));
    EXPECT_TRUE(write_test_sources(0));
    EXPECT_EQ(read_file("noguard.h"), on_disk("extern int i;\n"));
    EXPECT_EQ(read_file("eg1.c"), on_disk(kEgBlock));
    EXPECT_EQ(read_file("ig1.c"), on_disk(kIgBlock));
    EXPECT_EQ(read_file("ng1.c"), on_disk(kNgBlock));
    EXPECT_EQ(read_file("eg0.c"), "");
}

TEST_F(Generator, AFileThatCannotBeOpenedIsReportedAndTheRestIsWritten) {
    fs::create_directory("ig5.c");
    fs::create_directory("guard.h");
    EXPECT_FALSE(write_headers());
    EXPECT_FALSE(write_test_sources(5));
    EXPECT_TRUE(fs::is_directory("ig5.c"));
    EXPECT_TRUE(fs::is_directory("guard.h"));
    EXPECT_EQ(read_file("noguard.h"), on_disk("extern int i;\n"));
    EXPECT_EQ(read_file("eg5.c"), on_disk(repeated(kEgBlock, 5)));
    EXPECT_EQ(read_file("ng5.c"), on_disk(repeated(kNgBlock, 5)));
    const std::string errors = stderr_text();
    EXPECT_EQ(errors.rfind("guardgen: guard.h: ", 0), 0u) << errors;
    EXPECT_NE(errors.find("\nguardgen: ig5.c: "), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
}

#ifndef _WIN32
TEST_F(Generator, AFailedWriteIsReportedAndWhatIsNotGuardgensStays) {
    // Large enough that the writes fail before the file is closed, small enough to fail at close.
    const std::int32_t counts[] = {5, 200000};
    for (std::int32_t count : counts) {
        SCOPED_TRACE(count);
        const std::string n = std::to_string(count);
        fs::create_symlink("/dev/full", "eg" + n + ".c");
        EXPECT_FALSE(write_test_sources(count));
        EXPECT_EQ(fs::read_symlink("eg" + n + ".c"), "/dev/full");
        EXPECT_EQ(read_file("ig" + n + ".c"), on_disk(repeated(kIgBlock, count)));
    }
    EXPECT_EQ(stderr_text(),
              "guardgen: eg5.c: No space left on device\n"
              "guardgen: eg200000.c: No space left on device\n");
}
#endif

struct LineEndCase {
    std::string_view line_end;
    std::initializer_list<std::string_view> lines;
    std::string block;
};

TEST(Chunk, HoldsWholeBlocksWithTheGivenLineEnds) {
    using namespace lines;
    const LineEndCase cases[] = {
        {"\n", {kGuardTest, kIncludeGuarded, kGuardEnd}, kEgBlock},
        {"\n", {kIncludeGuarded}, kIgBlock},
        {"\n", {kIncludeUnguarded}, kNgBlock},
        {"\n",
         {kGuardTest, kGuardDefine, kDeclaration, kGuardEnd},
         "#ifndef GUARD_H\n#define GUARD_H\nextern int i;\n#endif\n"},
        {"\r\n",
         {kGuardTest, kIncludeGuarded, kGuardEnd},
         "#ifndef GUARD_H\r\n#include \"guard.h\"\r\n#endif\r\n"},
        {"\r\n", {kIncludeGuarded}, "#include \"guard.h\"\r\n"},
        {"\r\n", {kIncludeUnguarded}, "#include \"noguard.h\"\r\n"},
        {"\r\n",
         {kGuardTest, kGuardDefine, kDeclaration, kGuardEnd},
         "#ifndef GUARD_H\r\n#define GUARD_H\r\nextern int i;\r\n#endif\r\n"},
    };
    for (const LineEndCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.block));
        EXPECT_EQ(block_text(c.lines, c.line_end), c.block);
        // As many whole blocks as fit in 64 KiB, and nothing else.
        const std::string chunk = fill_chunk(c.block);
        EXPECT_EQ(chunk, repeated(c.block, 65536 / static_cast<std::int64_t>(c.block.size())));
    }
}

TEST(Chunk, ABlockLargerThanAChunkIsOneChunk) {
    const std::string block(70000, 'x');
    EXPECT_EQ(fill_chunk(block), block);
    EXPECT_EQ(fill_chunk(""), "");
}

}  // namespace
