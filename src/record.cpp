// SPDX-License-Identifier: MIT
#include "record.hpp"

#include <algorithm>
#include <array>

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

// Out of every stack frame: the program must run in a small stack.
char out[outSize];

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

bool flushRecords(std::FILE *fout, std::size_t &used) {
    std::size_t n = used;
    used = 0;
    return std::fwrite(out, 1, n, fout) == n;
}
