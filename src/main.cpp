// SPDX-License-Identifier: MIT

// quorvel: convert a listing of sixteen-digit binary words into Intel HEX
// data records, two bytes per word, low byte first, from address 0.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include "convert.hpp"

// Listings and images past 2 GiB, on 32-bit platforms too: without a 64-bit
// off_t, opening or writing them fails.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

namespace {

// Where fd is a loop device, takes the device and inode of the file behind it
// for those of the device itself.
void backing(int fd, const struct stat &st, dev_t &dev, ino_t &ino) {
    struct loop_info64 info;
    if (!S_ISBLK(st.st_mode) || ioctl(fd, LOOP_GET_STATUS64, &info) != 0)
        return;
    // The kernel's own encoding of a device number.
    const std::uint64_t d = info.lo_device;
    dev = makedev((d >> 8) & 0xFFF, (d & 0xFF) | ((d >> 12) & 0xFFF00));
    ino = info.lo_inode;
}

// Whether writing out would overwrite the listing, or feed the writes back
// into it: the same regular file or pipe, the same disk by any of its nodes,
// or a loop device and the file behind it. A terminal or /dev/null named
// twice is harmless.
bool samefile(int infd, const struct stat &in, int outfd, const struct stat &out) {
    if (in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        return S_ISREG(in.st_mode) || S_ISFIFO(in.st_mode) || S_ISBLK(in.st_mode);
    if (S_ISBLK(in.st_mode) && S_ISBLK(out.st_mode) && in.st_rdev == out.st_rdev)
        return true;
    dev_t indev = in.st_dev, outdev = out.st_dev;
    ino_t inino = in.st_ino, outino = out.st_ino;
    backing(infd, in, indev, inino);
    backing(outfd, out, outdev, outino);
    return indev == outdev && inino == outino;
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

    // The output is emptied only once it is known not to be the listing, and
    // the check is made on what was opened, so that the name cannot change
    // in between.
    const int fd = open(argv[2], O_WRONLY | O_CREAT, 0666);
    struct stat out;
    if (fd < 0 || fstat(fd, &out) != 0) {
        std::perror("fout fails");
        return 1;
    }
    if (samefile(fileno(fin), in, fd, out)) {
        std::fputs("fout fails: Input and output are the same file\n", stderr);
        return 1;
    }
    std::FILE *fout = nullptr;
    if ((S_ISREG(out.st_mode) && ftruncate(fd, 0) != 0) || (fout = fdopen(fd, "w")) == nullptr) {
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
