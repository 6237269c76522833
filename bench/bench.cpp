// SPDX-License-Identifier: MIT

// Measures quorvel's CPU time (user and system) against a plain read/write
// copy of the listing (the floor for a program that must read every byte) and
// against cat, which may copy inside the kernel without reading at all, on
// generated listings, into an output that is new and into one that exists.
// Each round runs the three in turn, in an order that changes from round to
// round; the ratios are taken within a round and reported as medians with
// their spread, beside the straightforward reference converter's time and
// quorvel's peak resident memory.
//
//   bench QUORVEL REFERENCE COPY ROUNDS LINES...

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Run {
    double cpu; // seconds of user and system time
    long maxrsskib;
};

// Runs argv with standard output sent to out (when given), as a shell's
// "> out" would, and measures it.
Run spawn(const std::vector<std::string> &args, const std::string &out) {
    // Start every run with no dirty pages left by the one before, so that no
    // run pays for another's writeback.
    sync();
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s failed\n", args[0].c_str());
        std::exit(1);
    }
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string spread(const std::vector<double> &v) {
    auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    char s[32];
    std::snprintf(s, sizeof s, "%.2f-%.2f", *lo, *hi);
    return s;
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
    if (argc < 6) {
        std::fputs("usage: bench QUORVEL REFERENCE COPY ROUNDS LINES...\n", stderr);
        return 1;
    }
    const std::string quorvel = argv[1], reference = argv[2], copier = argv[3];
    const int rounds = std::atoi(argv[4]);
    std::string tmpl = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                       "/quorvel-bench-XXXXXX";
    if (rounds < 1 || mkdtemp(tmpl.data()) == nullptr) {
        std::perror("bench: mkdtemp");
        return 1;
    }
    const std::string dir = tmpl, listing = dir + "/listing.hack", copy = dir + "/copy.hack",
                      viacat = dir + "/cat.hack", out = dir + "/quorvel.hex",
                      ref = dir + "/reference.hex";
    std::vector<long> peaks;
    std::printf("%10s %9s %8s %8s %10s %6s %11s %6s %11s %8s %9s\n", "lines", "output", "copy s",
                "cat s", "quorvel s", "q/copy", "spread", "q/cat", "spread", "ref s", "peak KiB");
    for (int i = 5; i < argc; i++) {
        const long lines = std::atol(argv[i]);
        std::fprintf(stderr, "bench: %ld lines: generating the listing\n", lines);
        generate(listing, lines);
        std::fprintf(stderr, "bench: %ld lines: the reference converter\n", lines);
        const double tref = spawn({reference, listing, ref}, "").cpu;
        for (const bool fresh : {true, false}) {
            std::vector<double> tcopy, tcat, tq, qcopy, qcat;
            long peak = 0;
            for (int r = 0; r < rounds; r++) {
                std::fprintf(stderr, "bench: %ld lines, %s output: round %d of %d\n", lines,
                             fresh ? "new" : "existing", r + 1, rounds);
                double c = 0, k = 0, q = 0;
                for (int step = 0; step < 3; step++)
                    switch ((step + r) % 3) {
                    case 0:
                        if (fresh)
                            std::remove(copy.c_str());
                        c = spawn({copier, listing, copy}, "").cpu;
                        break;
                    case 1:
                        if (fresh)
                            std::remove(viacat.c_str());
                        k = spawn({"cat", listing}, viacat).cpu;
                        break;
                    default:
                        if (fresh)
                            std::remove(out.c_str());
                        const Run run = spawn({quorvel, listing, out}, "");
                        q = run.cpu;
                        peak = std::max(peak, run.maxrsskib);
                    }
                tcopy.push_back(c), tcat.push_back(k), tq.push_back(q);
                qcopy.push_back(q / c), qcat.push_back(q / k);
            }
            if (!same(out, ref)) {
                std::fprintf(stderr, "bench: quorvel and the reference differ on %ld lines\n",
                             lines);
                return 1;
            }
            std::printf("%10ld %9s %8.4f %8.4f %10.4f %6.2f %11s %6.2f %11s %8.4f %9ld\n", lines,
                        fresh ? "new" : "existing", median(tcopy), median(tcat), median(tq),
                        median(qcopy), spread(qcopy).c_str(), median(qcat), spread(qcat).c_str(),
                        tref, peak);
            std::fflush(stdout);
            peaks.push_back(peak);
        }
        for (const std::string &f : {listing, copy, viacat, out, ref})
            std::remove(f.c_str());
    }
    rmdir(dir.c_str());
    auto [lo, hi] = std::minmax_element(peaks.begin(), peaks.end());
    std::printf("outputs identical; CPU medians of %d paired rounds; peak memory spread across "
                "sizes: %ld KiB\n",
                rounds, *hi - *lo);
    return 0;
}
