#include "listing.hpp"

char *readInstruction(std::FILE *fin, char *instruction) {
    return std::fgets(instruction, instructionSize, fin);
}

std::uint16_t parseInstruction(const char *instruction) {
    const char *p = instruction;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        p++;
    // A read holds at most 63 digits, so the magnitude never overflows the
    // parse's 64-bit range; keeping only 16 bits here gives the same word.
    unsigned number = 0;
    for (; *p == '0' || *p == '1'; p++)
        number = (number << 1 | static_cast<unsigned>(*p - '0')) & 0xFFFF;
    if (negative)
        number = (0x10000 - number) & 0xFFFF;
    return static_cast<std::uint16_t>(number);
}
