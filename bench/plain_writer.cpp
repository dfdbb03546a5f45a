// The plain way to write guardgen's files: one fprintf per line, through the default stdio buffer
// of a text-mode stream (which turns each "\n" into CR LF on Windows).

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::FILE* open_or_exit(const std::string& name, bool announce) {
    if (announce) std::printf("Writing %s\n", name.c_str());
    std::FILE* f = std::fopen(name.c_str(), "w");
    if (f == nullptr) std::exit(EXIT_FAILURE);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    std::FILE* f = open_or_exit("guard.h", false);
    std::fprintf(f, "#ifndef GUARD_H\n");
    std::fprintf(f, "#define GUARD_H\n");
    std::fprintf(f, "extern int i;\n");
    std::fprintf(f, "#endif\n");
    std::fclose(f);
    f = open_or_exit("noguard.h", false);
    std::fprintf(f, "extern int i;\n");
    std::fclose(f);

    for (int arg = 1; arg < argc; ++arg) {
        const long count = std::atol(argv[arg]);
        const std::string n = std::to_string(count);
        f = open_or_exit("eg" + n + ".c", true);
        for (long i = 0; i < count; ++i) {
            std::fprintf(f, "#ifndef GUARD_H\n");
            std::fprintf(f, "#include \"guard.h\"\n");
            std::fprintf(f, "#endif\n");
        }
        std::fclose(f);
        f = open_or_exit("ig" + n + ".c", true);
        for (long i = 0; i < count; ++i) std::fprintf(f, "#include \"guard.h\"\n");
        std::fclose(f);
        f = open_or_exit("ng" + n + ".c", true);
        for (long i = 0; i < count; ++i) std::fprintf(f, "#include \"noguard.h\"\n");
        std::fclose(f);
    }
    return EXIT_SUCCESS;
}
