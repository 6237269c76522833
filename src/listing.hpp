// SPDX-License-Identifier: MIT
#ifndef QUORVEL_LISTING_HPP
#define QUORVEL_LISTING_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// A read of the listing is cut as fgets cuts with a buffer of this size: it
// holds at most instructionSize - 1 bytes.
constexpr std::size_t instructionSize = 64;

// The listing is taken from its descriptor into a block of blockSize bytes,
// private to the reader. The fuzzing build makes it tiny, so that reads cross
// block boundaries often.
#ifndef QUORVEL_BLOCK_SIZE
#define QUORVEL_BLOCK_SIZE (1 << 19)
#endif
constexpr std::size_t blockSize = QUORVEL_BLOCK_SIZE;
static_assert(blockSize >= instructionSize, "a block must hold a whole read");

// The bytes of the block from head to tail have been taken from the listing
// but not yet used; both start at 0.
//
// cutInstruction finds the next read among them: up to and including a
// newline, at most 63 bytes, or, once the input has ended, whatever is left.
// It points instruction at the read, moves head past it and returns its
// length. It returns 0 when the bytes left make no whole read: more input is
// needed, or, once ended, nothing is left.
std::size_t cutInstruction(std::size_t &head, std::size_t tail, bool ended,
                           const char *&instruction);

// Moves the unused bytes to the front of the block and appends what one read(2)
// of fd gives: whatever has arrived, up to the room left. Returns the number
// of bytes added, 0 at the end of the input, or -1 when the read failed
// (errno tells why).
ssize_t fillBlock(int fd, std::size_t &head, std::size_t &tail);

// Takes the first bytes of the listing from fd into the empty block, as
// fillBlock does, and steps head past a UTF-8 byte-order mark before them. Returns false when a
// read failed, or, with errno EILSEQ, when the listing starts with a UTF-16 byte-order mark: no
// reading of a listing saved so makes sense of it. Sets ended when the input has ended.
bool startListing(int fd, std::size_t &head, std::size_t &tail, bool &ended);

// The bytes of the block from head on.
const char *pending(std::size_t head);

// Nearly every line is sixteen binary digits and a newline: cleanSize bytes.
constexpr std::size_t cleanSize = 17;

// Whether the sixteen bytes at p are all binary digits, and if so the word's
// high and low byte, told apart in one test: with '0' taken from every byte,
// the digits are all 0 or 1 exactly when no byte has a bit above the lowest
// (a byte below '0' borrows, but then is no 0 or 1 itself). Each
// multiplication gathers the low bits of eight bytes into the top byte.
inline bool binary16(const char *p, unsigned &numberH, unsigned &numberL) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    constexpr std::uint64_t gather = 0x0102040810204080;
#else
    constexpr std::uint64_t gather = 0x8040201008040201;
#endif
    constexpr std::uint64_t zeros = 0x3030303030303030;
    std::uint64_t x, y;
    // std::copy_n: a fortified memcpy would check the bounds in a call.
    std::copy_n(p, 8, reinterpret_cast<char *>(&x));
    std::copy_n(p + 8, 8, reinterpret_cast<char *>(&y));
    x -= zeros;
    y -= zeros;
    if (((x | y) & 0xFEFEFEFEFEFEFEFE) != 0)
        return false;
    numberH = static_cast<unsigned>((x * gather) >> 56);
    numberL = static_cast<unsigned>((y * gather) >> 56);
    return true;
}

// Whether the cleanSize bytes at p are such a line, and if so its word's
// bytes. The digits are tested first: the conversion's run then keeps its
// values in registers.
inline bool cleanLine(const char *p, unsigned &numberH, unsigned &numberL) {
    return binary16(p, numberH, numberL) && p[16] == '\n';
}

// The word that the n bytes at instruction give: optional white space, an
// optional sign, then the longest run of binary digits, modulo 65536. A read
// without digits gives 0.
std::uint16_t parseInstruction(const char *instruction, std::size_t n);

#endif
