#include "generator/generator.h"
#include "generator/lines.h"
#include "generator/text_output.h"

bool write_headers() {
    using namespace lines;
    const bool guarded =
        write_text_file("guard.h", {kGuardTest, kGuardDefine, kDeclaration, kGuardEnd}, 1);
    const bool unguarded = write_text_file("noguard.h", {kDeclaration}, 1);
    return guarded && unguarded;
}
