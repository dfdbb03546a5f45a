// Times guardgen against two baselines that write the same files, as whole processes:
//   limit  the same bytes from a filled buffer in 128 KiB write(2) calls: what the file system
//   takes; plain  one fprintf per line: the simple way to write such a generator.
// For each count it runs each program several times and reports medians, throughput, the ratios
// and guardgen's peak resident memory.
//
//   guardgen_bench [--dir DIR] [--runs N] [COUNT ...]
//
// The programs write into a fresh directory made inside DIR (default: the system's temporary
// directory; tmpfs such as /dev/shm gives steadier numbers), which is removed at the end.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Program {
    const char* label;
    std::string path;
};

struct Sample {
    double seconds;
    long peak_rss_kib;
    long page_faults;  // pages first touched: an exact count, where RSS moves in coarse steps
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "guardgen_bench: %s\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

// Runs `path count` in the current directory with its output discarded.
Sample run_once(const std::string& path, const std::string& count) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(count.c_str()), nullptr};

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int error = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) fail(path + ": " + std::strerror(error));
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) fail("wait4: " + std::string(std::strerror(errno)));
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(path + " " + count + " failed");
    return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss, usage.ru_minflt};
}

template <typename T>
T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The bytes of guard.h, noguard.h and the three sources for `count`, with LF line ends.
std::uintmax_t expected_bytes(std::int64_t count) {
    return 53 + 14 + 82 * static_cast<std::uintmax_t>(std::max<std::int64_t>(count, 0));
}

std::uintmax_t bytes_in(const fs::path& dir) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::directory_iterator(dir)) total += entry.file_size();
    return total;
}

void clear(const fs::path& dir) {
    for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
}

}  // namespace

int main(int argc, char** argv) {
    fs::path parent = fs::temp_directory_path();
    int runs = 5;
    std::vector<std::string> counts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc) {
            parent = argv[++i];
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
            counts.push_back(arg);
        } else {
            fail("usage: guardgen_bench [--dir DIR] [--runs N] [COUNT ...]");
        }
    }
    if (counts.empty()) counts = {"10", "1000", "10000", "100000", "1000000", "10000000"};

    const Program programs[] = {
        {"guardgen", fs::absolute(GUARDGEN_PATH)},
        {"limit", fs::absolute(LIMIT_WRITER_PATH)},
        {"plain", fs::absolute(PLAIN_WRITER_PATH)},
    };

    std::string pattern = (parent / "guardgen-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) fail(pattern + ": " + std::strerror(errno));
    const fs::path dir = pattern;
    const fs::path previous = fs::current_path();
    fs::current_path(dir);

    // Worst ratios at the large counts, and guardgen's peak memory at the smallest and largest.
    double worst_limit_ratio = 0;
    double worst_plain_ratio = 1e9;
    long first_rss = -1, first_pages = -1;
    long last_rss = -1, last_pages = -1;

    std::printf("Writing into %s, median of %d runs each.\n\n", dir.c_str(), runs);
    std::printf(
        "| count | MB | guardgen ms | guardgen MB/s | limit ms | plain ms | guardgen/limit "
        "| plain/guardgen | guardgen peak RSS KiB | guardgen page faults |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const std::string& count : counts) {
        const std::uintmax_t bytes = expected_bytes(std::atoll(count.c_str()));
        // Rounds interleave the programs, each round starting with the next one, so that neither
        // a drift of the machine nor the freeing of the last round's files favours any of them.
        std::vector<double> times[3];
        std::vector<long> peaks;
        std::vector<long> faults;
        for (int r = 0; r < runs; ++r) {
            for (int k = 0; k < 3; ++k) {
                const int p = (r + k) % 3;
                clear(dir);
                const Sample sample = run_once(programs[p].path, count);
                times[p].push_back(sample.seconds);
                if (p == 0) {
                    peaks.push_back(sample.peak_rss_kib);
                    faults.push_back(sample.page_faults);
                }
                if (bytes_in(dir) != bytes) {
                    fail(std::string(programs[p].label) + " wrote " +
                         std::to_string(bytes_in(dir)) + " bytes for " + count + ", expected " +
                         std::to_string(bytes));
                }
            }
        }
        const double seconds[3] = {median(times[0]), median(times[1]), median(times[2])};
        const long rss = median(peaks);
        const long pages = median(faults);
        clear(dir);
        const double mb = static_cast<double>(bytes) / 1e6;
        std::printf("| %s | %.1f | %.2f | %.0f | %.2f | %.2f | %.2f | %.2f | %ld | %ld |\n",
                    count.c_str(), mb, seconds[0] * 1e3, mb / seconds[0], seconds[1] * 1e3,
                    seconds[2] * 1e3, seconds[0] / seconds[1], seconds[2] / seconds[0], rss, pages);
        std::fflush(stdout);

        if (std::atoll(count.c_str()) >= 1000000) {
            worst_limit_ratio = std::max(worst_limit_ratio, seconds[0] / seconds[1]);
            worst_plain_ratio = std::min(worst_plain_ratio, seconds[2] / seconds[0]);
        }
        if (first_rss < 0) {
            first_rss = rss;
            first_pages = pages;
        }
        last_rss = rss;
        last_pages = pages;
    }

    std::printf("\n");
    if (worst_limit_ratio > 0) {
        std::printf(
            "counts of 10^6 and more: guardgen/limit at most %.2f (target 1.15 or less), "
            "plain/guardgen at least %.2f (target 3 or more)\n",
            worst_limit_ratio, worst_plain_ratio);
    }
    std::printf(
        "guardgen memory: %ld KiB peak RSS and %ld page faults at count %s, "
        "%ld KiB and %ld page faults at count %s\n",
        first_rss, first_pages, counts.front().c_str(), last_rss, last_pages,
        counts.back().c_str());

    fs::current_path(previous);
    fs::remove_all(dir);
    return EXIT_SUCCESS;
}
