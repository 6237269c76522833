// libFuzzer target: arbitrary bytes as a listing, through the program's own
// reading, parsing and record writing, on in-memory streams. Every record is
// checked against a plain reference (fgets with 64 bytes, the base-2 rules,
// snprintf) and against the rules of the format; a violation aborts.

#include "listing.hpp"
#include "plain.hpp"
#include "record.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// fmemopen refuses an empty buffer; an empty listing is /dev/null.
std::FILE *listing(const std::uint8_t *data, std::size_t size) {
    return size > 0 ? fmemopen(const_cast<std::uint8_t *>(data), size, "r")
                    : std::fopen("/dev/null", "r");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::FILE *fin = listing(data, size);
    char *image = nullptr;
    std::size_t imagesize = 0;
    std::FILE *fout = open_memstream(&image, &imagesize);
    check(fin != nullptr && fout != nullptr, "streams open");
    static char block[blockSize], out[outSize];
    std::size_t head = 0, tail = 0, used = 0, n, reads = 0;
    const char *instruction;
    std::uint16_t address = 0;
    while ((n = readInstruction(fin, block, head, tail, instruction)) != 0) {
        check(n < instructionSize, "a read holds at most 63 bytes");
        check(writeDataRecord(fout, out, used, address, parseInstruction(instruction, n)),
              "record written");
        address = static_cast<std::uint16_t>(address + 2);
        reads++;
    }
    check(!std::ferror(fin), "no read error");
    check(flushRecords(fout, out, used) && std::fclose(fout) == 0, "image written");
    std::fclose(fin);

    check(imagesize == reads * recordSize, "16 bytes per read");
    std::FILE *ref = listing(data, size);
    check(ref != nullptr, "reference stream opens");
    char line[64];
    std::size_t k = 0;
    for (; std::fgets(line, sizeof line, ref) != nullptr; k++) {
        check(k < reads, "no more reads than fgets makes");
        const char *record = image + k * recordSize;
        unsigned a = static_cast<unsigned>(2 * k % 0x10000), w = plainparse(line);
        check(std::memcmp(record, plainrecord(a, w).data(), recordSize) == 0,
              "record as the reference gives it");
        unsigned total = 0;
        for (int at = 1; at < 15; at += 2)
            total += hexbyte(record + at);
        check(total % 256 == 0, "the seven bytes sum to zero");
        check((hexbyte(record + 3) << 8 | hexbyte(record + 5)) == a, "address steps by 2");
    }
    check(k == reads, "as many reads as fgets makes");
    std::fclose(ref);
    std::free(image);
    return 0;
}
