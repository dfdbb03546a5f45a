#include <cstdio>

#include "generator/console.h"
#include "generator/generator.h"
#include "generator/lines.h"
#include "generator/text_output.h"

namespace {

// One kind of test source: the prefix of its name and the block it repeats.
struct TestSource {
    const char* prefix;
    std::initializer_list<std::string_view> block;
};

// The three kinds, in the order they are written.
const TestSource kTestSources[] = {
    {"eg", {lines::kGuardTest, lines::kIncludeGuarded, lines::kGuardEnd}},
    {"ig", {lines::kIncludeGuarded}},
    {"ng", {lines::kIncludeUnguarded}},
};

// Room for the longest name, "eg-2147483648.c", and its terminator.
constexpr int kNameSize = 16;

}  // namespace

bool write_test_sources(std::int32_t count) {
    bool ok = true;
    for (const TestSource& source : kTestSources) {
        char name[kNameSize];
        std::snprintf(name, sizeof name, "%s%d.c", source.prefix, static_cast<int>(count));
        announce_file(name);
        if (!write_text_file(name, source.block, count)) ok = false;
    }
    return ok;
}
