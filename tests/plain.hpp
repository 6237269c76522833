// SPDX-License-Identifier: MIT
#ifndef QUORVEL_TESTS_PLAIN_HPP
#define QUORVEL_TESTS_PLAIN_HPP

// The conversion done the plain way, to hold the program's output against:
// the base-2 rules written out over a NUL-terminated read, and a record
// formatted by snprintf. Shared by the tests and the fuzzer.

#include <cstdio>
#include <string>

inline unsigned plainparse(const char *s) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\v' || *s == '\f' || *s == '\r')
        s++;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    long long value = 0;
    while (*s == '0' || *s == '1')
        value = value * 2 + (*s++ - '0');
    if (negative)
        value = -value;
    return static_cast<unsigned>(static_cast<unsigned long long>(value) & 0xFFFF);
}

inline std::string plainrecord(unsigned address, unsigned number) {
    unsigned sum = 2 + (address >> 8) + (address & 0xFF) + (number >> 8) + (number & 0xFF);
    char line[32];
    std::snprintf(line, sizeof line, ":02%02X%02X00%02X%02X%02X\n", address >> 8, address & 0xFF,
                  number & 0xFF, number >> 8, (0x100 - sum % 256) % 256);
    return line;
}

#endif
