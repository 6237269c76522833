// SPDX-License-Identifier: MIT
#include "record.hpp"

#include <algorithm>
#include <array>

#include "listing.hpp"

/*
 * A data record carries one word, low byte first, and is one line of
 * recordSize bytes:
 *
 *   :     start code
 *   02    byte count, always 2
 *   AAAA  address, high byte first (addresses count bytes and step by 2)
 *   00    record type, always data
 *   LLHH  the word, low byte then high byte
 *   CC    checksum: 0x100 minus the sum of the six bytes before it, so the
 *         seven bytes of a record add up to 0 modulo 256
 *   \n    a line feed alone
 *
 * All bytes are two upper-case hex digits.
 */

namespace {

// The two hex digits of every byte value, side by side.
constexpr std::array<char, 512> hexpairs = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<char, 512> t{};
    for (std::size_t b = 0; b < 256; b++) {
        t[2 * b] = digits[b >> 4];
        t[2 * b + 1] = digits[b & 0xF];
    }
    return t;
}();

// The bit at which byte i of a record's eight bytes from start or from 8 lies
// when they are loaded as one word.
constexpr unsigned at(unsigned i) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return 8 * (7 - i);
#else
    return 8 * i;
#endif
}

// The hex digits of every byte value as bytes 1 and 2, 3 and 4, and 5 and 6
// of such a word: pairs[k][b] for bytes 2k + 1 and 2k + 2.
constexpr std::array<std::array<std::uint64_t, 256>, 3> pairs = [] {
    std::array<std::array<std::uint64_t, 256>, 3> t{};
    for (unsigned k = 0; k < 3; k++)
        for (unsigned b = 0; b < 256; b++)
            t[k][b] = std::uint64_t(static_cast<unsigned char>(hexpairs[2 * b])) << at(2 * k + 1) |
                      std::uint64_t(static_cast<unsigned char>(hexpairs[2 * b + 1]))
                          << at(2 * k + 2);
    return t;
}();

// Out of every stack frame: the program must run in a small stack. Aligned,
// so that whole buffers are written at aligned offsets.
alignas(4096) char out[outSize];

// std::copy rather than memcpy throughout: writeDataRecord makes room for the
// whole record first, and a fortified memcpy would check again, in a call per
// field.
void puthex(char *p, unsigned byte) {
    std::copy_n(&hexpairs[2 * byte], 2, p);
}

} // namespace

bool writeDataRecord(std::FILE *fout, std::size_t &used, std::uint16_t address,
                     std::uint16_t number) {
    if (used + recordSize > outSize && !flushRecords(fout, used))
        return false;
    unsigned addressH = address >> 8, addressL = address & 0xFF;
    unsigned numberH = number >> 8, numberL = number & 0xFF;
    unsigned checksum = (0xFE - addressH - addressL - numberH - numberL) & 0xFF;

    char *record = out + used;
    std::copy_n(":02AAAA00LLHHCC\n", recordSize, record);
    puthex(record + 3, addressH);
    puthex(record + 5, addressL);
    puthex(record + 9, numberL);
    puthex(record + 11, numberH);
    puthex(record + 13, checksum);
    used += recordSize;
    return true;
}

std::size_t putCleanRecords(const char *text, std::size_t lines, std::size_t &used,
                            std::uint16_t &address) {
    constexpr auto byte = [](unsigned char c, unsigned i) { return std::uint64_t{c} << at(i); };
    constexpr std::uint64_t head = byte(':', 0) | byte('0', 1) | byte('2', 2) | byte('0', 7),
                            tail = byte('0', 0) | byte('\n', 7);
    lines = std::min(lines, (outSize - used) / recordSize);
    char *record = out + used;
    std::size_t done = 0;
    // The address's high byte stays the same for up to 128 records: its
    // digits and its share of the checksum are worked out once for them.
    while (done < lines) {
        const unsigned addressH = address >> 8, from = address & 0xFF,
                       left = static_cast<unsigned>(std::min(lines - done, std::size_t{128})),
                       to = std::min(from + 2 * left, 256u);
        const std::uint64_t start = head | pairs[1][addressH];
        unsigned addressL = from, numberH, numberL;
        for (unsigned sum = 0xFE - addressH - from;
             addressL < to && cleanLine(text, numberH, numberL); addressL += 2, sum -= 2) {
            const std::uint64_t first = start | pairs[2][addressL],
                                second = tail | pairs[0][numberL] | pairs[1][numberH] |
                                         pairs[2][(sum - numberH - numberL) & 0xFF];
            std::copy_n(reinterpret_cast<const char *>(&first), 8, record);
            std::copy_n(reinterpret_cast<const char *>(&second), 8, record + 8);
            record += recordSize;
            text += cleanSize;
        }
        const unsigned k = (addressL - from) / 2;
        done += k;
        address = static_cast<std::uint16_t>(address + 2 * k);
        if (addressL < to)
            break;
    }
    used += done * recordSize;
    return done;
}

bool flushRecords(std::FILE *fout, std::size_t &used) {
    std::size_t n = used;
    used = 0;
    return std::fwrite(out, 1, n, fout) == n;
}
