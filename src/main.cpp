// SPDX-License-Identifier: MIT

// quorvel: convert a listing of sixteen-digit binary words into Intel HEX
// data records, two bytes per word, low byte first, from address 0.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "convert.hpp"
#include "guard.hpp"

// Listings and images past 2 GiB, on 32-bit platforms too: without a 64-bit
// off_t, opening or writing them fails.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

namespace {

void report(const char *what, int error) {
    errno = error;
    std::perror(what);
}

// Opens, as a path alone, the folder that a new file named path would be made
// in, and points name at the file's name within it. -1 when that fails, with
// errno EISDIR for a path that ends in a slash.
int openfolder(const char *path, const char *&name) {
    const char *slash = std::strrchr(path, '/');
    const int k = slash == nullptr || slash == path ? 1 : static_cast<int>(slash - path);
    char dir[PATH_MAX];
    name = slash != nullptr ? slash + 1 : path;
    if (*name == '\0' ||
        std::snprintf(dir, sizeof dir, "%.*s", k, slash ? path : ".") >= PATH_MAX) {
        errno = *name == '\0' ? EISDIR : ENAMETOOLONG;
        return -1;
    }
    return open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 3) {
        std::fputs("enter ./quorvel filename.hack filename.hex\n", stdout);
        return 1;
    }
    // Before anything is opened, so that no message can go into a file.
    if (!openstandard()) {
        std::perror("fin fails");
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

    // The output is emptied, or a new one made, only once it is known not to
    // be the listing, and the check is made on what was opened, so that the
    // name cannot change in between: for a new output, the folder it goes in.
    const char *name = argv[2];
    int fd = open(argv[2], O_WRONLY), folder = -1;
    // An empty name is no file in any folder: the kernel's ENOENT stands.
    if (fd < 0 && errno == ENOENT && *argv[2] != '\0')
        folder = openfolder(argv[2], name);
    struct stat out;
    if ((fd < 0 && folder < 0) || fstat(fd >= 0 ? fd : folder, &out) != 0) {
        std::perror("fout fails");
        return 1;
    }
    if (samefile(fileno(fin), in, fd >= 0 ? fd : folder, out)) {
        std::fputs("fout fails: Input and output are the same file\n", stderr);
        return 1;
    }
    // Exclusive: a name made meanwhile, or a link to nowhere, is not written
    // through.
    if (fd < 0)
        fd = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL, 0666);
    std::FILE *fout = nullptr;
    // Truncating an empty file is not only needless: a file system may take
    // it for a file being replaced and write it back at once when closed.
    if (fd < 0 || (S_ISREG(out.st_mode) && out.st_size > 0 && ftruncate(fd, 0) != 0) ||
        (fout = fdopen(fd, "w")) == nullptr) {
        std::perror("fout fails");
        return 1;
    }
    if (folder >= 0)
        close(folder);
    // Whole buffers of records, each in one write.
    std::setvbuf(fout, nullptr, _IONBF, 0);

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
