// SPDX-License-Identifier: MIT
#include "listing.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
    std::string text;
    std::uint16_t number;
};

void PrintTo(const ParseCase &c, std::ostream *os) {
    *os << testing::PrintToString(c.text);
}

class ParseInstruction : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseInstruction, GivesTheWord) {
    const std::string &text = GetParam().text;
    EXPECT_EQ(parseInstruction(text.data(), text.size()), GetParam().number);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseInstruction,
    testing::Values(
        ParseCase{"0000000000000010\n", 0x0002}, ParseCase{"1110110000010000\n", 0xEC10},
        ParseCase{"0111111111111111", 0x7FFF}, ParseCase{"1111111111111111\n", 0xFFFF},
        ParseCase{"1000000000000000\n", 0x8000}, ParseCase{"1111111111111112\n", 0x7FFF},
        ParseCase{"0000000000000003\n", 0x0000}, ParseCase{"\n", 0x0000}, ParseCase{"", 0x0000},
        ParseCase{"  101", 0x0005}, ParseCase{" -1", 0xFFFF}, ParseCase{"\t\v\f\r\n 11", 0x0003},
        ParseCase{"+101", 0x0005}, ParseCase{"-1", 0xFFFF}, ParseCase{"-0", 0x0000},
        ParseCase{"-1000000000000000", 0x8000}, ParseCase{"1012", 0x0005}, ParseCase{"2", 0x0000},
        ParseCase{"0b101", 0x0000}, ParseCase{"0x11", 0x0000}, ParseCase{"// x", 0x0000},
        ParseCase{"+-1", 0x0000}, ParseCase{"- 1", 0x0000}, ParseCase{"+", 0x0000},
        ParseCase{"11111111111111111", 0xFFFF}, ParseCase{"10000000000000000", 0x0000},
        ParseCase{"101010101010101011001100110011001111000011110000\n", 0xF0F0},
        ParseCase{"1110110000010000\r\n", 0xEC10}, ParseCase{"110 // comment", 0x0006},
        ParseCase{"\x01"
                  "1",
                  0x0000},
        ParseCase{"\xA0"
                  "1",
                  0x0000},
        // Neither passes for sixteen digits: a high bit, or a byte below '0'.
        ParseCase{"000000000000000\xB1", 0x0000},
        ParseCase{std::string("00000000\x01\0\0\0\0\0\0\0", 16), 0x0000}));

// Writes bytes to an unlinked temporary file and collects every read of it.
std::vector<std::string> reads(const std::string &bytes) {
    std::FILE *f = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fflush(f);
    std::rewind(f);
    std::vector<std::string> got;
    std::size_t head = 0, tail = 0, n;
    bool ended = false;
    const char *instruction;
    while ((n = cutInstruction(head, tail, ended, instruction)) != 0 || !ended) {
        if (n != 0) {
            got.emplace_back(instruction, n);
        } else {
            ssize_t k = fillBlock(fileno(f), head, tail);
            EXPECT_GE(k, 0);
            ended = k <= 0;
        }
    }
    std::fclose(f);
    return got;
}

struct CutCase {
    const char *name;
    std::string bytes;
    std::vector<std::string> reads;
};

void PrintTo(const CutCase &c, std::ostream *os) {
    *os << c.name;
}

class CutInstruction : public testing::TestWithParam<CutCase> {};

TEST_P(CutInstruction, CutsLikeFgetsOf64) {
    EXPECT_EQ(reads(GetParam().bytes), GetParam().reads);
}

const std::string d62(62, '1'), d63(63, '0'), d64(64, '1');

INSTANTIATE_TEST_SUITE_P(
    Table, CutInstruction,
    testing::Values(CutCase{"empty", "", {}}, CutCase{"one_line", "101\n", {"101\n"}},
                    CutCase{"no_final_newline", "1\n10", {"1\n", "10"}},
                    CutCase{"empty_lines", "\n\n", {"\n", "\n"}},
                    CutCase{"crlf", "1\r\n0\r\n", {"1\r\n", "0\r\n"}},
                    CutCase{"line_of_62", d62 + "\n", {d62 + "\n"}},
                    CutCase{"line_of_63", d63 + "\n", {d63, "\n"}},
                    CutCase{"line_of_64", d64 + "\n", {d64.substr(0, 63), "1\n"}},
                    CutCase{"line_of_126", d63 + d63 + "\n", {d63, d63, "\n"}},
                    CutCase{"line_of_63_at_end", d63, {d63}}),
    [](const testing::TestParamInfo<CutCase> &p) { return std::string(p.param.name); });

} // namespace
