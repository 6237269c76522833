// SPDX-License-Identifier: MIT

// libFuzzer target: arbitrary bytes as a listing, through the program's own
// conversion loop. Each input is converted three times: from a regular file
// (whole blocks), from a pipe (records written through before every read) and,
// from a pipe again, into an output with room for only part of the image. The
// image is checked against a plain reference (fgets with 64 bytes, the base-2
// rules, snprintf) and against the rules of the format; a violation aborts.

#include "convert.hpp"
#include "plain.hpp"
#include "record.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "violation: %s\n", what);
        std::abort();
    }
}

unsigned hexbyte(const char *p) {
    char two[3] = {p[0], p[1], '\0'};
    return static_cast<unsigned>(std::strtoul(two, nullptr, 16));
}

// The image the plain way: fgets with 64 bytes over the same bytes.
std::string reference(const std::uint8_t *data, std::size_t size) {
    std::string image;
    // fmemopen refuses an empty buffer.
    if (size == 0)
        return image;
    std::FILE *f = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    check(f != nullptr, "reference stream opens");
    char line[64];
    for (unsigned address = 0; std::fgets(line, sizeof line, f) != nullptr;
         address = (address + 2) % 0x10000)
        image += plainrecord(address, plainparse(line));
    std::fclose(f);
    return image;
}

// The listing as a regular file in memory, or as a pipe that holds it all.
std::FILE *listing(const std::uint8_t *data, std::size_t size, bool pipe) {
    int fds[2];
    if (pipe) {
        check(::pipe(fds) == 0, "pipe");
        check(fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(size + 1)) >= 0 || size < 65536,
              "pipe holds the listing");
    } else {
        fds[0] = fds[1] = memfd_create("listing", 0);
        check(fds[0] >= 0, "memfd");
    }
    check(write(fds[1], data, size) == static_cast<ssize_t>(size), "listing written");
    if (pipe)
        close(fds[1]);
    else
        lseek(fds[0], 0, SEEK_SET);
    std::FILE *f = fdopen(fds[0], "r");
    check(f != nullptr, "listing opens");
    return f;
}

// An output that keeps what it is given, up to room bytes; past that a write
// fails as on a full disk.
struct Sink {
    std::string bytes;
    std::size_t room;
};

ssize_t put(void *cookie, const char *p, std::size_t n) {
    Sink &s = *static_cast<Sink *>(cookie);
    std::size_t k = std::min(n, s.room - s.bytes.size());
    s.bytes.append(p, k);
    if (k < n)
        errno = ENOSPC;
    return static_cast<ssize_t>(k);
}

// Converts through the program's loop; returns whether it succeeded.
bool run(const std::uint8_t *data, std::size_t size, bool pipe, bool utf16, Sink &sink) {
    std::FILE *fin = listing(data, size, pipe);
    std::FILE *fout = fopencookie(&sink, "w", {nullptr, put, nullptr, nullptr});
    check(fout != nullptr, "output opens");
    int readerror = -1, writeerror = -1;
    bool ok = convert(fin, fout, readerror, writeerror);
    check(readerror == (utf16 ? EILSEQ : 0), "a read error for UTF-16 alone");
    check(ok == (readerror == 0 && writeerror == 0), "status as the errors say");
    check(ok || utf16 || writeerror == ENOSPC, "a write failure is reported as such");
    std::fclose(fout);
    std::fclose(fin);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // An editor's byte-order mark: UTF-8's is skipped, UTF-16's refused.
    const bool utf16 =
        size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF));
    const std::size_t mark =
        size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
    const std::string want = utf16 ? "" : reference(data + mark, size - mark);
    for (int i = 0; i < 3; i++) {
        // The third run has room for none, a third, two thirds or all of the
        // image, as the size of the input chooses.
        Sink sink{"", i < 2 ? std::string::npos : want.size() * (size % 4) / 3};
        bool ok = run(data, size, i > 0, utf16, sink);
        const std::string &got = sink.bytes;
        check(ok == (!utf16 && want.size() <= sink.room),
              "fails exactly when the image does not fit or the listing is UTF-16");
        check(got == want.substr(0, sink.room), "the image, or as much of it as fits");
        for (std::size_t k = 0; k < got.size() / recordSize; k++) {
            const char *record = got.data() + k * recordSize;
            unsigned total = 0;
            for (int at = 1; at < 15; at += 2)
                total += hexbyte(record + at);
            check(total % 256 == 0, "the seven bytes sum to zero");
            check((hexbyte(record + 3) << 8 | hexbyte(record + 5)) == 2 * k % 0x10000,
                  "address steps by 2");
        }
    }
    return 0;
}
