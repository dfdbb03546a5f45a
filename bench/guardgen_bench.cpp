// Times guardgen against two baselines that write the same files, as whole processes:
//   limit  the same bytes from a filled buffer in 128 KiB writes: what the file system takes;
//   plain  one fprintf per line on a text-mode stream: the simple way to write such a generator.
// For each count it runs each program several times, interleaved, checks that all three wrote
// the same bytes, and reports the median and the fastest run, the ratios and guardgen's memory.
//
// With --windows BUILD_DIR it times the Windows programs of that build tree (32-bit or 64-bit)
// under wine instead (guardgen.exe and Windows builds of the two baselines), with CR LF line ends.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: guardgen_bench [--dir DIR] [--runs N] [--windows BUILD_DIR] [COUNT ...]\n"
    "\n"
    "Times guardgen, the write limit and the plain fprintf way at each COUNT (default:\n"
    "10 1000 10000 100000 1000000 10000000), N runs each (default 5), interleaved.\n"
    "  --dir DIR          write into a fresh directory inside DIR (default: the system's\n"
    "                     temporary directory; tmpfs such as /dev/shm gives steadier numbers)\n"
    "  --runs N           runs per program and count\n"
    "  --windows BUILD_DIR\n"
    "                     time guardgen.exe and the baselines of that Windows build tree\n"
    "                     (build-win32 or build-win64) under the wine its tests use (default\n"
    "                     counts: 1000000 4000000); --win32 BUILD_DIR says the same\n"
    "  --help             print this text\n";

constexpr int kPrograms = 3;
constexpr const char* kLabels[kPrograms] = {"guardgen", "limit", "plain"};

struct Target {
    std::string description;          // which build, for the report
    std::vector<std::string> runner;  // put in front of each program, such as "wine"
    std::array<std::string, kPrograms> paths;
    std::uintmax_t line_end_bytes;
};

struct Sample {
    double seconds;
    long peak_rss_kib;
    long page_faults;  // minor faults: pages first touched
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "guardgen_bench: %s\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

// Starts `args` with standard output discarded and waits for it; fails unless it exits with 0,
// where `must_succeed`.
Sample run_command(const std::vector<std::string>& args, bool must_succeed = true) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) fail(args[0] + ": " + std::strerror(error));
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) fail("wait4: " + std::string(std::strerror(errno)));
    const auto end = std::chrono::steady_clock::now();
    if (must_succeed && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
        std::string command;
        for (const std::string& arg : args) command += (command.empty() ? "" : " ") + arg;
        fail(command + " failed");
    }
    return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss, usage.ru_minflt};
}

Sample run_program(const Target& target, int program, const std::string& count) {
    std::vector<std::string> args = target.runner;
    args.push_back(target.paths[static_cast<std::size_t>(program)]);
    args.push_back(count);
    return run_command(args);
}

// The bytes of guard.h, noguard.h and the three sources for `count`: 49 + 4 line ends, 13 + 1,
// and per include 39 + 3, 18 + 1 and 20 + 1.
std::uintmax_t expected_bytes(std::int64_t count, std::uintmax_t eol) {
    const std::uintmax_t n = static_cast<std::uintmax_t>(std::max<std::int64_t>(count, 0));
    return 49 + 4 * eol + 13 + eol + n * (77 + 5 * eol);
}

// A digest of the names and contents of the files in `dir`, with their total size: equal
// digests mean the same bytes.
struct Digest {
    std::uint64_t hash = 14695981039346656037ull;
    std::uintmax_t bytes = 0;
    bool operator==(const Digest&) const = default;
};

// FNV-1a over 8-byte words, then over the bytes left. The files are read in pieces of a multiple
// of 8 bytes, so the same file always mixes the same words.
void mix(Digest& digest, const char* data, std::size_t size) {
    constexpr std::uint64_t kPrime = 1099511628211ull;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        digest.hash = (digest.hash ^ word) * kPrime;
    }
    for (; i < size; ++i)
        digest.hash = (digest.hash ^ static_cast<unsigned char>(data[i])) * kPrime;
}

