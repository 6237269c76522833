// SPDX-License-Identifier: MIT

// The straightforward way to convert a listing, kept as the baseline the
// benchmark measures quorvel against: one fgets, one strtol and one fprintf
// per line.

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[]) {
    if (argc != 3) {
        std::fputs("usage: reference LISTING OUTPUT\n", stderr);
        return 1;
    }
    std::FILE *fin = std::fopen(argv[1], "r");
    std::FILE *fout = fin != nullptr ? std::fopen(argv[2], "w") : nullptr;
    if (fout == nullptr) {
        std::perror("reference");
        return 1;
    }
    char instruction[64];
    unsigned address = 0;
    while (std::fgets(instruction, sizeof instruction, fin) != nullptr) {
        char *endptr;
        unsigned number = static_cast<unsigned long>(std::strtol(instruction, &endptr, 2)) & 0xFFFF;
        unsigned sum = (address >> 8) + (address & 0xFF) + (number >> 8) + (number & 0xFF);
        std::fprintf(fout, ":02%02X%02X00%02X%02X%02X\n", address >> 8, address & 0xFF,
                     number & 0xFF, number >> 8, (0xFE - sum) & 0xFF);
        address = (address + 2) & 0xFFFF;
    }
    return std::ferror(fin) || std::fclose(fout) != 0 ? 1 : 0;
}
