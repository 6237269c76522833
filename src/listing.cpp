// SPDX-License-Identifier: MIT
#include "listing.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// Out of every stack frame: the program must run in a small stack.
alignas(4096) char block[blockSize];

// Where the read that starts at p ends, given left bytes from p on: after the
// first newline within 63 bytes, or after 63 bytes; 0 when left is less than
// that and holds no newline.
std::size_t cut(const char *p, std::size_t left) {
    // Clean lines never come here: the conversion takes them in runs.
    const std::size_t most = instructionSize - 1;
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
    // Sixteen binary digits and no more, before a carriage return, say.
    unsigned numberH, numberL;
    if (n >= 16 && (n == 16 || (instruction[16] != '0' && instruction[16] != '1')) &&
        binary16(instruction, numberH, numberL))
        return static_cast<std::uint16_t>(numberH << 8 | numberL);

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
