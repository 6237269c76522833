// SPDX-License-Identifier: MIT

// What the manual page, the README and the batch Makefile show must be what
// the program does, and an install must give a working program.

#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

const fs::path source = QUORVEL_SOURCE_DIR;
// The recipes' command as built, with the quorvel beside it.
const std::string rom = QUORVEL_BUILD_DIR "/quorvel-rom";

bool have(const std::string &tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// What a shell command prints on standard output; its exit status in status.
std::string capture(const std::string &command, int &status) {
    std::string said;
    std::FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) {
        status = -1;
        return said;
    }
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        said.append(buf, n);
    status = pclose(p);
    return said;
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
    const std::string pages = "'" + (source / "man/quorvel.1").string() + "' '" +
                              (source / "man/quorvel-rom.1").string() + "'";
    std::string command;
    if (have("mandoc"))
        command = "mandoc -T lint -W warning " + pages + " 2>&1";
    else if (have("groff"))
        command = "groff -mandoc -ww -z " + pages + " 2>&1";
    else
        GTEST_SKIP() << "neither mandoc nor groff is installed";
    int status;
    const std::string said = capture(command, status);
    EXPECT_EQ(status, 0) << said;
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
    const std::string command =
        "cd '" + s.work().string() + "' && '" + rom + "' -s -j2 >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (std::size_t i = 0; i < sets.size(); i++)
        EXPECT_TRUE(slurp(s.work() / ("l" + std::to_string(i) + ".hex")) == hex(sets[i])) << i;
}

// From image to ROM: each product of the Makefile read back by a decoder
// written from its format's description, never by the tool that made it.
using Words = std::vector<std::uint16_t>;

// The text with every comment, from start to the end of the line (or from
// start to stop), made a blank.
std::string uncomment(std::string text, const std::string &start, const std::string &stop = "\n") {
    for (std::size_t at; (at = text.find(start)) != std::string::npos;) {
        std::size_t end = text.find(stop, at + start.size());
        end = end == std::string::npos ? text.size() : end + stop.size();
        text.replace(at, end - at, " ");
    }
    return text;
}

std::uint16_t hexword(const std::string &token) {
    std::size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(token, &used, 16);
    } catch (const std::exception &) {
    }
    EXPECT_TRUE(used == token.size() && !token.empty() && v <= 0xFFFF) << "not a word: " << token;
    return static_cast<std::uint16_t>(v);
}

// Flat binary: two bytes a word, low byte first.
Words decodebin(const fs::path &file) {
    const std::string b = slurp(file);
    EXPECT_EQ(b.size() % 2, 0u);
    Words ws;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2)
        ws.push_back(static_cast<std::uint16_t>(std::uint8_t(b[i]) | std::uint8_t(b[i + 1]) << 8));
    return ws;
}

// One EEPROM's half: a byte a word.
Words decodebytes(const fs::path &file) {
    Words ws;
    for (char c : slurp(file))
        ws.push_back(std::uint8_t(c));
    return ws;
}

