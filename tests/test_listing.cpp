// SPDX-License-Identifier: MIT
#include "listing.hpp"

#include <gtest/gtest.h>

#include <string>

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

} // namespace
