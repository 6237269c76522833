// quorvel: convert a listing of sixteen-digit binary words into Intel HEX
// data records, two bytes per word, low byte first, from address 0.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

#include "listing.hpp"
#include "record.hpp"

namespace {

// Opening the output empties it, so a listing that is also the output must be
// refused first. Only regular files are compared: a terminal or a pipe named
// twice is harmless.
bool samefile(const struct stat &in, const char *path) {
    struct stat out;
    return S_ISREG(in.st_mode) && stat(path, &out) == 0 && in.st_dev == out.st_dev &&
           in.st_ino == out.st_ino;
}

// The error number a failed stream call left; a failure is never taken for
// success, even by a library that left errno unset.
int failure() { return errno != 0 ? errno : EIO; }

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

    // The listing is read in large blocks of our own; stdio's buffer would only
    // add a copy.
    std::setvbuf(fin, nullptr, _IONBF, 0);
    char block[blockSize], out[outSize];
    std::size_t head = 0, tail = 0, used = 0, n;
    const char *instruction;
    std::uint16_t address = 0;
    int readerror = 0, writeerror = 0;
    while ((n = readInstruction(fin, block, head, tail, instruction)) != 0) {
        std::uint16_t number = parseInstruction(instruction, n);
        if (!writeDataRecord(fout, out, used, address, number)) {
            writeerror = failure();
            break;
        }
        address = static_cast<std::uint16_t>(address + 2);
    }
    if (std::ferror(fin))
        readerror = failure();
    if (writeerror == 0 && !flushRecords(fout, out, used))
        writeerror = failure();
    if (writeerror == 0 && std::ferror(fout))
        writeerror = failure();
    if (std::fclose(fout) != 0 && writeerror == 0)
        writeerror = failure();

    if (readerror != 0)
        report("fin fails", readerror);
    if (writeerror != 0)
        report("fout fails", writeerror);
    return readerror != 0 || writeerror != 0 ? 1 : 0;
}