// Memory Initialization File: "--" comments and "%" comments; "KEY = VALUE;"
// settings; between CONTENT BEGIN and END, "ADDRESS : WORD ...;" with the
// words at consecutive addresses, or "[FIRST..LAST] : WORD;".
Words decodemif(const fs::path &file) {
    std::string settings = uncomment(uncomment(slurp(file), "--"), "%", "%"), content, statement;
    const std::size_t begin = settings.find("CONTENT"), end = settings.rfind("END");
    EXPECT_TRUE(begin != std::string::npos && end != std::string::npos && begin < end);
    if (begin == std::string::npos || end == std::string::npos || begin > end)
        return {};
    content = settings.substr(begin + 7, end - begin - 7);
    settings.resize(begin);
    std::istringstream set(settings);
    long depth = -1;
    while (std::getline(set, statement, ';')) {
        std::istringstream fields(statement);
        std::string key, eq, value;
        if (!(fields >> key >> eq >> value))
            continue;
        if (key == "WIDTH") {
            EXPECT_EQ(value, "16");
        } else if (key == "DEPTH") {
            depth = std::stol(value);
        } else if (key == "ADDRESS_RADIX" || key == "DATA_RADIX") {
            EXPECT_EQ(value, "HEX") << key;
        }
    }
    EXPECT_GT(depth, 0);
    Words ws(static_cast<std::size_t>(std::max(depth, 0L)));
    std::vector<bool> given(ws.size());
    std::istringstream entries(content);
    entries >> statement; // BEGIN
    EXPECT_EQ(statement, "BEGIN");
    while (std::getline(entries, statement, ';')) {
        const std::size_t colon = statement.find(':');
        if (colon == std::string::npos) {
            EXPECT_EQ(statement.find_first_not_of(" \t\r\n"), std::string::npos) << statement;
            continue;
        }
        std::istringstream address(statement.substr(0, colon)), data(statement.substr(colon + 1));
        std::string a, w;
        address >> a;
        std::size_t first, last;
        std::vector<std::uint16_t> values;
        while (data >> w)
            values.push_back(hexword(w));
        if (a.front() == '[') {
            const std::size_t dots = a.find("..");
            first = hexword(a.substr(1, dots - 1));
            last = hexword(a.substr(dots + 2, a.size() - dots - 3));
            EXPECT_EQ(values.size(), 1u) << statement;
        } else {
            first = hexword(a);
            last = first + values.size() - 1;
        }
        for (std::size_t k = first; k <= last && k < ws.size(); k++) {
            EXPECT_FALSE(given[k]) << "address " << k << " given twice";
            ws[k] = values.size() == 1 ? values[0] : values[k - first];
            given[k] = true;
        }
        EXPECT_LT(last, ws.size()) << "past DEPTH: " << statement;
    }
    EXPECT_EQ(std::count(given.begin(), given.end(), false), 0) << "addresses without a word";
    return ws;
}

// Coefficient file: ";" comments; "memory_initialization_radix=16;" and
// "memory_initialization_vector=" followed by the words, separated by commas
// or white space, and a ";".
Words decodecoe(const fs::path &file) {
    const std::string text = slurp(file);
    const std::string radix = "memory_initialization_radix=16;\n",
                      vector = "memory_initialization_vector=\n";
    EXPECT_EQ(text.rfind(radix + vector, 0), 0u) << text.substr(0, 80);
    const std::size_t from = radix.size() + vector.size(), stop = text.find(';', from);
    EXPECT_EQ(stop + 2, text.size()) << "the vector must end with ';' and the file after it";
    std::string list = text.substr(from, stop - from);
    std::replace(list.begin(), list.end(), ',', ' ');
    std::istringstream in(list);
    Words ws;
    for (std::string w; in >> w;)
        ws.push_back(hexword(w));
    return ws;
}

// Logisim "v2.0 raw": that line, then words in hexadecimal, "N*WORD" for N
// of the same.
Words decodelogisim(const fs::path &file) {
    std::istringstream in(uncomment(slurp(file), "#"));
    std::string header;
    std::getline(in, header);
    EXPECT_EQ(header, "v2.0 raw");
    Words ws;
    for (std::string w; in >> w;) {
        const std::size_t star = w.find('*');
        const std::size_t n = star == std::string::npos ? 1 : std::stoul(w.substr(0, star));
        ws.insert(ws.end(), n, hexword(star == std::string::npos ? w : w.substr(star + 1)));
    }
    return ws;
}

// A Verilog simulator loading the file into a memory of 32768 words with
// $readmemh or $readmemb, and printing every word it holds.
Words simulate(const fs::path &file, const char *task) {
    const fs::path dir = file.parent_path();
    spit(dir / "tb.v", std::string("module tb;\n  reg [15:0] rom [0:32767];\n  integer i;\n"
                                   "  initial begin\n    ") +
                           task + "(\"" + file.filename().string() +
                           "\", rom);\n    for (i = 0; i < 32768; i = i + 1)\n"
                           "      if (rom[i] !== 16'bx) $display(\"%0d %h\", i, rom[i]);\n"
                           "  end\nendmodule\n");
    int status;
    const std::string said = capture(
        "cd '" + dir.string() + "' && iverilog -o tb.vvp tb.v && vvp -n tb.vvp 2>&1", status);
    EXPECT_EQ(status, 0) << said;
    std::istringstream in(said);
    Words ws;
    for (std::string line; std::getline(in, line);) {
        // A ROM's program is mostly shorter than the memory.
        if (line.rfind("WARNING: ", 0) == 0 && line.find("Not enough words") != std::string::npos)
            continue;
        std::istringstream fields(line);
        std::size_t at;
        std::string w;
        EXPECT_TRUE(fields >> at >> w && at == ws.size()) << "the simulator said: " << line;
        ws.push_back(hexword(w));
    }
    return ws;
}
Words readmemh(const fs::path &file) {
    return simulate(file, "$readmemh");
}
Words readmemb(const fs::path &file) {
    return simulate(file, "$readmemb");
}

