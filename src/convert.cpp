// SPDX-License-Identifier: MIT
#include "convert.hpp"

#include <cerrno>
#include <cstdint>
#include <sys/stat.h>

#include "listing.hpp"
#include "record.hpp"

namespace {

// Writes the records gathered so far through to fout.
bool flush(std::FILE *fout, std::size_t &used) {
    return flushRecords(fout, used) && std::fflush(fout) == 0;
}

} // namespace

int failure() {
    return errno != 0 ? errno : EIO;
}

bool convert(std::FILE *fin, std::FILE *fout, int &readerror, int &writeerror) {
    const int fd = fileno(fin);
    // A regular file or a disk gives whole blocks at once; anything else may
    // keep a read waiting for its writer, and the records must not wait too.
    struct stat st;
    const bool stalls = fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    std::size_t head = 0, tail = 0, used = 0;
    bool ended = false;
    const char *instruction;
    std::uint16_t address = 0;
    readerror = writeerror = 0;
    if (!startListing(fd, head, tail, ended))
        readerror = failure();
    for (bool going = readerror == 0; going;) {
        // Nearly every line is clean: as many as the block holds and the
        // buffer has room for are converted in one run.
        head +=
            cleanSize * putCleanRecords(pending(head), (tail - head) / cleanSize, used, address);
        if (used == outSize) {
            if (!flushRecords(fout, used)) {
                writeerror = failure();
                break;
            }
            continue;
        }
        std::size_t n = cutInstruction(head, tail, ended, instruction);
        if (n > 0) {
            if (!writeDataRecord(fout, used, address, parseInstruction(instruction, n))) {
                writeerror = failure();
                break;
            }
            address = static_cast<std::uint16_t>(address + 2);
        } else if (ended) {
            break;
        } else {
            if (stalls && !flush(fout, used)) {
                writeerror = failure();
                break;
            }
            ssize_t got = fillBlock(fd, head, tail);
            if (got < 0) {
                readerror = failure();
                break;
            }
            ended = got == 0;
        }
    }
    if (writeerror == 0 && (!flush(fout, used) || std::ferror(fout)))
        writeerror = failure();
    return readerror == 0 && writeerror == 0;
}
