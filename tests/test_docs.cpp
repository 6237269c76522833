// SPDX-License-Identifier: MIT

// What the manual page, the README and the batch Makefile show must be what
// the program does, and an install must give a working program.

#include "support.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

const fs::path source = QUORVEL_SOURCE_DIR;

bool have(const std::string &tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// The lines of every ".Bd -literal" block after the EXAMPLES heading.
std::vector<std::string> examples(const std::string &page) {
    std::vector<std::string> blocks;
    std::istringstream in(page.substr(page.find(".Sh EXAMPLES")));
    std::string line, *block = nullptr;
    while (std::getline(in, line)) {
        if (line.rfind(".Sh ", 0) == 0 && line != ".Sh EXAMPLES")
            break;
        if (line.rfind(".Bd -literal", 0) == 0)
            block = &blocks.emplace_back();
        else if (line == ".Ed")
            block = nullptr;
        else if (block != nullptr)
            *block += line + "\n";
    }
    return blocks;
}

std::string convert(const std::string &listing) {
    Scratch s;
    spit(s.work() / "count.hack", listing);
    Result r = s.run({"count.hack", "count.hex"});
    EXPECT_EQ(r.status, 0) << r.err;
    return slurp(s.work() / "count.hex");
}

TEST(ManualPage, ExampleIsTheProgramsOwnOutput) {
    std::vector<std::string> blocks = examples(slurp(source / "man/quorvel.1"));
    ASSERT_GE(blocks.size(), 3u);
    const std::string listing = slurp(source / "examples/count.hack");
    EXPECT_EQ(blocks[0], listing) << "the page shows the bundled example";
    EXPECT_EQ(blocks[1], convert(listing));
    // The bytes the readers give back, as od prints them.
    std::string bytes;
    std::istringstream words(listing);
    for (std::string word; std::getline(words, word);) {
        unsigned w = static_cast<unsigned>(std::stoul(word, nullptr, 2));
        char pair[16];
        std::snprintf(pair, sizeof pair, " %02x %02x", w & 0xFF, w >> 8 & 0xFF);
        bytes += pair;
    }
    EXPECT_NE(blocks[2].find("\n" + bytes + "\n"), std::string::npos) << blocks[2];
}

TEST(ManualPage, RendersWithoutWarnings) {
    const std::string page = (source / "man/quorvel.1").string();
    std::string command;
    if (have("mandoc"))
        command = "mandoc -T lint -W warning '" + page + "' 2>&1";
    else if (have("groff"))
        command = "groff -mandoc -ww -z '" + page + "' 2>&1";
    else
        GTEST_SKIP() << "neither mandoc nor groff is installed";
    std::FILE *p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string said;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr)
        said += buf;
    EXPECT_EQ(pclose(p), 0) << said;
    EXPECT_EQ(said, "");
}

TEST(Readme, ExampleIsTheProgramsOwnOutput) {
    const std::string readme = slurp(source / "README.md");
    const std::string image = convert(slurp(source / "examples/count.hack"));
    EXPECT_NE(readme.find("```\n" + image + "```\n"), std::string::npos);
    EXPECT_EQ(image, slurp(source / "tests/data/count.hex"));
}

TEST(Batch, MakefileConvertsEveryListingInParallel) {
    if (!have("make"))
        GTEST_SKIP() << "make is not installed";
    Scratch s;
    std::vector<std::vector<std::uint16_t>> sets;
    for (std::size_t i = 0; i < 6; i++) {
        sets.push_back(words(1000 * (i + 1)));
        sets.back().erase(sets.back().begin(), sets.back().begin() + static_cast<long>(i));
        spit(s.work() / ("l" + std::to_string(i) + ".hack"), hack(sets.back()));
    }
    const std::string command = "make -s -j2 -C '" + s.work().string() + "' -f '" +
                                (source / "examples/Makefile").string() + "' QUORVEL='" +
                                QUORVEL_BIN + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (std::size_t i = 0; i < sets.size(); i++)
        EXPECT_TRUE(slurp(s.work() / ("l" + std::to_string(i) + ".hex")) == hex(sets[i])) << i;
}

TEST(Install, PutsProgramPageAndReadmeUnderThePrefix) {
    Scratch s;
    const fs::path prefix = s.work() / "prefix";
    const std::string command = "'" CMAKE_COMMAND "' --install '" QUORVEL_BUILD_DIR "' --prefix '" +
                                prefix.string() + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(fs::is_regular_file(prefix / "share/man/man1/quorvel.1"));
    EXPECT_EQ(slurp(prefix / "share/doc/quorvel/README.md"), slurp(source / "README.md"));
    const fs::path installed = prefix / "bin/quorvel";
    ASSERT_TRUE(fs::is_regular_file(installed));
    const std::string run = "'" + installed.string() + "' '" +
                            (source / "examples/count.hack").string() + "' '" +
                            (s.work() / "count.hex").string() + "'";
    ASSERT_EQ(std::system(run.c_str()), 0);
    EXPECT_EQ(slurp(s.work() / "count.hex"), slurp(source / "tests/data/count.hex"));
}

} // namespace