// The words of a clean listing.
Words wordsof(const std::string &listing) {
    std::istringstream in(listing);
    Words ws;
    for (std::string line; std::getline(in, line);)
        ws.push_back(static_cast<std::uint16_t>(std::stoul(line, nullptr, 2)));
    return ws;
}

enum Pick { Whole, Low, High };

struct Recipe {
    const char *name;
    std::string listing, target, vars;
    Words (*decode)(const fs::path &); // null for a target that must fail
    Pick pick;                         // what of each word the product holds
    std::size_t padto;                 // what it is padded to, in its own units; 0: not padded
    unsigned fill;                     // the padding byte
    bool fails;                        // whether make must fail
    std::string out, err;              // what make prints; a part of it on standard error
    const char *needs = nullptr;       // a tool the check needs
    const char *before = nullptr;      // the settings of a make of the target run first
    // Shell commands run in the folder: setup before make (a file ../path it
    // writes is then make's PATH), and after it a test that must pass.
    const char *setup = nullptr, *after = nullptr;
};

void PrintTo(const Recipe &r, std::ostream *os) {
    *os << r.name;
}

class Products : public testing::TestWithParam<Recipe> {};

TEST_P(Products, HoldTheListingsWords) {
    const Recipe &r = GetParam();
    if (!have("make") || !have("srec_cat") || !have("objcopy") || !have("od"))
        GTEST_SKIP() << "make, srecord, binutils or coreutils is missing";
    if (r.needs != nullptr && !have(r.needs))
        GTEST_SKIP() << r.needs << " is not installed";
    Scratch s;
    spit(s.work() / "t.hack", r.listing);
    const fs::path up = s.work().parent_path(), out = up / "make.out", err = up / "make.err";
    // Nothing outside the folder may change, whatever the folder holds.
    spit(up / "victim", "victim\n");
    const std::string in = "cd '" + s.work().string() + "' && ";
    if (r.setup != nullptr) {
        ASSERT_EQ(std::system((in + r.setup).c_str()), 0) << r.setup;
    }
    const std::string make =
        in + "{ [ ! -f ../path ] || PATH=$(cat ../path); } && '" + rom + "' -s ";
    if (r.before != nullptr) {
        ASSERT_EQ(std::system((make + r.before + " " + r.target + " >/dev/null").c_str()), 0);
    }
    const std::string command = make + r.vars + " " + r.target;
    const int status =
        std::system((command + " >'" + out.string() + "' 2>'" + err.string() + "'").c_str());
    EXPECT_EQ(slurp(out), r.out);
    EXPECT_NE(slurp(err).find(r.err), std::string::npos) << slurp(err);
    EXPECT_EQ(status != 0, r.fails) << slurp(err);
    EXPECT_EQ(slurp(up / "victim"), "victim\n");
    EXPECT_FALSE(fs::exists(s.work() / "PWNED")) << "a name or a setting ran a command";
    if (r.after != nullptr) {
        EXPECT_EQ(std::system((in + r.after).c_str()), 0) << r.after;
    }
    if (r.fails && r.target != "check") {
        EXPECT_FALSE(fs::exists(s.work() / r.target)) << "a product that does not fit was made";
    }
    if (r.decode == nullptr || r.fails)
        return;
    // Made once, a product is not made again with the same settings.
    EXPECT_EQ(std::system((command + " -q").c_str()), 0) << "the same make would make again";
    Words expected;
    for (std::uint16_t w : wordsof(r.listing))
        expected.push_back(r.pick == Whole ? w : r.pick == Low ? w & 0xFF : w >> 8);
    if (expected.size() < r.padto)
        expected.resize(r.padto,
                        static_cast<std::uint16_t>(r.pick == Whole ? r.fill * 0x101 : r.fill));
    const Words got = r.decode(s.work() / r.target);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the product's words differ from the listing's";
}