Digest digest_of(const fs::path& dir) {
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path());
    std::sort(names.begin(), names.end());
    Digest digest;
    std::vector<char> buffer(1 << 20);
    for (const fs::path& name : names) {
        const std::string text = name.filename().string();
        mix(digest, text.c_str(), text.size() + 1);
        std::ifstream in(name, std::ios::binary);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
               in.gcount() > 0) {
            const auto got = static_cast<std::size_t>(in.gcount());
            mix(digest, buffer.data(), got);
            digest.bytes += got;
        }
    }
    return digest;
}

void clear(const fs::path& dir) {
    for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double fastest(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

std::string first_line_of(const std::string& command) {
    std::string line;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) line = buffer;
        pclose(pipe);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// The wine that the tests of `build_dir` use (wine for 32-bit programs, wine64 for 64-bit ones),
// as its CMake cache records it.
std::string wine_of(const fs::path& build_dir) {
    std::ifstream cache(build_dir / "CMakeCache.txt");
    const std::string key = "GUARDGEN_WINE_LOADER:FILEPATH=";
    for (std::string line; std::getline(cache, line);) {
        if (line.rfind(key, 0) == 0 && line.size() > key.size()) return line.substr(key.size());
    }
    fail((build_dir / "CMakeCache.txt").string() +
         ": no wine recorded (configure a Windows preset)");
}

// "32-bit" or "64-bit", from the machine field of the program's PE header.
std::string width_of(const fs::path& program) {
    std::ifstream file(program, std::ios::binary);
    unsigned char header[0x40] = {};
    file.read(reinterpret_cast<char*>(header), sizeof header);
    const std::streamoff pe = header[0x3c] | header[0x3d] << 8 | header[0x3e] << 16;
    unsigned char machine[6] = {};
    file.seekg(pe);
    file.read(reinterpret_cast<char*>(machine), sizeof machine);
    if (machine[0] != 'P' || machine[1] != 'E') fail(program.string() + ": not a Windows program");
    return (machine[4] | machine[5] << 8) == 0x8664 ? "64-bit" : "32-bit";
}

// The Windows programs of `build_dir`, run by wine. Wine's server is started once and kept
// running, so that every run pays only wine's start of a process, not the start of wine itself.
Target windows_target(const fs::path& build_dir) {
    const fs::path dir = fs::absolute(build_dir);
    const std::string wine = wine_of(dir);
    const fs::path guardgen = dir / "guardgen.exe";
    if (!fs::is_regular_file(guardgen)) fail(guardgen.string() + ": not found (build it first)");
    setenv("WINEPREFIX", (dir / "wineprefix").c_str(), 0);
    setenv("WINEDEBUG", "-all", 0);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 0);
    run_command({"wineserver", "-p"}, false);  // fails when the server runs already: so be it
    // Makes the prefix if it is new, and starts wine's services before any run is timed.
    run_command({wine, "cmd", "/c", "exit"});
    return {guardgen.string() + " (" + width_of(guardgen) + " Windows) under " +
                first_line_of(wine + " --version") + " (" + wine + "), wine's server kept running",
            {wine},
            {(dir / "guardgen.exe").string(), (dir / "bench/bench_limit_writer.exe").string(),
             (dir / "bench/bench_plain_writer.exe").string()},
            2};
}

Target native_target() {
    return {fs::absolute(GUARDGEN_PATH).string() + " (native)",
            {},
            {fs::absolute(GUARDGEN_PATH).string(), fs::absolute(LIMIT_WRITER_PATH).string(),
             fs::absolute(PLAIN_WRITER_PATH).string()},
            1};
}

}  // namespace

