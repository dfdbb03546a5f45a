#pragma once

#include <string_view>

// The lines the generated files are made of. The headers and the test sources share them, so
// the guard macro and the include of the guarded header are spelled in one place only.
namespace lines {

inline constexpr std::string_view kGuardTest = "#ifndef GUARD_H\n";
inline constexpr std::string_view kGuardDefine = "#define GUARD_H\n";
inline constexpr std::string_view kGuardEnd = "#endif\n";
inline constexpr std::string_view kDeclaration = "extern int i;\n";
inline constexpr std::string_view kIncludeGuarded = "#include \"guard.h\"\n";
inline constexpr std::string_view kIncludeUnguarded = "#include \"noguard.h\"\n";

}  // namespace lines
