// SPDX-License-Identifier: MIT

// The program against a plain reference over generated listings: fgets with
// 64 bytes, the base-2 rules written out, and each record formatted by
// snprintf. Any difference in how reads are cut, parsed or written shows.

#include "listing.hpp"
#include "plain.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

std::string plainconvert(const std::string &listing) {
    std::FILE *f = std::tmpfile();
    std::fwrite(listing.data(), 1, listing.size(), f);
    std::rewind(f);
    std::string image;
    char instruction[64];
    unsigned address = 0;
    while (std::fgets(instruction, sizeof instruction, f) != nullptr) {
        image += plainrecord(address, plainparse(instruction));
        address = (address + 2) % 0x10000;
    }
    std::fclose(f);
    return image;
}

std::string digits(std::mt19937 &rng, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; i++)
        s += static_cast<char>('0' + rng() % 2);
    return s;
}

// A listing of mostly ordinary words, with the odd lines that real files and
// hostile ones hold. Every sixteenth listing is large enough that reads cross
// the program's block boundaries many times.
std::string listing(std::mt19937 &rng, int index) {
    static const std::size_t lengths[] = {0, 1, 15, 16, 17, 62, 63, 64, 125, 126, 127, 200};
    std::size_t lines = index % 16 == 15 ? 4 * blockSize / 17 : rng() % 200;
    std::string s;
    for (std::size_t i = 0; i < lines; i++) {
        switch (rng() % 12) {
        case 0:
            s += digits(rng, 16) + "\r\n";
            break;
        case 1:
            s += digits(rng, lengths[rng() % 12]) + "\n";
            break;
        case 2:
            s += std::string(rng() % 2 ? "+" : "-") + digits(rng, rng() % 20) + "\n";
            break;
        case 3:
            s += std::string(rng() % 4, " \t\v\f\r"[rng() % 5]) + digits(rng, 16) + "\n";
            break;
        case 4: {
            std::string word = digits(rng, 16);
            word[rng() % 16] = '\0';
            s += word + "\n";
            break;
        }
        case 5: {
            std::size_t n = rng() % 80;
            for (std::size_t k = 0; k < n; k++)
                s += static_cast<char>(rng() % 256);
            break;
        }
        case 6:
            s += rng() % 2 ? "\n" : "0b101 // comment\n";
            break;
        default:
            s += digits(rng, 16) + "\n";
        }
    }
    if (!s.empty() && rng() % 3 == 0)
        s.pop_back(); // no newline at the end
    return s;
}

TEST(Differential, EveryListingGivesTheReferenceImage) {
    std::mt19937 rng(20261208);
    Scratch scratch;
    for (int i = 0; i < 300; i++) {
        std::string text = listing(rng, i);
        spit(scratch.work() / "a.hack", text);
        Result r = scratch.run({"a.hack", "a.hex"});
        ASSERT_EQ(r.status, 0) << "listing " << i << ": " << r.err;
        std::string got = slurp(scratch.work() / "a.hex"), want = plainconvert(text);
        ASSERT_EQ(got.size(), want.size()) << "listing " << i;
        ASSERT_TRUE(got == want) << "listing " << i << " differs";
    }
}

} // namespace
