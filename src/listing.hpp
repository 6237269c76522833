#ifndef QUORVEL_LISTING_HPP
#define QUORVEL_LISTING_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A read of the listing is cut as fgets cuts with a buffer of this size: it
// holds at most instructionSize - 1 bytes.
constexpr std::size_t instructionSize = 64;

// The listing is read from fin into a caller's buffer of blockSize bytes. The
// fuzzing build makes it tiny, so that reads cross block boundaries often.
#ifndef QUORVEL_BLOCK_SIZE
#define QUORVEL_BLOCK_SIZE (1 << 17)
#endif
constexpr std::size_t blockSize = QUORVEL_BLOCK_SIZE;
static_assert(blockSize >= instructionSize, "a block must hold a whole read");

// Finds the next read of the listing: up to and including a newline, at most
// 63 bytes, or what is left at the end of input. block holds what has been
// read from fin but not yet used, from head to tail; both start at 0. Points
// instruction at the read, inside block, and returns its length; returns 0
// when the input is exhausted or a read fails (then ferror(fin) is set and
// errno tells why).
std::size_t readInstruction(std::FILE *fin, char *block, std::size_t &head, std::size_t &tail,
                            const char *&instruction);

// The word that the n bytes at instruction give: optional white space, an
// optional sign, then the longest run of binary digits, modulo 65536. A read
// without digits gives 0.
std::uint16_t parseInstruction(const char *instruction, std::size_t n);

#endif
