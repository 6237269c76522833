#include "record.hpp"

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

constexpr char hexdigits[] = "0123456789ABCDEF";

void puthex(char *p, unsigned byte) {
    p[0] = hexdigits[byte >> 4];
    p[1] = hexdigits[byte & 0xF];
}

} // namespace

bool writeDataRecord(std::FILE *fout, std::uint16_t address, std::uint16_t number) {
    unsigned addressH = address >> 8, addressL = address & 0xFF;
    unsigned numberH = number >> 8, numberL = number & 0xFF;
    unsigned checksum = (0xFE - addressH - addressL - numberH - numberL) & 0xFF;

    char record[recordSize] = {':', '0', '2', 0, 0, 0, 0, '0', '0', 0, 0, 0, 0, 0, 0, '\n'};
    puthex(record + 3, addressH);
    puthex(record + 5, addressL);
    puthex(record + 9, numberL);
    puthex(record + 11, numberH);
    puthex(record + 13, checksum);
    return std::fwrite(record, 1, recordSize, fout) == recordSize;
}
