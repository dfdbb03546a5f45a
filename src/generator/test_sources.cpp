#include <cstdio>

#include "generator/console.h"
#include "generator/generator.h"
#include "generator/lines.h"
#include "generator/text_output.h"

namespace {

// Room for the longest name, "eg-2147483648.c", and its terminator.
constexpr int kNameSize = 16;

bool write_source(const char* name, std::initializer_list<std::string_view> block,
                  std::int32_t count) {
    announce_file(name);
    return write_text_file(name, block, count);
}

}  // namespace

bool write_eg_source(std::int32_t count) {
    char name[kNameSize];
    std::snprintf(name, sizeof name, "eg%d.c", static_cast<int>(count));
    return write_source(name, {lines::kGuardTest, lines::kIncludeGuarded, lines::kGuardEnd}, count);
}

bool write_ig_source(std::int32_t count) {
    char name[kNameSize];
    std::snprintf(name, sizeof name, "ig%d.c", static_cast<int>(count));
    return write_source(name, {lines::kIncludeGuarded}, count);
}

bool write_ng_source(std::int32_t count) {
    char name[kNameSize];
    std::snprintf(name, sizeof name, "ng%d.c", static_cast<int>(count));
    return write_source(name, {lines::kIncludeUnguarded}, count);
}

bool write_test_sources(std::int32_t count) {
    const bool eg = write_eg_source(count);
    const bool ig = write_ig_source(count);
    const bool ng = write_ng_source(count);
    return eg && ig && ng;
}
