// SPDX-License-Identifier: MIT

// End to end: the built program run on real files in a temporary directory.

#include <gtest/gtest.h>

#include "support.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string usage = "enter ./quorvel filename.hack filename.hex\n";
const std::string golden = "0000000000000010\n1110110000010000\n0000000000000000\n"
                           "1110001100001000\n";
const std::string goldenhex =
    ":020000000200FC\n:0200020010EC00\n:020004000000FA\n:0200060008E30D\n";
const std::string samefile = "fout fails: Input and output are the same file\n";

// Loop: a disk (a loop device) holding the content, with its device node made
// under the name; Node: another node for the disk made under that name.
enum Kind { File, Dir, Symlink, Hardlink, Loop, Node };

struct Entry {
    Kind kind;
    std::string name, content; // bytes of a file or disk, target of a link or node
};

struct Case {
    const char *name;
    std::vector<Entry> before;
    std::vector<std::string> args;
    int status;
    std::string out, err;
    // Regular files that must hold these bytes afterwards. Nothing but these
    // and the entries made before may exist.
    std::vector<std::pair<std::string, std::string>> after;
    bool needsroot = false;
    // Whether to check that memory stays flat: a converter that held the
    // listing or the image would grow by megabytes on these.
    bool flatmemory = false;
    long stackkib = 0; // a stack limit to run under
};

// Peak memory of a run on a small listing, for runs on large ones to be
// compared with.
long smallpeakkib() {
    static const long peak = [] {
        Scratch s;
        spit(s.work() / "a.hack", "0000000000000001\n");
        return s.run({"a.hack", "a.hex"}).peakkib;
    }();
    return peak;
}

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

// The loop devices a test attached, detached when it ends.
struct Disks {
    std::vector<std::string> devices;
    ~Disks() {
        for (const std::string &d : devices)
            EXPECT_EQ(std::system(("losetup -d " + d).c_str()), 0) << d << " stays attached";
    }
};

// Attaches a loop device to the file at image; returns its path, or "".
std::string attach(const fs::path &image) {
    std::FILE *p =
        popen(("losetup --find --show '" + image.string() + "' 2>/dev/null").c_str(), "r");
    if (p == nullptr)
        return "";
    char line[256] = {};
    bool got = std::fgets(line, sizeof line, p) != nullptr;
    std::string device = got ? std::string(line, std::strcspn(line, "\n")) : "";
    return pclose(p) == 0 ? device : "";
}

// Makes a block device node at path for the disk that the node at of names.
bool mknode(const fs::path &path, const std::string &of) {
    struct stat st;
    if (stat(of.c_str(), &st) != 0 || mknod(path.c_str(), S_IFBLK | 0600, st.st_rdev) != 0)
        return false;
    int fd = open(path.c_str(), O_RDONLY); // a nodev mount refuses to open it
    return fd >= 0 && close(fd) == 0;
}

class Quorvel : public testing::TestWithParam<Case> {};