// Known words, enough of them to fill several lines of every format.
Words knownwords() {
    Words ws = {0x0000, 0xFFFF, 0x00FF, 0xFF00, 0x8000};
    for (std::uint16_t w : words(40))
        ws.push_back(w);
    return ws;
}
const std::string known = hack(knownwords()), full = hack(words(32768)), past = hack(words(32769));
const std::string resave = "re-save it as plain text, for example with dos2unix t.hack\n";
// A setting that stops make before it makes anything, and what make says.
Recipe refused(const char *name, const char *vars, const std::string &err) {
    return Recipe{name, known, "t.mif", vars, nullptr, Whole, 0, 0, true, "", err};
}
const std::string notnumber = " is not a number: give ";
const std::string faulty = "0000000000000111\r\n// x\n\nloop:\n111\n\xEF\xBB\xBF"
                           "0000000000000111\n000000000000011";
// A folder's own tools, all but the one named, as the whole PATH.
#define BIN                                                                                        \
    "mkdir ../bin && ln -s /usr/bin/* /bin/* ../bin 2>/dev/null; (cd ../bin && pwd) >../path; rm " \
    "../bin/"
// A listing whose name, unquoted, runs a command.
#define PWN "touch x && cp t.hack 'x;touch PWNED;y.hack'"
const std::string untaken = "x?touch PWNED?y.hack: not taken as a listing: rename it";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Products, testing::Values(
    // name; listing, target, make variables; decoder, what of a word, padded to, fill;
    // fails, standard output, start of standard error; tool needed
    Recipe{"flat_binary", known, "t.bin", "", decodebin, Whole, 0, 0, false, "", ""},
    Recipe{"flat_binary_of_32768_words", full, "t.bin", "", decodebin, Whole, 0, 0, false, "", ""},
    Recipe{"memory_initialization_file_of_a_smaller_rom", known, "t.mif", "ROM_WORDS=100 FILL=0xA5",
           decodemif, Whole, 100, 0xA5, false, "", ""},
    Recipe{"new_eeprom_settings_make_the_half_again", known, "t.hi.bin", "EEPROM_SIZE=8192 FILL=0xFF",
           decodebytes, High, 8192, 0xFF, false, "", "", nullptr, ""},
    // A value whose digits begin the one before is another value.
    Recipe{"new_rom_words_make_the_mif_again", known, "t.mif", "ROM_WORDS=4096", decodemif, Whole,
           4096, 0, false, "", "", nullptr, "ROM_WORDS=40960"},
    Recipe{"new_fill_makes_the_low_half_again", known, "t.lo.bin", "FILL=0xFF", decodebytes, Low,
           32768, 0xFF, false, "", "", nullptr, ""},
    Recipe{"new_fill_makes_the_mif_again", known, "t.mif", "FILL=0xA5", decodemif, Whole, 32768,
           0xA5, false, "", "", nullptr, ""},
    // cp makes an image that reads as the listing.
    Recipe{"new_quorvel_makes_the_image_again", known, "t.hex", "QUORVEL=cp",
           [](const fs::path &f) { return wordsof(slurp(f)); }, Whole, 0, 0, false, "", "", nullptr,
           ""},
    Recipe{"failed_remake_leaves_no_old_product", known, "t.mif", "ROM_WORDS=44", nullptr, Whole,
           0, 0, true, "", "t.mif: t.bin holds 45 words, more than ROM_WORDS (44)\n", nullptr, ""},
    refused("eeprom_size_with_a_letter", "EEPROM_SIZE=8K", "EEPROM_SIZE=8K" + notnumber + "a whole"),
    refused("rom_words_with_a_letter", "ROM_WORDS=4K", "ROM_WORDS=4K" + notnumber + "a whole number"),
    refused("fill_with_a_quote", "FILL=\"0'; touch PWNED; '\"", "FILL=0'; touch PWNED; '" + notnumber),
    refused("whole_number_with_a_leading_zero", "ROM_WORDS=04096", "ROM_WORDS=04096" + notnumber),
    refused("empty_setting", "EEPROM_SIZE=", "EEPROM_SIZE=" + notnumber + "a whole number"),
    refused("byte_past_255", "FILL=256", "FILL=256" + notnumber + "a byte"),
    refused("three_hexadecimal_digits", "FILL=0x100", "FILL=0x100" + notnumber + "a byte"),
    Recipe{"missing_srec_cat_is_named_with_its_package", known, "t.mif", "", nullptr, Whole, 0, 0,
           true, "", "t.mif: needs srec_cat (Debian package srecord)\n", nullptr, nullptr,
           BIN "srec_cat"},
    Recipe{"missing_objcopy_is_named_with_its_package", known, "t.bin", "", nullptr, Whole, 0, 0,
           true, "", "t.bin: needs objcopy (Debian package binutils)\n", nullptr, nullptr,
           BIN "objcopy"},
    Recipe{"tool_in_the_folder_is_not_run", known, "t.mif", "", decodemif, Whole, 32768, 0, false,
           "", "", nullptr, nullptr,
           "printf '#!/bin/sh\\ntouch PWNED\\n' >srec_cat && chmod +x srec_cat && echo :$PATH >../path"},
    Recipe{"coefficient_file", known, "t.coe", "", decodecoe, Whole, 0, 0, false, "", ""},
    Recipe{"logisim_image", known, "t.logisim", "", decodelogisim, Whole, 0, 0, false, "", ""},
    Recipe{"readmemh_text_in_a_verilog_simulator", known, "t.mem", "", readmemh, Whole, 0, 0,
           false, "", "", "iverilog"},
    Recipe{"listing_by_readmemb_in_a_verilog_simulator", known, "t.hex",  "",
           [](const fs::path &f) { return readmemb(f.parent_path() / "t.hack"); }, Whole, 0, 0,
           false, "", "", "iverilog"},
    Recipe{"past_32768_words_makes_no_binary", past, "t.bin", "", nullptr, Whole, 0, 0, true, "",
           "t.bin: t.hex holds 32769 words, more than an image can address (32768)\n"},
    // Each product named is tried, and neither the new nor the old one is left.
    Recipe{"two_halves_that_do_not_fit_leave_neither", known, "t.lo.bin t.hi.bin", "EEPROM_SIZE=44",
           nullptr, Whole, 0, 0, true, "", "t.hi.bin: t.bin holds 45 words, more than EEPROM_SIZE (44)",
           nullptr, "EEPROM_SIZE=8192", nullptr, "test ! -e t.lo.bin && test ! -e t.hi.bin"},
    Recipe{"empty_listing_makes_an_empty_binary", "", "t.bin", "", decodebin, Whole, 0, 0, false,
           "", ""},
    Recipe{"empty_listing_makes_no_coefficient_file", "", "t.coe", "", nullptr, Whole, 0, 0, true,
           "", "t.coe: t.bin holds no words, and a coefficient file needs one\n"},
    // objcopy would start the binary at the image's first word.
    Recipe{"image_not_starting_at_0_makes_no_binary", known, "t.bin", "", nullptr, Whole, 0, 0,
           true, "", "t.bin: t.hex holds no word at address 0", nullptr, nullptr,
           "printf ':0201000001AB51\\n' >t.hex && rm t.hack"},
    Recipe{"product_without_its_listing_names_it", known, "t.mif", "", nullptr, Whole, 0, 0, true,
           "", "t.mif: no t.hack in /", nullptr, nullptr, "rm t.hack"},
    Recipe{"check_without_a_listing_fails", known, "check", "", nullptr, Whole, 0, 0, true, "",
           "no listing (NAME.hack) in /", nullptr, nullptr, "rm t.hack"},
    Recipe{"listing_named_to_run_a_command_is_left_alone", known, "-j2", "", nullptr, Whole, 0, 0,
           false, "", untaken, nullptr, nullptr, PWN, "test -s t.hex && test ! -e 'x;touch PWNED;y.hex'"},
    Recipe{"check_leaves_a_listing_named_to_run_a_command_alone", known, "check", "", nullptr,
           Whole, 0, 0, false, "", untaken, nullptr, nullptr, PWN},
    Recipe{"check_names_a_listing_that_is_a_link_to_nothing", known, "check", "", nullptr, Whole,
           0, 0, true, "d.hack: cannot be read: it is a link to nothing\n", "", nullptr, nullptr,
           "ln -s nowhere d.hack"},
    Recipe{"product_that_is_a_link_is_not_written_through", known, "t.logisim", "", decodelogisim,
           Whole, 0, 0, false, "", "", nullptr, nullptr, "ln -s ../victim t.logisim"},
    Recipe{"setting_that_is_a_link_is_not_written_through", known, "t.mif", "FILL=1", decodemif,
           Whole, 32768, 1, false, "", "", nullptr, nullptr,
           "mkdir .quorvel && ln -s ../../victim .quorvel/FILL"},
    Recipe{"listing_whose_products_another_one_has_is_left_alone", known, "t.lo.bin", "",
           decodebytes, Low, 32768, 0, false, "",
           "t.lo.hack: not taken as a listing: its products would be those of t.hack", nullptr,
           nullptr, "cp t.hack t.lo.hack"},
    Recipe{"clean_removes_only_the_products", known, "clean", "", nullptr, Whole, 0, 0, false, "",
           "", nullptr, nullptr, "touch main t.hex && mkdir .quorvel && cp t.hack 'main program.hack'",
           "test -f main && test -f 'main program.hack' && test ! -e t.hex && test ! -e .quorvel"},
    Recipe{"check_passes_a_clean_listing", "0000000000000111\r\n" + known, "check", "", nullptr,
           Whole, 0, 0, false, "", ""},
    Recipe{"check_passes_blanks_around_the_digits", " 0000000000000111\t\r\n\t0000000000000111 \n",
           "check", "", nullptr, Whole, 0, 0, false, "", ""},
    Recipe{"check_names_a_utf8_byte_order_mark", "\xEF\xBB\xBF" + known, "check", "", nullptr,
           Whole, 0, 0, true, "t.hack:1: starts with a UTF-8 byte-order mark: " + resave, ""},
    Recipe{"check_names_utf16_text", std::string("\xFE\xFF" "\0" "0" "\0\n", 6), "check", "", nullptr,
           Whole, 0, 0, true, "t.hack: is UTF-16 text, which quorvel refuses: " + resave, ""},
    Recipe{"check_lists_every_other_line", faulty, "check", "", nullptr, Whole, 0, 0, true,
           "t.hack:2:// x\nt.hack:3:\nt.hack:4:loop:\nt.hack:5:111\nt.hack:6:\xEF\xBB\xBF"
           "0000000000000111\nt.hack:7:000000000000011\n",
           ""}),
    [](const testing::TestParamInfo<Recipe> &p) { return std::string(p.param.name); });
