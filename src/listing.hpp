#ifndef QUORVEL_LISTING_HPP
#define QUORVEL_LISTING_HPP

#include <cstdint>
#include <cstdio>

// One read of the listing holds at most 63 bytes and a terminating NUL.
constexpr int instructionSize = 64;

// Reads the next piece of the listing into instruction, cut as fgets cuts
// with a buffer of instructionSize bytes: up to and including a newline, at
// most 63 bytes, or what is left at the end of input. Returns instruction, or
// nullptr when the input is exhausted or a read fails (then ferror(fin) is set).
char *readInstruction(std::FILE *fin, char *instruction);

// The word a read gives: optional white space, an optional sign, then the
// longest run of binary digits, modulo 65536. Anything else reads as 0.
std::uint16_t parseInstruction(const char *instruction);

#endif
