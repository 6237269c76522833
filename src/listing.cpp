// SPDX-License-Identifier: MIT
#include "listing.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// Out of every stack frame: the program must run in a small stack.
alignas(4096) char block[blockSize];

// Whether the eight bytes at p are all '0' or '1'. Their order does not
// matter here, so they are loaded as they lie.
bool binary8(const char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return (v & 0xFEFEFEFEFEFEFEFE) == 0x3030303030303030;
}

// The eight binary digits at p as the bits of one byte, the first digit the
// top bit.
unsigned bits8(const char *p) {
    const unsigned char *u = reinterpret_cast<const unsigned char *>(p);
    std::uint64_t v = std::uint64_t{u[0]} << 56 | std::uint64_t{u[1]} << 48 |
                      std::uint64_t{u[2]} << 40 | std::uint64_t{u[3]} << 32 |
                      std::uint64_t{u[4]} << 24 | std::uint64_t{u[5]} << 16 |
                      std::uint64_t{u[6]} << 8 | std::uint64_t{u[7]};
    // Each byte holds 0 or 1 in its low bit; the multiplication gathers those
    // bits in the top byte.
    return static_cast<unsigned>(((v & 0x0101010101010101) * 0x0102040810204080) >> 56);
}

// Where the read that starts at p ends, given left bytes from p on: after the
// first newline within 63 bytes, or after 63 bytes; 0 when left is less than
// that and holds no newline.
std::size_t cut(const char *p, std::size_t left) {
    const std::size_t most = instructionSize - 1;
    // Nearly every line is sixteen binary digits and a newline. Testing for
    // digits is the cheapest way to rule out an earlier newline, far cheaper
    // than calling memchr.
    if (left > 16 && p[16] == '\n' && binary8(p) && binary8(p + 8))
        return 17;
    const void *nl = std::memchr(p, '\n', left < most ? left : most);
    if (nl != nullptr)
        return static_cast<std::size_t>(static_cast<const char *>(nl) - p) + 1;
    return left >= most ? most : 0;
}

} // namespace

const char *pending(std::size_t head) {
    return block + head;
}

std::size_t cutInstruction(std::size_t &head, std::size_t tail, bool ended,
                           const char *&instruction) {
    std::size_t left = tail - head, n = cut(block + head, left);
    // As with fgets, the end of input ends a last line without a newline.
    if (n == 0 && ended)
        n = left;
    instruction = block + head;
    head += n;
    return n;
}

ssize_t fillBlock(int fd, std::size_t &head, std::size_t &tail) {
    std::size_t left = tail - head;
    std::memmove(block, block + head, left);
    head = 0;
    tail = left;
    ssize_t got;
    do
        got = read(fd, block + left, blockSize - left);
    while (got < 0 && errno == EINTR);
    if (got > 0)
        tail += static_cast<std::size_t>(got);
    return got;
}

bool startListing(int fd, std::size_t &head, std::size_t &tail, bool &ended) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(block);
    const char utf8[] = "\xEF\xBB\xBF";
    // Reads wait only while the bytes so far may still grow into a mark.
    ssize_t got = 1;
    while (got > 0 && (tail == 0 || (tail < 3 && std::memcmp(block, utf8, tail) == 0) ||
                       (tail == 1 && (p[0] == 0xFF || p[0] == 0xFE))))
        got = fillBlock(fd, head, tail);
    if (got < 0)
        return false;
    ended = got == 0;
    if (tail >= 3 && std::memcmp(block, utf8, 3) == 0) {
        head = 3;
    } else if (tail >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        errno = EILSEQ;
        return false;
    }
    return true;
}

std::uint16_t parseInstruction(const char *instruction, std::size_t n) {
    // Nearly every read is sixteen binary digits and a newline.
    if (n >= 16 && binary8(instruction) && binary8(instruction + 8) &&
        (n == 16 || (instruction[16] != '0' && instruction[16] != '1')))
        return static_cast<std::uint16_t>(bits8(instruction) << 8 | bits8(instruction + 8));

    const char *p = instruction, *end = instruction + n;
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
        p++;
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-'))
        p++;
    // A read holds at most 63 digits, so the magnitude never overflows the
    // parse's 64-bit range; keeping only 16 bits here gives the same word.
    unsigned number = 0;
    for (; p < end && (*p == '0' || *p == '1'); p++)
        number = (number << 1 | static_cast<unsigned>(*p - '0')) & 0xFFFF;
    if (negative)
        number = (0x10000 - number) & 0xFFFF;
    return static_cast<std::uint16_t>(number);
}