TEST_P(Quorvel, Run) {
    const Case &c = GetParam();
    if (c.needsroot && geteuid() != 0)
        GTEST_SKIP() << "needs root";
    Scratch s;
    Disks disks;
    std::set<std::string> expected;
    for (const Entry &e : c.before) {
        fs::path p = s.work() / e.name;
        switch (e.kind) {
        case File:
            spit(p, e.content);
            break;
        case Dir:
            fs::create_directory(p);
            break;
        case Symlink:
            fs::create_symlink(e.content, p);
            break;
        case Hardlink:
            fs::create_hard_link(s.work() / e.content, p);
            break;
        case Loop: {
            const fs::path image = s.work().parent_path() / (e.name + ".img");
            spit(image, e.content);
            std::string device = attach(image);
            if (device.empty())
                GTEST_SKIP() << "no loop device can be attached here";
            disks.devices.push_back(device);
            if (!mknode(p, device))
                GTEST_SKIP() << "no usable device node can be made here";
            break;
        }
        case Node:
            ASSERT_TRUE(mknode(p, (s.work() / e.content).string()));
            break;
        }
        expected.insert(e.name);
    }
    Result r = s.run(c.args, c.stackkib);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.flatmemory) {
        EXPECT_LT(r.peakkib - smallpeakkib(), 2048) << "peak KiB " << r.peakkib;
    }
    for (const auto &[name, bytes] : c.after) {
        expected.insert(name);
        EXPECT_TRUE(fs::is_regular_file(s.work() / name)) << name;
        std::string got = slurp(s.work() / name);
        EXPECT_EQ(got.size(), bytes.size()) << name;
        EXPECT_TRUE(got == bytes) << name << " differs";
    }
    for (const Entry &e : c.before)
        if (e.kind == Loop) {
            std::string got = slurp(s.work() / e.name);
            EXPECT_TRUE(got == e.content) << e.name << " was written to";
        }
    std::set<std::string> present;
    for (const auto &e : fs::directory_iterator(s.work()))
        present.insert(e.path().filename().string());
    EXPECT_EQ(present, expected);
}

const std::vector<std::uint16_t> wrap = words(32769), many = words(200000), twice = words(70000);
// A line of 8 MiB is cut into reads of 63 digits and a last one of 32.
const std::string hugeline(8 << 20, '1');
const std::vector<std::uint16_t> hugewords((8 << 20) / 63 + 1, 0xFFFF);

