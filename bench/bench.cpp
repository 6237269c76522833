// SPDX-License-Identifier: MIT

// Times quorvel against cat (the floor: copying the bytes) and against the
// straightforward reference converter on generated listings, and reports the
// median wall times, their ratios and quorvel's peak resident memory.
//
//   bench QUORVEL REFERENCE LINES...

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int rounds = 5;

struct Run {
    double seconds;
    long maxrsskib;
};

// Runs argv with standard output sent to out (when given), as a shell's
// "> out" would, and times it.
Run spawn(const std::vector<std::string> &args, const std::string &out) {
    // Start every run with no dirty pages left by the one before, so that no
    // run pays for another's writeback.
    sync();
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (!out.empty()) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0)
                _exit(127);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    auto stop = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s failed\n", args[0].c_str());
        std::exit(1);
    }
    return {std::chrono::duration<double>(stop - start).count(), usage.ru_maxrss};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool same(const std::string &a, const std::string &b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    return std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(y), std::istreambuf_iterator<char>());
}

// A listing of random sixteen-digit words, the same for every run.
void generate(const std::string &path, long lines) {
    std::FILE *f = std::fopen(path.c_str(), "w");
    std::uint64_t x = 0x9E3779B97F4A7C15u;
    char line[17];
    line[16] = '\n';
    for (long i = 0; i < lines; i++) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        for (int bit = 0; bit < 16; bit++)
            line[bit] = static_cast<char>('0' + (x >> (15 - bit) & 1));
        std::fwrite(line, 1, sizeof line, f);
    }
    if (std::fclose(f) != 0) {
        std::perror("bench: listing");
        std::exit(1);
    }
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 4) {
        std::fputs("usage: bench QUORVEL REFERENCE LINES...\n", stderr);
        return 1;
    }
    std::string quorvel = argv[1], reference = argv[2];
    std::string tmpl = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                       "/quorvel-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        std::perror("bench: mkdtemp");
        return 1;
    }
    const std::string dir = tmpl;
    std::vector<long> peaks;
    std::printf("%10s %10s %10s %10s %9s %9s %10s\n", "lines", "cat s", "quorvel s", "ref s",
                "q/cat", "ref/q", "peak KiB");
    for (int i = 3; i < argc; i++) {
        long lines = std::atol(argv[i]);
        std::string listing = dir + "/listing.hack", copy = dir + "/copy.hack",
                    out = dir + "/quorvel.hex", ref = dir + "/reference.hex";
        generate(listing, lines);
        std::vector<double> tcat, tq, tref;
        long peak = 0;
        for (int r = 0; r < rounds; r++) {
            tcat.push_back(spawn({"cat", listing}, copy).seconds);
            Run q = spawn({quorvel, listing, out}, "");
            tq.push_back(q.seconds);
            peak = std::max(peak, q.maxrsskib);
            tref.push_back(spawn({reference, listing, ref}, "").seconds);
        }
        if (!same(out, ref)) {
            std::fprintf(stderr, "bench: quorvel and the reference differ on %ld lines\n", lines);
            return 1;
        }
        double c = median(tcat), q = median(tq), f = median(tref);
        std::printf("%10ld %10.4f %10.4f %10.4f %9.2f %9.2f %10ld\n", lines, c, q, f, q / c, f / q,
                    peak);
        peaks.push_back(peak);
        std::remove(listing.c_str()), std::remove(copy.c_str());
        std::remove(out.c_str()), std::remove(ref.c_str());
    }
    rmdir(dir.c_str());
    auto [lo, hi] = std::minmax_element(peaks.begin(), peaks.end());
    std::printf("outputs identical; peak memory spread across sizes: %ld KiB\n", *hi - *lo);
    return 0;
}
