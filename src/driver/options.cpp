#include "driver/options.h"

#include <string_view>

namespace {

Option option_named(std::string_view argument) {
    if (argument == "-h" || argument == "--help") return Option::help;
    if (argument == "--version") return Option::version;
    return Option::none;
}

}  // namespace

Option find_option(std::span<char* const> arguments) {
    for (const char* argument : arguments) {
        if (const Option option = option_named(argument); option != Option::none) return option;
    }
    return Option::none;
}
