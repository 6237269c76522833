// SPDX-License-Identifier: MIT
#include "record.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string record(std::uint16_t address, std::uint16_t number) {
    std::FILE *f = std::tmpfile();
    std::size_t used = 0;
    EXPECT_TRUE(writeDataRecord(f, used, address, number));
    EXPECT_TRUE(flushRecords(f, used));
    std::rewind(f);
    char line[64] = {};
    std::size_t n = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    return std::string(line, n);
}

struct Golden {
    std::uint16_t address, number;
    const char *line;
};

void PrintTo(const Golden &g, std::ostream *os) {
    *os << g.line;
}

class WriteDataRecord : public testing::TestWithParam<Golden> {};

TEST_P(WriteDataRecord, WritesTheGoldenLine) {
    EXPECT_EQ(record(GetParam().address, GetParam().number), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Table, WriteDataRecord,
                         testing::Values(Golden{0x0002, 0xEC10, ":0200020010EC00\n"},
                                         Golden{0x000A, 0x7FFF, ":02000A00FF7F76\n"},
                                         Golden{0xFFFE, 0xFFFF, ":02FFFE00FFFF03\n"},
                                         Golden{0xABCE, 0x1234, ":02ABCE0034123F\n"}));

unsigned hexbyte(const std::string &s, std::size_t at) {
    return static_cast<unsigned>(std::stoul(s.substr(at, 2), nullptr, 16));
}

// Every record of a few addresses reads back to its own address and word and
// sums to zero over its seven bytes.
TEST(WriteDataRecord, EveryWordReadsBackAndSumsToZero) {
    std::FILE *f = std::tmpfile();
    std::size_t used = 0;
    const std::uint16_t addresses[] = {0x0000, 0x00FE, 0x7FFE, 0xFFFE};
    for (std::uint16_t address : addresses)
        for (unsigned number = 0; number <= 0xFFFF; number++)
            ASSERT_TRUE(writeDataRecord(f, used, address, static_cast<std::uint16_t>(number)));
    ASSERT_TRUE(flushRecords(f, used));
    std::rewind(f);
    char buf[recordSize + 1];
    for (std::uint16_t address : addresses)
        for (unsigned number = 0; number <= 0xFFFF; number++) {
            ASSERT_EQ(std::fread(buf, 1, recordSize, f), std::size_t(recordSize));
            std::string line(buf, recordSize);
            ASSERT_EQ(line.substr(0, 3), ":02");
            ASSERT_EQ(line.substr(7, 2), "00");
            ASSERT_EQ(line.back(), '\n');
            ASSERT_EQ(line.find_first_not_of("0123456789ABCDEF", 1), std::size_t(15)) << line;
            unsigned sum = 0;
            for (std::size_t at = 1; at < 15; at += 2)
                sum += hexbyte(line, at);
            ASSERT_EQ(sum % 256, 0u) << line;
            ASSERT_EQ(hexbyte(line, 3) << 8 | hexbyte(line, 5), address) << line;
            ASSERT_EQ(hexbyte(line, 11) << 8 | hexbyte(line, 9), number) << line;
        }
    std::fclose(f);
}

} // namespace
