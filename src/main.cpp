// SPDX-License-Identifier: MIT

// quorvel: convert a listing of sixteen-digit binary words into Intel HEX
// data records, two bytes per word, low byte first, from address 0.

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <sys/types.h>

#include "convert.hpp"

// Listings and images past 2 GiB, on 32-bit platforms too: without a 64-bit
// off_t, opening or writing them fails.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

namespace {

// Opening the output empties it, so a listing that is also the output must be
// refused first: the same regular file, or the same disk however its device
// is named. A terminal or a pipe named twice is harmless.
bool samefile(const struct stat &in, const char *path) {
    struct stat out;
    if (stat(path, &out) != 0)
        return false;
    if (S_ISREG(in.st_mode))
        return in.st_dev == out.st_dev && in.st_ino == out.st_ino;
    return S_ISBLK(in.st_mode) && S_ISBLK(out.st_mode) && in.st_rdev == out.st_rdev;
}

void report(const char *what, int error) {
    errno = error;
    std::perror(what);
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 3) {
        std::fputs("enter ./quorvel filename.hack filename.hex\n", stdout);
        return 1;
    }

    std::FILE *fin = std::fopen(argv[1], "r");
    if (fin == nullptr) {
        std::perror("fin fails");
        return 1;
    }
    struct stat in;
    if (fstat(fileno(fin), &in) != 0) {
        std::perror("fin fails");
        return 1;
    }
    if (S_ISDIR(in.st_mode)) {
        report("fin fails", EISDIR);
        return 1;
    }
    if (samefile(in, argv[2])) {
        std::fputs("fout fails: Input and output are the same file\n", stderr);
        return 1;
    }

    std::FILE *fout = std::fopen(argv[2], "w");
    if (fout == nullptr) {
        std::perror("fout fails");
        return 1;
    }

    int readerror, writeerror;
    bool ok = convert(fin, fout, readerror, writeerror);
    if (std::fclose(fout) != 0 && writeerror == 0) {
        writeerror = failure();
        ok = false;
    }
    if (readerror != 0)
        report("fin fails", readerror);
    if (writeerror != 0)
        report("fout fails", writeerror);
    return ok ? 0 : 1;
}