const std::string fin = "fin fails: ", fout = "fout fails: ";
const std::string nofile = "No such file or directory\n", isdir = "Is a directory\n";
const std::string twohex = ":020000000200FC\n:0200020010EC00\n";
// A listing that fills one 512-byte sector of a disk.
const std::string sector = hack(words(30)) + "\n\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Quorvel, testing::Values(
    // name; files before; arguments; status, stdout, stderr; files after; needs root, flat memory
    Case{"no_arguments_print_usage", {}, {}, 1, usage, "", {}},
    Case{"one_argument_prints_usage", {{File, "a.hack", golden}}, {"a.hack"}, 1, usage, "", {}},
    Case{"three_arguments_print_usage", {{File, "a.hack", golden}}, {"a.hack", "b.hex", "c"},
         1, usage, "", {}},
    Case{"missing_listing_keeps_existing_output", {{File, "out.hex", "old\n"}},
         {"none.hack", "out.hex"}, 1, "", fin + nofile, {{"out.hex", "old\n"}}},
    Case{"missing_listing_creates_no_output", {}, {"none.hack", "out.hex"}, 1, "", fin + nofile, {}},
    Case{"output_in_missing_directory_fails", {{File, "a.hack", golden}}, {"a.hack", "no/out.hex"},
         1, "", fout + nofile, {{"a.hack", golden}}},
    Case{"output_that_is_a_directory_fails", {{File, "a.hack", golden}, {Dir, "d", ""}},
         {"a.hack", "d"}, 1, "", fout + isdir, {}},
    Case{"output_below_a_regular_file_fails", {{File, "a.hack", golden}},
         {"a.hack", "a.hack/out.hex"}, 1, "", fout + "Not a directory\n", {{"a.hack", golden}}},
    Case{"empty_listing_gives_empty_file", {{File, "a.hack", ""}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", ""}}},
    Case{"golden_listing", {{File, "a.hack", golden}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", goldenhex}}},
    Case{"existing_output_is_emptied_not_appended",
         {{File, "a.hack", golden}, {File, "out.hex", std::string(1000, 'x')}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", goldenhex}}},
    Case{"last_line_without_newline", {{File, "a.hack", "0000000000000010\n1110110000010000"}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", twohex}}},
    Case{"crlf_line_ends_read_like_newlines",
         {{File, "a.hack", "0000000000000010\r\n1110110000010000\r\n"}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", twohex}}},
    Case{"line_of_63_digits_gives_two_records",
         {{File, "a.hack", std::string(63, '1') + "\n0000000000000010\n"}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", ":02000000FFFF00\n:020002000000FC\n:020004000200F8\n"}}},
    Case{"addresses_wrap_after_32768_records", {{File, "a.hack", hack(wrap)}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", hex(wrap)}}},
    Case{"addresses_wrap_twice_in_flat_memory", {{File, "a.hack", hack(twice)}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", hex(twice)}}, false, true},
    Case{"line_of_8_mib_without_newline_in_flat_memory", {{File, "a.hack", hugeline}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", hex(hugewords)}}, false, true},
    Case{"full_disk_is_a_write_failure", {{File, "a.hack", golden}}, {"a.hack", "/dev/full"},
         1, "", fout + "No space left on device\n", {}},
    // The first write comes when the record buffer is full, long before the end.
    Case{"full_disk_part_way_is_reported_once", {{File, "a.hack", hack(many)}},
         {"a.hack", "/dev/full"}, 1, "", fout + "No space left on device\n", {}},
    Case{"directory_as_listing_is_a_read_error", {{Dir, "d", ""}, {File, "out.hex", "old\n"}},
         {"d", "out.hex"}, 1, "", fin + isdir, {{"out.hex", "old\n"}}},
    Case{"directory_as_listing_creates_no_output", {{Dir, "d", ""}}, {"d", "out.hex"},
         1, "", fin + isdir, {}},
    // Opens (for root) but cannot be read.
    Case{"unreadable_listing_is_a_read_error", {}, {"/proc/self/clear_refs", "out.hex"},
         1, "", fin + "Invalid argument\n", {{"out.hex", ""}}, true},
    Case{"same_path_twice_is_refused", {{File, "a.hack", golden}}, {"a.hack", "a.hack"},
         1, "", samefile, {{"a.hack", golden}}},
    Case{"same_file_spelt_another_way_is_refused", {{File, "a.hack", golden}},
         {"a.hack", "./a.hack"}, 1, "", samefile, {{"a.hack", golden}}},
    Case{"same_file_through_dot_dot_is_refused", {{File, "a.hack", golden}, {Dir, "sub", ""}},
         {"a.hack", "sub/../a.hack"}, 1, "", samefile, {{"a.hack", golden}}},
    Case{"hard_link_to_listing_is_refused",
         {{File, "a.hack", golden}, {Hardlink, "h.hex", "a.hack"}},
         {"a.hack", "h.hex"}, 1, "", samefile, {{"a.hack", golden}}},
    Case{"symbolic_link_to_listing_is_refused",
         {{File, "a.hack", golden}, {Symlink, "s.hex", "a.hack"}},
         {"a.hack", "s.hex"}, 1, "", samefile, {{"a.hack", golden}}},
    Case{"symbolic_link_to_hard_link_is_refused",
         {{File, "a.hack", golden}, {Hardlink, "h.hack", "a.hack"}, {Symlink, "s.hex", "h.hack"}},
         {"a.hack", "s.hex"}, 1, "", samefile, {{"a.hack", golden}, {"h.hack", golden}}},
    Case{"same_block_device_twice_is_refused", {{Loop, "disk", sector}}, {"disk", "disk"},
         1, "", samefile, {}, true},
    Case{"same_block_device_by_two_nodes_is_refused", {{Loop, "disk", sector}, {Node, "disk2", "disk"}},
         {"disk", "disk2"}, 1, "", samefile, {}, true},
    Case{"same_character_device_twice_is_allowed", {}, {"/dev/null", "/dev/null"}, 0, "", "", {}},
    Case{"usage_line_in_a_64_kib_stack", {}, {}, 1, usage, "", {}, false, false, 64},
    Case{"conversion_in_a_64_kib_stack", {{File, "a.hack", hack(twice)}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", hex(twice)}}, false, false, 64}),
    [](const testing::TestParamInfo<Case> &p) { return std::string(p.param.name); });
// clang-format on

// Records reach the output while the listing is still being written: the
// writer sends the first words and keeps the pipe open; their records must be
// in the output within two seconds, before it sends the rest and closes.
struct FifoCase {
    const char *name;
    std::size_t words, first;
};

void PrintTo(const FifoCase &c, std::ostream *os) {
    *os << c.name;
}

class Fifo : public testing::TestWithParam<FifoCase> {};

bool feed(int fd, const char *p, std::size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k <= 0)
            return false;
        p += k, n -= static_cast<std::size_t>(k);
    }
    return true;
}

TEST_P(Fifo, RecordsLeaveAsTheListingArrives) {
    const FifoCase &c = GetParam();
    Scratch s;
    const fs::path fifo = s.work() / "in.hack", out = s.work() / "out.hex";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::uint16_t> ws = words(c.words);
    const std::string text = hack(ws),
                      early =
                          hex(std::vector<std::uint16_t>(ws.begin(), ws.begin() + long(c.first)));
    const std::size_t half = c.first * 17;
    Result r{};
    std::thread converter([&] { r = s.run({"in.hack", "out.hex"}); });
    int fd = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    bool fed = feed(fd, text.data(), half);
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (fed && (got = slurp(out)) != early && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    fed = fed && feed(fd, text.data() + half, text.size() - half);
    close(fd);
    converter.join();
    EXPECT_TRUE(fed);
    EXPECT_EQ(got.size(), early.size()) << "the records of the words sent were not all written";
    EXPECT_TRUE(got == early);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(slurp(out) == hex(ws));
}

INSTANTIATE_TEST_SUITE_P(Table, Fifo,
                         testing::Values(FifoCase{"ten_lines_and_the_pipe_kept_open", 10, 10},
                                         FifoCase{"half_of_a_large_listing", 100000, 50000}),
                         [](const testing::TestParamInfo<FifoCase> &p) {
                             return std::string(p.param.name);
                         });

// Independent readers of Intel HEX must turn the image back into the words,
// low byte first.
struct Tool {
    const char *name, *probe, *command;
};

void PrintTo(const Tool &t, std::ostream *os) {
    *os << t.name;
}

class Reader : public testing::TestWithParam<Tool> {};

TEST_P(Reader, ReadsBackTheWords) {
    const Tool &t = GetParam();
    if (std::system((std::string(t.probe) + " >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << t.name << " is not installed";
    Scratch s;
    std::vector<std::uint16_t> ws = words(4000);
    spit(s.work() / "a.hack", hack(ws));
    ASSERT_EQ(s.run({"a.hack", "out.hex"}).status, 0);
    ASSERT_EQ(std::system(("cd '" + s.work().string() + "' && " + t.command).c_str()), 0);
    std::string expected;
    for (std::uint16_t w : ws) {
        expected += static_cast<char>(w & 0xFF);
        expected += static_cast<char>(w >> 8);
    }
    std::string got = slurp(s.work() / "out.bin");
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// Python's intelhex comes as a package of the system's own python3.
INSTANTIATE_TEST_SUITE_P(
    Tools, Reader,
    testing::Values(Tool{"objcopy", "command -v objcopy",
                         "objcopy -I ihex -O binary out.hex out.bin"},
                    Tool{"srec_cat", "command -v srec_cat",
                         "srec_cat out.hex -intel -o out.bin -binary 2>/dev/null"},
                    Tool{"intelhex", "/usr/bin/python3 -c 'import intelhex'",
                         "/usr/bin/python3 -c 'import intelhex; "
                         "intelhex.IntelHex(\"out.hex\").tobinfile(\"out.bin\")'"}),
    [](const testing::TestParamInfo<Tool> &p) { return std::string(p.param.name); });

} // namespace