// clang-format on

TEST(Install, PutsProgramPageAndReadmeUnderThePrefix) {
    Scratch s;
    const fs::path prefix = s.work() / "prefix";
    const std::string command = "'" CMAKE_COMMAND "' --install '" QUORVEL_BUILD_DIR "' --prefix '" +
                                prefix.string() + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(fs::is_regular_file(prefix / "share/man/man1/quorvel.1"));
    EXPECT_TRUE(fs::is_regular_file(prefix / "share/man/man1/quorvel-rom.1"));
    EXPECT_EQ(slurp(prefix / "share/doc/quorvel/README.md"), slurp(source / "README.md"));
    EXPECT_EQ(slurp(prefix / "share/doc/quorvel/REFERENCE.md"), slurp(source / "REFERENCE.md"));
    EXPECT_EQ(slurp(prefix / "share/quorvel/rom.mk"), slurp(source / "examples/Makefile"));
    EXPECT_EQ(fs::read_symlink(prefix / "share/doc/quorvel/examples/Makefile"),
              "../../../quorvel/rom.mk");
    const fs::path installed = prefix / "bin/quorvel";
    ASSERT_TRUE(fs::is_regular_file(installed));

    // The installed recipes, through the documentation's link, take the
    // quorvel installed beside them.
    if (!have("make") || !have("srec_cat") || !have("objcopy"))
        GTEST_SKIP() << "make, srecord or binutils is missing";
    const std::string count = slurp(source / "examples/count.hack"),
                      in = "cd '" + s.work().string() + "' && ",
                      share = prefix.string() + "/share/";
    spit(s.work() / "c.hack", count);
    ASSERT_EQ(std::system((in + "make -s -f " + share + "doc/quorvel/examples/Makefile").c_str()),
              0);
    EXPECT_EQ(slurp(s.work() / ".quorvel/QUORVEL"), installed.string() + "\n");

    // The installed quorvel-rom, called through a link, makes the image and
    // the products with the quorvel installed beside it, though share/doc was
    // left out.
    fs::remove_all(prefix / "share/doc");
    fs::create_symlink(prefix / "bin/quorvel-rom", s.work() / "rom");
    ASSERT_EQ(std::system((in + "./rom -s c.mif ROM_WORDS=8").c_str()), 0);
    Words expected = wordsof(count);
    expected.resize(8);
    EXPECT_TRUE(decodemif(s.work() / "c.mif") == expected);
    EXPECT_EQ(slurp(s.work() / "c.hex"), slurp(source / "tests/data/count.hex"));
    EXPECT_EQ(slurp(s.work() / ".quorvel/QUORVEL"), installed.string() + "\n");

    // A checkout's recipes take the checkout's build, whatever quorvel lies
    // in the folders above it.
    const fs::path checkout = s.work() / "a/b/c/quorvel";
    for (const fs::path &d :
         {checkout / "examples", checkout / "build/default", s.work() / "a/bin"})
        fs::create_directories(d);
    fs::copy_file(source / "examples/Makefile", checkout / "examples/Makefile");
    spit(checkout / "CMakeLists.txt", "");
    fs::create_symlink(QUORVEL_BIN, checkout / "build/default/quorvel");
    fs::copy_file("/bin/true", s.work() / "a/bin/quorvel");
    ASSERT_EQ(std::system((in + "make -s -B -f a/b/c/quorvel/examples/Makefile c.hex").c_str()), 0);
    EXPECT_EQ(slurp(s.work() / "c.hex"), slurp(source / "tests/data/count.hex"));

    // Commands run in the folder, and the start of what they print (all of
    // it, where that is nothing), and whether they succeed.
    struct Said {
        std::string command, said;
        bool ok;
    };
    for (const Said &c : std::vector<Said>{
             {"rm -r a/b/c/quorvel/CMakeLists.txt .quorvel && PATH=$PWD/a/bin:$PATH make -s -B -f "
              "a/b/c/quorvel/examples/Makefile c.hex && cat .quorvel/QUORVEL",
              "quorvel\n", true},
             {"./rom --help", "usage: quorvel-rom", true},
             {"./rom -h", "usage: quorvel-rom", true},
             {"./rom c.hack", "quorvel-rom: c.hack: a listing, which quorvel-rom reads", false},
             {"./rom -s c.mif ROM_WORDS=8 && ./rom -n ROM_WORDS=100 c.mif >/dev/null && ./rom -q "
              "c.mif ROM_WORDS=8",
              "", true},
             // An include takes none of the includer's names.
             {"printf 'include " + share +
                  "quorvel/rom.mk\\nall: c.mif\\n\\t@echo mine\\n"
                  "clean: rom-clean\\n\\t@echo cleaned\\n' >Makefile && make -s && make -s clean "
                  "&& "
                  "test ! -e c.mif",
              "mine\ncleaned\n", true},
             {"mkdir t && ln -s $(command -v readlink) t && PATH=$PWD/t ./rom",
              "quorvel-rom: needs make (Debian package make)\n", false},
             {"rm '" + installed.string() + "' && ./rom", "quorvel-rom: its quorvel is not at",
              false},
             {"rm " + share + "quorvel/rom.mk && ./rom", "quorvel-rom: its recipes are not at",
              false}}) {
        int status;
        const std::string said = capture(in + c.command + " 2>&1", status);
        EXPECT_EQ(status == 0, c.ok) << c.command << ": " << said;
        EXPECT_TRUE(c.said.empty() ? said.empty() : said.rfind(c.said, 0) == 0)
            << c.command << ": " << said;
    }
}

} // namespace
