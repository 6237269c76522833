// SPDX-License-Identifier: MIT

// End to end: the built program run on real files in a temporary directory.

#include <gtest/gtest.h>

#include "support.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
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
// under the name; Node: another node for the disk made under that name;
// Backed: a loop device over the file named by the content, its node made
// under the name; Pipe: a FIFO to which a writer sends the content once the
// program opens it; Tmpfs: a fresh file system mounted on a new directory, in
// a mount namespace of the test's own.
enum Kind { File, Dir, Symlink, Hardlink, Loop, Node, Backed, Pipe, Tmpfs };

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
    // Whether the program's close of its output is made to fail, as a disk
    // that reports an error only then would.
    bool closefails = false;
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

// The file systems a test mounted, taken down before its scratch directory.
struct Mounts {
    std::vector<fs::path> points;
    ~Mounts() {
        for (const fs::path &p : points)
            EXPECT_EQ(umount2(p.c_str(), MNT_DETACH), 0) << p << " stays mounted";
    }
};

// Sends bytes into the FIFO at path once a reader has opened it, giving up
// after ten seconds without one.
void sendinto(const fs::path &path, const std::string &bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int fd;
    while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (fd < 0)
        return;
    fcntl(fd, F_SETFL, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
}

// strace with these arguments, to run the program under. LeakSanitizer
// cannot work in a traced program, so a sanitizer build checks no leaks there.
std::vector<std::string> strace(std::vector<std::string> args) {
    const char *asan = std::getenv("ASAN_OPTIONS");
    args.insert(args.begin(), {"strace", "-qq", "-E",
                               "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":detect_leaks=0",
                               "-e", "trace=close"});
    return args;
}

// Which of the program's close calls, counted from 1, closes the file at
// path, as strace sees the run; 0 when it cannot tell.
int closeof(const Scratch &s, const Case &c, const fs::path &path) {
    const fs::path log = s.work().parent_path() / "strace.log";
    s.run(c.args, c.stackkib, strace({"-y", "-o", log.string()}));
    std::istringstream in(slurp(log));
    int n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("close(", 0) == 0) {
            n++;
            if (line.find("<" + path.string() + ">") != std::string::npos)
                return n;
        }
    return 0;
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
    Mounts mounts;
    struct Writers {
        std::vector<std::thread> threads;
        ~Writers() {
            for (std::thread &t : threads)
                t.join();
        }
    } writers;
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
        case Loop:
        case Backed: {
            fs::path image = s.work() / e.content;
            if (e.kind == Loop)
                spit(image = s.work().parent_path() / (e.name + ".img"), e.content);
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
        case Pipe:
            ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
            writers.threads.emplace_back(sendinto, p, e.content);
            break;
        case Tmpfs:
            if (mounts.points.empty() &&
                (unshare(CLONE_NEWNS) != 0 ||
                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
                GTEST_SKIP() << "no mount namespace of its own here";
            fs::create_directory(p);
            ASSERT_EQ(mount("tmpfs", p.c_str(), "tmpfs", 0, "size=1m"), 0);
            mounts.points.push_back(p);
            break;
        }
        expected.insert(fs::path(e.name).begin()->string());
    }
    // Rows on fresh file systems are there for files that differ only in
    // their device.
    struct stat a, b;
    if (!mounts.points.empty() &&
        (stat((s.work() / c.args[0]).c_str(), &a) != 0 ||
         stat((s.work() / c.args[1]).c_str(), &b) != 0 || a.st_ino != b.st_ino))
        GTEST_SKIP() << "the fresh file systems gave the files different inode numbers";
    std::vector<std::string> via;
    if (c.closefails) {
        const int n = std::system("command -v strace >/dev/null") == 0
                          ? closeof(s, c, s.work() / c.args[1])
                          : 0;
        if (n == 0)
            GTEST_SKIP() << "strace is not installed or cannot trace here";
        via = strace({"-o", "/dev/null", "-e", "inject=close:error=EIO:when=" + std::to_string(n)});
    }
    Result r = s.run(c.args, c.stackkib, via);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.flatmemory) {
        EXPECT_LT(r.peakkib - smallpeakkib(), 2048) << "peak KiB " << r.peakkib;
    }
    for (const auto &[name, bytes] : c.after) {
        expected.insert(fs::path(name).begin()->string());
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
    Case{"two_loop_devices_over_one_file_are_refused",
         {{File, "img", sector}, {Backed, "l1", "img"}, {Backed, "l2", "img"}}, {"l1", "l2"},
         1, "", samefile, {{"img", sector}}, true},
    Case{"file_and_a_loop_device_over_it_are_refused", {{File, "img", sector}, {Backed, "l", "img"}},
         {"img", "l"}, 1, "", samefile, {{"img", sector}}, true},
    Case{"loop_device_and_the_file_behind_it_are_refused",
         {{File, "img", sector}, {Backed, "l", "img"}}, {"l", "img"},
         1, "", samefile, {{"img", sector}}, true},
    // Once the writer has sent a line, a program that went on would read its
    // own records back for ever.
    Case{"same_fifo_twice_is_refused_at_once", {{Pipe, "f", "0000000000000111\n"}}, {"f", "f"},
         1, "", samefile, {}},
    Case{"files_on_two_file_systems_with_one_inode_number_convert",
         {{Tmpfs, "m1", ""}, {Tmpfs, "m2", ""}, {File, "m1/a.hack", golden},
          {File, "m2/out.hex", "old\n"}},
         {"m1/a.hack", "m2/out.hex"}, 0, "", "", {{"m1/a.hack", golden}, {"m2/out.hex", goldenhex}},
         true},
    Case{"failing_close_of_the_output_is_a_write_failure", {{File, "a.hack", golden}},
         {"a.hack", "out.hex"}, 1, "", fout + "Input/output error\n", {{"out.hex", goldenhex}},
         false, false, 0, true},
    Case{"same_character_device_twice_is_allowed", {}, {"/dev/null", "/dev/null"}, 0, "", "", {}},
    Case{"usage_line_in_a_64_kib_stack", {}, {}, 1, usage, "", {}, false, false, 64},
    Case{"conversion_in_a_64_kib_stack", {{File, "a.hack", hack(twice)}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", hex(twice)}}, false, false, 64}),
    [](const testing::TestParamInfo<Case> &p) { return std::string(p.param.name); });
// clang-format on

// Records reach the output while the listing is still being written: the
// writer sends the first part of the listing and keeps the FIFO or terminal
// open; its records must be in the output within two seconds, before the
// writer sends the rest and ends the input.
struct FifoCase {
    const char *name;
    std::string text;
    std::size_t sent;         // bytes of text sent first
    std::string early, image; // the image of those, and of the whole text
    bool terminal = false;    // a terminal (a pty) as listing, not a FIFO
};

void PrintTo(const FifoCase &c, std::ostream *os) {
    *os << c.name;
}

// A listing of n words, of which the first are sent first.
FifoCase fromwords(const char *name, std::size_t n, std::size_t first, bool terminal = false) {
    const std::vector<std::uint16_t> ws = words(n);
    return {name,       hack(ws),
            first * 17, hex(std::vector<std::uint16_t>(ws.begin(), ws.begin() + long(first))),
            hex(ws),    terminal};
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

// The writing end of a terminal whose other end is at path; -1 if none.
int openterminal(fs::path &path) {
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    struct termios t;
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || tcgetattr(fd, &t) != 0)
        return -1;
    t.c_lflag &= ~tcflag_t(ECHO); // nobody reads what would be echoed
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return -1;
    path = ptsname(fd);
    return fd;
}

TEST_P(Fifo, RecordsLeaveAsTheListingArrives) {
    const FifoCase &c = GetParam();
    Scratch s;
    fs::path listing = s.work() / "in.hack";
    const fs::path out = s.work() / "out.hex";
    int terminal = -1;
    if (c.terminal)
        ASSERT_GE(terminal = openterminal(listing), 0);
    else
        ASSERT_EQ(mkfifo(listing.c_str(), 0600), 0);
    Result r{};
    std::thread converter([&] { r = s.run({listing.string(), "out.hex"}); });
    int fd = c.terminal ? terminal : open(listing.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    bool fed = feed(fd, c.text.data(), c.sent);
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (fed && (got = slurp(out)) != c.early && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    fed = fed && feed(fd, c.text.data() + c.sent, c.text.size() - c.sent);
    // A terminal ends its input with the end-of-file character, and must stay
    // open until it has been read.
    if (c.terminal)
        fed = fed && feed(fd, "\x04", 1);
    else
        close(fd);
    converter.join();
    if (c.terminal)
        close(fd);
    EXPECT_TRUE(fed);
    EXPECT_EQ(got.size(), c.early.size()) << "the records of the bytes sent were not all written";
    EXPECT_TRUE(got == c.early);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(slurp(out) == c.image);
}

// A read of 63 bytes without a newline is whole: its record must not wait for
// the byte after it.
INSTANTIATE_TEST_SUITE_P(
    Table, Fifo,
    testing::Values(fromwords("ten_lines_and_the_pipe_kept_open", 10, 10),
                    fromwords("half_of_a_large_listing", 100000, 50000),
                    fromwords("two_lines_from_a_terminal", 2, 2, true),
                    FifoCase{"piece_of_63_bytes_from_a_pipe", std::string(63, '1') + "\n", 63,
                             hex({0xFFFF}), hex({0xFFFF, 0})}),
    [](const testing::TestParamInfo<FifoCase> &p) { return std::string(p.param.name); });

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