int main(int argc, char** argv) {
    fs::path parent = fs::temp_directory_path();
    int runs = 5;
    std::vector<std::string> counts;
    std::string windows_dir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return EXIT_SUCCESS;
        } else if (arg == "--dir" && i + 1 < argc) {
            parent = argv[++i];
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if ((arg == "--windows" || arg == "--win32") && i + 1 < argc) {
            windows_dir = argv[++i];
        } else if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
            counts.push_back(arg);
        } else {
            std::fputs(kUsage, stderr);
            return EXIT_FAILURE;
        }
    }
    const bool windows = !windows_dir.empty();
    if (counts.empty()) {
        counts = windows ? std::vector<std::string>{"1000000", "4000000"}
                         : std::vector<std::string>{"10",     "1000",    "10000",
                                                    "100000", "1000000", "10000000"};
    }
    const Target target = windows ? windows_target(windows_dir) : native_target();
    for (const std::string& path : target.paths) {
        if (!fs::is_regular_file(path)) fail(path + ": not found (build it first)");
    }

    std::string pattern = (parent / "guardgen-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) fail(pattern + ": " + std::strerror(errno));
    const fs::path dir = pattern;
    const fs::path previous = fs::current_path();
    fs::current_path(dir);

    // A round at count 1, untimed: every program runs, and the caches are warm.
    for (int p = 0; p < kPrograms; ++p) run_program(target, p, "1");

    std::printf("Timing %s.\n", target.description.c_str());
    std::printf("Writing into %s; median and fastest of %d interleaved runs each.\n\n", dir.c_str(),
                runs);
    std::printf(
        "| count | MB | guardgen ms | limit ms | plain ms | guardgen/limit | plain/guardgen "
        "| guardgen MB/s | guardgen peak RSS KiB | guardgen page faults |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");

    double worst_limit_ratio = 0;
    for (const std::string& count : counts) {
        const std::uintmax_t bytes =
            expected_bytes(std::atoll(count.c_str()), target.line_end_bytes);
        // Rounds interleave the programs, each round starting with the next one, so that neither
        // a drift of the machine nor the freeing of the last round's files favours any of them.
        std::vector<double> times[kPrograms];
        std::vector<double> peaks;
        std::vector<double> faults;
        Digest reference;
        for (int r = 0; r < runs; ++r) {
            for (int k = 0; k < kPrograms; ++k) {
                const int p = (r + k) % kPrograms;
                clear(dir);
                const Sample sample = run_program(target, p, count);
                times[p].push_back(sample.seconds);
                if (p == 0) {
                    peaks.push_back(static_cast<double>(sample.peak_rss_kib));
                    faults.push_back(static_cast<double>(sample.page_faults));
                }
                const Digest digest = digest_of(dir);
                if (digest.bytes != bytes) {
                    fail(std::string(kLabels[p]) + " wrote " + std::to_string(digest.bytes) +
                         " bytes for " + count + ", expected " + std::to_string(bytes));
                }
                if (r == 0 && k == 0) reference = digest;  // guardgen's first run
                if (!(digest == reference)) {
                    fail(std::string(kLabels[p]) + " wrote other bytes than guardgen for " + count);
                }
            }
        }
        clear(dir);
        const double mb = static_cast<double>(bytes) / 1e6;
        const auto ms = [](const std::vector<double>& t) {
            char cell[64];
            std::snprintf(cell, sizeof cell, "%.1f / %.1f", median(t) * 1e3, fastest(t) * 1e3);
            return std::string(cell);
        };
        const auto ratio = [](const std::vector<double>& a, const std::vector<double>& b) {
            char cell[64];
            std::snprintf(cell, sizeof cell, "%.2f / %.2f", median(a) / median(b),
                          fastest(a) / fastest(b));
            return std::string(cell);
        };
        std::printf("| %s | %.1f | %s | %s | %s | %s | %s | %.0f | %.0f | %.0f |\n", count.c_str(),
                    mb, ms(times[0]).c_str(), ms(times[1]).c_str(), ms(times[2]).c_str(),
                    ratio(times[0], times[1]).c_str(), ratio(times[2], times[0]).c_str(),
                    mb / median(times[0]), median(peaks), median(faults));
        std::fflush(stdout);
        if (std::atoll(count.c_str()) >= 1000000) {
            worst_limit_ratio = std::max(worst_limit_ratio, median(times[0]) / median(times[1]));
        }
    }
    std::printf("\nTimes in ms as median / fastest; ratios of medians / of the fastest runs.\n");
    if (worst_limit_ratio > 0) {
        std::printf("Counts of 10^6 and more: guardgen/limit at most %.2f (median).\n",
                    worst_limit_ratio);
    }
    if (windows) std::printf("Memory figures are those of the whole wine process.\n");

    fs::current_path(previous);
    fs::remove_all(dir);
    if (windows) run_command({"wineserver", "-k"});
    return EXIT_SUCCESS;
}
