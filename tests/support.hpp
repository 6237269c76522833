// SPDX-License-Identifier: MIT
#ifndef QUORVEL_TESTS_SUPPORT_HPP
#define QUORVEL_TESTS_SUPPORT_HPP

// Running the built program on real files in a temporary directory, and
// listings and images made the plain way to compare its output with.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct Result {
    int status; // the exit status, or -1 when the program did not exit
    std::string out, err;
    long peakkib; // the program's peak resident memory
};

std::string slurp(const fs::path &path);
void spit(const fs::path &path, const std::string &bytes);

// A fresh directory, removed with everything in it at the end: work() is the
// program's working directory; its standard output and error are captured
// beside it, so they never show among its files.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    fs::path work() const { return base_ / "work"; }
    // Runs quorvel with these arguments in work() and waits for it, a minute
    // at most; with a stack limit in KiB when one is given, and under the
    // command in via (strace, say) when one is given.
    Result run(const std::vector<std::string> &args, long stackkib = 0,
               const std::vector<std::string> &via = {}) const;

  private:
    fs::path base_;
};

// n pseudo-random words, the same on every call.
std::vector<std::uint16_t> words(std::size_t n);

// The listing of these words, one line of sixteen digits each.
std::string hack(const std::vector<std::uint16_t> &ws);

// The image of these words: one record each, addresses stepping by 2.
std::string hex(const std::vector<std::uint16_t> &ws);

#endif
