// SPDX-License-Identifier: MIT

// End to end: the built program run on real files in a temporary directory.

#include <gtest/gtest.h>

#include "listing.hpp"
#include "support.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
// under the name; Node: another node for the disk made under that name;
// Backed: a loop device over the file named by the content, its node made
// under the name; Char: a character device node with the numbers of the disk
// named by the content; Pipe: a FIFO to which a writer sends the content once
// the program opens it; Tmpfs: a fresh file system
// mounted on a new directory, and Ext2: a fresh ext2 file system on the disk
// named by the content mounted there, both in a mount namespace of the test's
// own; Sealed: a file in memory holding the content, sealed against
// shrinking, open in the program as descriptor 9, and the name a symbolic
// link to /dev/fd/9; Aside: a loop device over the one named by the content,
// attached from a mount namespace gone before the program runs, where /sys
// names the device behind it by a path that leads nowhere; Part: partition k
// (the name's last digit) of the loop device named by the content, 480 KiB at
// 32 KiB + 512 KiB * (k - 1), its node made under the name; Cover: in the
// test's mount namespace, an empty tmpfs over the folder named, or a FIFO over
// the attribute named of the disk named by the content in /sys.
// clang-format off
enum Kind { File, Dir, Symlink, Hardlink, Loop, Node, Backed, Char, Pipe, Tmpfs, Ext2, Sealed,
            Aside, Part, Cover };
// clang-format on

struct Entry {
    Kind kind;
    std::string name, content; // bytes of a file or disk, target of a link or node
    // The first number tried for a loop device. Numbers past 255 are encoded
    // apart from the rest, so the suite's own loop devices sit there.
    int loop = 300;
};

struct Case {
    std::string name;
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
    // A fault that strace injects into the program's calls on the file of
    // args[faulton], as "close:error=EIO" or "openat:error=EEXIST:when=2".
    const char *fault = nullptr;
    int faulton = 1;
    // What a shell does before it runs the program, under $as if it sets that;
    // it exits 77 where it cannot.
    std::string shell = "";
    unsigned mode = 0; // the permission bits args[1] must have afterwards
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

// The loop devices a test attached, detached when it ends, and a descriptor
// it left open for the program, closed.
struct Disks {
    std::vector<std::string> devices;
    bool sealed = false;
    ~Disks() {
        for (const std::string &d : devices)
            EXPECT_EQ(std::system(("losetup -d " + d).c_str()), 0) << d << " stays attached";
        if (sealed)
            close(9);
    }
};

// Attaches the first free loop device numbered from first up to the file at
// image, running losetup under via; returns its path, or "".
std::string attach(const fs::path &image, int first, const std::string &via = "") {
    for (int n = first; n < first + 64; n++) {
        const std::string device = "/dev/loop" + std::to_string(n);
        if (std::system(
                (via + "losetup -P " + device + " '" + image.string() + "' 2>/dev/null").c_str()) ==
            0)
            return device;
    }
    return "";
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

// strace, to run the program under with the fault injected into its calls on
// the file named, which is at path. LeakSanitizer cannot work in a traced program, so a
// sanitizer build checks no leaks there.
std::vector<std::string> strace(const std::string &fault, const std::string &name,
                                const fs::path &path) {
    const char *asan = std::getenv("ASAN_OPTIONS");
    return {"strace", "--quiet=all", "-o", "/dev/null", "-E",
            "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":detect_leaks=0",
            // The name as the program opens it, and as a descriptor's.
            "-P", name, "-P", fs::weakly_canonical(path).string(), "-e",
            "trace=" + fault.substr(0, fault.find(':')), "-e", "inject=" + fault};
}

// Makes a device node of this type at path for the device that the node at
// of names.
bool mknode(const fs::path &path, const std::string &of, mode_t type = S_IFBLK) {
    struct stat st;
    if (stat(of.c_str(), &st) != 0 || mknod(path.c_str(), type | 0600, st.st_rdev) != 0)
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
    // A mount namespace of the test's own, made once.
    auto privately = [&] {
        return !mounts.points.empty() ||
               (unshare(CLONE_NEWNS) == 0 &&
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
    };
    // Every path made, and the folders above it.
    std::set<std::string> expected;
    auto expect = [&](fs::path p) {
        for (; !p.empty(); p = p.parent_path())
            expected.insert(p.string());
    };
    bool tmpfs = false;
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
        case Backed:
        case Aside: {
            fs::path image = s.work() / e.content;
            struct stat st;
            // The device's own node, on a mount of its own.
            if (e.kind == Aside && stat(image.c_str(), &st) == 0)
                image = "/dev/loop" + std::to_string(minor(st.st_rdev));
            if (e.kind == Loop)
                spit(image = s.work().parent_path() / (e.name + ".img"), e.content);
            std::string device = attach(image, e.loop, e.kind == Aside ? "unshare -m " : "");
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
        case Char:
            if (!mknode(p, (s.work() / e.content).string(), S_IFCHR))
                GTEST_SKIP() << "no character device with the loop device's numbers opens here";
            break;
        case Part: {
            struct stat st;
            ASSERT_EQ(stat((s.work() / e.content).c_str(), &st), 0);
            const std::string device = "/dev/loop" + std::to_string(minor(st.st_rdev)),
                              k(1, e.name.back()), at = std::to_string(64 + (k[0] - '1') * 1024);
            if (std::system(("addpart " + device + " " + k + " " + at + " 960").c_str()) != 0)
                GTEST_SKIP() << "addpart (util-linux) cannot add a partition here";
            ASSERT_TRUE(mknode(p, device + "p" + k));
            break;
        }
        case Cover: {
            if (!privately())
                GTEST_SKIP() << "no mount namespace of its own here";
            fs::path target = e.name;
            struct stat st;
            if (e.content.empty()) {
                ASSERT_EQ(mount("tmpfs", target.c_str(), "tmpfs", 0, "size=1m"), 0);
            } else {
                ASSERT_EQ(stat((s.work() / e.content).c_str(), &st), 0);
                target = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                         std::to_string(minor(st.st_rdev)) + "/" + e.name;
                const fs::path fifo = s.work().parent_path() / "fifo";
                ASSERT_TRUE(fs::exists(fifo) || mkfifo(fifo.c_str(), 0600) == 0);
                ASSERT_EQ(mount(fifo.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0);
            }
            mounts.points.push_back(target);
            continue;
        }
        case Sealed: {
            const int fd = memfd_create("sealed", MFD_ALLOW_SEALING);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, e.content.data(), e.content.size()), ssize_t(e.content.size()));
            ASSERT_EQ(fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK), 0);
            ASSERT_EQ(dup2(fd, 9), 9);
            disks.sealed = true;
            close(fd);
            fs::create_symlink("/dev/fd/9", p);
            break;
        }
        case Pipe:
            ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
            writers.threads.emplace_back(sendinto, p, e.content);
            break;
        case Tmpfs:
        case Ext2: {
            const std::string disk = (s.work() / e.content).string();
            if (e.kind == Ext2 &&
                std::system(("mkfs.ext2 -q -F '" + disk + "' >/dev/null 2>&1").c_str()) != 0)
                GTEST_SKIP() << "mkfs.ext2 (e2fsprogs) cannot make a file system here";
            if (!privately())
                GTEST_SKIP() << "no mount namespace of its own here";
            fs::create_directory(p);
            ASSERT_EQ(e.kind == Tmpfs ? mount("tmpfs", p.c_str(), "tmpfs", 0, "size=1m")
                                      : mount(disk.c_str(), p.c_str(), "ext2", 0, nullptr),
                      0);
            mounts.points.push_back(p);
            tmpfs = tmpfs || e.kind == Tmpfs;
            break;
        }
        }
        expect(e.name);
    }
    // Rows on fresh file systems are there for files that differ only in
    // their device.
    struct stat a, b;
    if (tmpfs && (stat((s.work() / c.args[0]).c_str(), &a) != 0 ||
                  stat((s.work() / c.args[1]).c_str(), &b) != 0 || a.st_ino != b.st_ino))
        GTEST_SKIP() << "the fresh file systems gave the files different inode numbers";
    std::vector<std::string> via;
    if (c.fault != nullptr) {
        if (std::system("strace -qq -o /dev/null true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "strace is not installed or cannot trace here";
        const std::string &name = c.args[std::size_t(c.faulton)];
        via = strace(c.fault, name, s.work() / name);
    }
    if (!c.shell.empty())
        via = {"sh", "-c", c.shell + " exec $as \"$0\" \"$@\""};
    Result r = s.run(c.args, c.stackkib, via);
    if (r.status == 77)
        GTEST_SKIP() << "the shell's setting cannot be made here";
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.flatmemory) {
        EXPECT_LT(r.peakkib - smallpeakkib(), 2048) << "peak KiB " << r.peakkib;
    }
    for (const auto &[name, bytes] : c.after) {
        expect(name);
        EXPECT_TRUE(fs::is_regular_file(s.work() / name)) << name;
        std::string got = slurp(s.work() / name);
        EXPECT_EQ(got.size(), bytes.size()) << name;
        EXPECT_TRUE(got == bytes) << name << " differs";
    }
    struct stat st;
    if (c.mode != 0) {
        ASSERT_EQ(stat((s.work() / c.args[1]).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
    }
    for (const Entry &e : c.before)
        if (e.kind == Loop) {
            std::string got = slurp(s.work() / e.name);
            EXPECT_TRUE(got == e.content) << e.name << " was written to";
        }
    std::set<std::string> present;
    for (auto i = fs::recursive_directory_iterator(s.work()); i != fs::end(i); ++i)
        if (i->path().filename() == "lost+found")
            i.disable_recursion_pending();
        else
            present.insert(i->path().lexically_relative(s.work()).string());
    EXPECT_EQ(present, expected);
}

const std::vector<std::uint16_t> wrap = words(32769), many = words(200000), twice = words(70000),
                                 forty = words(40000);
// The words of the whole lines in the first block the program reads.
const std::vector<std::uint16_t> firstblock(forty.begin(), forty.begin() + blockSize / cleanSize);
// A line of 8 MiB is cut into reads of 63 digits and a last one of 32.
const std::string hugeline(8 << 20, '1');
const std::vector<std::uint16_t> hugewords((8 << 20) / 63 + 1, 0xFFFF);

const std::string fin = "fin fails: ", fout = "fout fails: ";
const std::string nofile = "No such file or directory\n", isdir = "Is a directory\n",
                  eio = "Input/output error\n",
                  utf16 = "Invalid or incomplete multibyte or wide character\n";
const std::string twohex = ":020000000200FC\n:0200020010EC00\n";
// An ordinary user who owns the image and may write in its file system, as
// after opening it from a desktop: the loop device stays root's.
const std::string user = "chmod a+rwxt .. . img mnt && "
                         "as='setpriv --reuid=65534 --regid=65534 --clear-groups' && "
                         "$as test -x \"$0\" || exit 77;";
// A listing that fills one 512-byte sector of a disk, and its image, which
// does too.
const std::string sector = hack(words(30)) + "\n\n";
std::vector<std::uint16_t> sectorwords() {
    std::vector<std::uint16_t> ws = words(30);
    ws.resize(32);
    return ws;
}
// A loop device a over the file img, and n over a.
const std::vector<Entry> stacked = {
    {File, "img", sector}, {Backed, "a", "img"}, {Backed, "n", "a"}};
// These entries on a fresh ext2 file system at mnt, on the loop device disk
// over the file img.
std::vector<Entry> mounted(const std::vector<Entry> &more) {
    std::vector<Entry> e = {
        {File, "img", std::string(1 << 20, '\0')}, {Backed, "disk", "img"}, {Ext2, "mnt", "disk"}};
    e.insert(e.end(), more.begin(), more.end());
    return e;
}

// Thirty-three loop devices stacked over the file img, the top one named top.
std::vector<Entry> tower() {
    std::vector<Entry> e = {{File, "img", sector}};
    for (int i = 1; i <= 33; i++)
        e.push_back({Backed, i < 33 ? "s" + std::to_string(i) : "top",
                     i > 1 ? "s" + std::to_string(i - 1) : "img"});
    return e;
}
// A file img of 1 MiB, the loop device disk over it, its partitions p1 and
// p2, and these entries.
const std::string zeros(1 << 20, '\0');
std::vector<Entry> parted(const std::vector<Entry> &more) {
    std::vector<Entry> e = {
        {File, "img", zeros}, {Backed, "disk", "img"}, {Part, "p1", "disk"}, {Part, "p2", "disk"}};
    e.insert(e.end(), more.begin(), more.end());
    return e;
}
// These entries on a fresh ext2 file system at mnt, on p1.
std::vector<Entry> onpartition(const std::vector<Entry> &more) {
    std::vector<Entry> e = {{Ext2, "mnt", "p1"}, {File, "mnt/a.hack", golden}};
    e.insert(e.end(), more.begin(), more.end());
    return parted(e);
}
// img once p2, all zeros, has been converted into p1: 480 KiB make 7,802
// reads.
std::string intop1() {
    const std::string image = hex(std::vector<std::uint16_t>(7802, 0));
    return std::string(zeros).replace(32 << 10, image.size(), image);
}

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
    // The kernel's reason, as cp gives it: an unset variable, mostly.
    Case{"empty_output_name_is_no_such_file", {{File, "a.hack", golden}}, {"a.hack", ""},
         1, "", fout + nofile, {{"a.hack", golden}}},
    Case{"output_named_with_a_final_slash_is_a_directory", {{File, "a.hack", golden}},
         {"a.hack", "new/"}, 1, "", fout + isdir, {{"a.hack", golden}}},
    Case{"output_by_a_symbolic_link_to_nowhere_makes_nothing",
         {{File, "a.hack", golden}, {Symlink, "s.hex", "nowhere.hex"}}, {"a.hack", "s.hex"},
         1, "", fout + "File exists\n", {{"a.hack", golden}}},
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
    Case{"utf8_byte_order_mark_is_skipped", {{File, "a.hack", "\xEF\xBB\xBF" + golden}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", goldenhex}}},
    Case{"utf8_byte_order_mark_alone_gives_no_record", {{File, "a.hack", "\xEF\xBB\xBF"}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", ""}}},
    Case{"utf16_byte_order_mark_alone_is_refused", {{File, "a.hack", "\xFF\xFE"}},
         {"a.hack", "out.hex"}, 1, "", fin + utf16, {{"out.hex", ""}}},
    Case{"listing_starting_with_ff_but_not_fe_converts", {{File, "a.hack", "\xFF\n" + golden}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", hex({0, 2, 0xEC10, 0, 0xE308})}}},
    Case{"big_endian_utf16_listing_is_refused",
         {{File, "a.hack", std::string("\xFE\xFF" "\0" "1\0" "\n", 6)}},
         {"a.hack", "out.hex"}, 1, "", fin + utf16, {{"out.hex", ""}}},
    Case{"line_of_63_digits_gives_two_records",
         {{File, "a.hack", std::string(63, '1') + "\n0000000000000010\n"}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", ":02000000FFFF00\n:020002000000FC\n:020004000200F8\n"}}},
    // The buffer fills at the 32768th record: the last one must not follow.
    Case{"failed_write_of_a_full_buffer_stops", {{File, "a.hack", hack(wrap)}},
         {"a.hack", "out.hex"}, 1, "", fout + eio, {{"out.hex", ""}},
         false, false, 0, "write:error=EIO:when=1"},
    Case{"addresses_wrap_twice_in_flat_memory", {{File, "a.hack", hack(twice)}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", hex(twice)}}, false, true},
    Case{"line_of_8_mib_without_newline_in_flat_memory", {{File, "a.hack", hugeline}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", hex(hugewords)}}, false, true},
    // The first write comes when the record buffer is full, long before the end.
    Case{"full_disk_part_way_is_reported_once", {{File, "a.hack", hack(many)}},
         {"a.hack", "/dev/full"}, 1, "", fout + "No space left on device\n", {}},
    Case{"directory_as_listing_is_a_read_error", {{Dir, "d", ""}, {File, "out.hex", "old\n"}},
         {"d", "out.hex"}, 1, "", fin + isdir, {{"out.hex", "old\n"}}},
    Case{"failed_first_read_is_a_read_error", {{File, "a.hack", golden}}, {"a.hack", "out.hex"},
         1, "", fin + eio, {{"a.hack", golden}, {"out.hex", ""}},
         false, false, 0, "read:error=EIO:when=1", 0},
    // The first block's records were made, and must be written.
    Case{"failed_read_after_the_first_block_keeps_its_records", {{File, "a.hack", hack(forty)}},
         {"a.hack", "out.hex"}, 1, "", fin + eio, {{"out.hex", hex(firstblock)}},
         false, false, 0, "read:error=EIO:when=2", 0},
    Case{"same_path_twice_is_refused", {{File, "a.hack", golden}}, {"a.hack", "a.hack"},
         1, "", samefile, {{"a.hack", golden}}},
    Case{"hard_link_to_listing_is_refused",
         {{File, "a.hack", golden}, {Hardlink, "h.hex", "a.hack"}},
         {"a.hack", "h.hex"}, 1, "", samefile, {{"a.hack", golden}}},
    Case{"symbolic_link_to_listing_is_refused",
         {{File, "a.hack", golden}, {Symlink, "s.hex", "a.hack"}},
         {"a.hack", "s.hex"}, 1, "", samefile, {{"a.hack", golden}}},
    Case{"same_block_device_by_two_nodes_is_refused", {{Loop, "disk", sector}, {Node, "disk2", "disk"}},
         {"disk", "disk2"}, 1, "", samefile, {}, true},
    Case{"two_loop_devices_over_one_file_are_refused",
         {{File, "img", sector}, {Backed, "l1", "img"}, {Backed, "l2", "img"}}, {"l1", "l2"},
         1, "", samefile, {{"img", sector}}, true},
    Case{"file_and_a_loop_device_over_it_are_refused", {{File, "img", sector}, {Backed, "l", "img"}},
         {"img", "l"}, 1, "", samefile, {{"img", sector}}, true},
    // Once the writer has sent a line, a program that went on would read its
    // own records back for ever.
    Case{"same_fifo_twice_is_refused_at_once", {{Pipe, "f", "0000000000000111\n"}}, {"f", "f"},
         1, "", samefile, {}},
    Case{"files_on_two_file_systems_with_one_inode_number_convert",
         {{Tmpfs, "m1", ""}, {Tmpfs, "m2", ""}, {File, "m1/a.hack", golden},
          {File, "m2/out.hex", "old\n"}},
         {"m1/a.hack", "m2/out.hex"}, 0, "", "", {{"m1/a.hack", golden}, {"m2/out.hex", goldenhex}},
         true},
    Case{"stacked_loop_devices_over_the_listing_are_refused",
         stacked, {"img", "n"}, 1, "", samefile, {{"img", sector}}, true},
    Case{"loop_device_and_one_stacked_on_it_are_refused",
         stacked, {"a", "n"}, 1, "", samefile, {{"img", sector}}, true},
    Case{"loop_device_stacked_on_the_output_is_refused",
         stacked, {"n", "a"}, 1, "", samefile, {{"img", sector}}, true},
    Case{"two_different_disks_convert",
         {{File, "ia", sector}, {File, "ib", std::string(512, 'x')}, {Backed, "a", "ia"},
          {Backed, "b", "ib"}}, {"a", "b"},
         0, "", "", {{"ia", sector}, {"ib", hex(sectorwords())}}, true},
    // The console's screen takes the records.
    Case{"character_device_with_a_disks_numbers_is_not_that_disk",
         {{Loop, "disk", sector, 0}, {Char, "c", "disk"}}, {"disk", "c"}, 0, "", "", {}, true},
    Case{"disk_holding_the_listings_file_system_is_refused",
         mounted({{File, "mnt/a.hack", golden}}), {"mnt/a.hack", "disk"},
         1, "", samefile, {{"mnt/a.hack", golden}}, true},
    Case{"as_a_user_the_image_into_a_new_file_on_it_is_refused_and_makes_nothing", mounted({}),
         {"img", "mnt/new.hex"}, 1, "", samefile, {}, true, false, 0, nullptr, 1, user},
    Case{"as_a_user_the_file_behind_the_disk_holding_the_listing_is_refused",
         mounted({{File, "mnt/a.hack", golden}}), {"mnt/a.hack", "img"},
         1, "", samefile, {{"mnt/a.hack", golden}}, true, false, 0, nullptr, 1, user},
    // The file behind the loop device lies on a disk numbered past 255.
    Case{"loop_device_over_a_file_on_a_loop_disk_is_refused",
         mounted({{File, "mnt/b.img", sector}, {Backed, "l", "mnt/b.img"}}), {"mnt/b.img", "l"},
         1, "", samefile, {{"mnt/b.img", sector}}, true},
    // The kernel is asked on the disk's node, not /sys.
    Case{"file_under_all_the_disks_below_the_listing_is_refused",
         mounted({{File, "mnt/b.img", sector}, {Backed, "l", "mnt/b.img"},
                  {Cover, "loop/backing_file", "disk"}}), {"l", "img"},
         1, "", samefile, {{"mnt/b.img", sector}}, true},
    // The node opened to ask the disk must be closed again.
    Case{"pair_on_a_loop_disk_converts_with_six_descriptors",
         mounted({{File, "mnt/a.hack", golden}}), {"mnt/a.hack", "mnt/new.hex"}, 0, "", "",
         {{"mnt/a.hack", golden}, {"mnt/new.hex", goldenhex}}, true, false, 0, nullptr, 1,
         "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&-; ulimit -n 6;"},
    Case{"stack_set_up_in_another_mount_namespace_is_refused",
         {{File, "img", sector}, {Backed, "a", "img"}, {Aside, "n", "a"}}, {"img", "n"},
         1, "", samefile, {{"img", sector}}, true},
    Case{"thirty_two_stacked_loop_devices_over_the_listing_are_refused", tower(), {"img", "s32"},
         1, "", samefile, {{"img", sector}}, true},
    // What the top one writes reaches img only once the stack is taken down.
    Case{"a_thirty_third_stacked_loop_device_is_not_followed", tower(), {"img", "top"},
         0, "", "", {}, true},
    Case{"file_behind_the_partition_holding_the_listing_is_refused", onpartition({}),
         {"mnt/a.hack", "img"}, 1, "", samefile, {{"mnt/a.hack", golden}}, true},
    Case{"loop_device_over_the_file_behind_the_listings_partition_is_refused",
         onpartition({{Backed, "l", "img"}}), {"mnt/a.hack", "l"},
         1, "", samefile, {{"mnt/a.hack", golden}}, true},
    Case{"file_behind_the_outputs_partition_as_listing_is_refused",
         onpartition({{File, "mnt/out.hex", "old\n"}}), {"img", "mnt/out.hex"},
         1, "", samefile, {{"mnt/out.hex", "old\n"}}, true},
    Case{"partition_against_its_whole_disk_is_refused", parted({}), {"p1", "disk"},
         1, "", samefile, {{"img", zeros}}, true},
    Case{"whole_disk_against_its_partition_is_refused", parted({}), {"disk", "p1"},
         1, "", samefile, {{"img", zeros}}, true},
    Case{"two_partitions_of_one_loop_device_convert", parted({}), {"p2", "p1"},
         0, "", "", {{"img", intop1()}}, true},
    // A partition of a loop device is numbered as NVMe disks are.
    Case{"without_sys_two_files_on_a_disk_numbered_259_convert",
         onpartition({{Cover, "/sys", ""}}), {"mnt/a.hack", "mnt/out.hex"},
         0, "", "", {{"mnt/a.hack", golden}, {"mnt/out.hex", goldenhex}}, true},
    Case{"as_a_user_fifos_over_the_disks_attributes_hold_up_no_pair_on_it",
         mounted({{File, "mnt/a.hack", golden}, {Cover, "size", "disk"},
                  {Cover, "loop/backing_file", "disk"}}), {"mnt/a.hack", "mnt/out.hex"},
         0, "", "", {{"mnt/a.hack", golden}, {"mnt/out.hex", goldenhex}},
         true, false, 0, nullptr, 1, user},
    Case{"as_a_user_the_file_behind_the_disk_by_another_hard_link_is_refused",
         mounted({{File, "mnt/a.hack", golden}, {Hardlink, "img2", "img"}}), {"mnt/a.hack", "img2"},
         1, "", samefile, {{"mnt/a.hack", golden}}, true, false, 0, nullptr, 1, user},
    Case{"fifo_on_a_disk_against_that_disk_converts", mounted({{Pipe, "mnt/f", golden}}),
         {"mnt/f", "disk"}, 0, "", "", {}, true},
    // A container whose workspace is a loop-mounted image.
    Case{"without_loop_nodes_in_dev_two_files_on_a_loop_disk_convert",
         mounted({{File, "mnt/a.hack", golden}, {Cover, "/dev", ""}}), {"mnt/a.hack", "mnt/out.hex"},
         0, "", "", {{"mnt/a.hack", golden}, {"mnt/out.hex", goldenhex}}, true},
    Case{"failing_close_of_the_output_is_a_write_failure", {{File, "a.hack", golden}},
         {"a.hack", "out.hex"}, 1, "", fout + "Input/output error\n", {{"out.hex", goldenhex}},
         false, false, 0, "close:error=EIO"},
    Case{"failing_write_and_close_report_the_write", {{File, "a.hack", golden}},
         {"a.hack", "/dev/full"}, 1, "", fout + "No space left on device\n", {},
         false, false, 0, "close:error=EIO"},
    Case{"interrupted_read_of_the_listing_is_retried", {{File, "a.hack", golden}},
         {"a.hack", "out.hex"}, 0, "", "", {{"a.hack", golden}, {"out.hex", goldenhex}},
         false, false, 0, "read:error=EINTR:when=1", 0},
    Case{"output_is_opened_once", {{File, "a.hack", golden}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", goldenhex}}, false, false, 0, "openat:error=EEXIST:when=3"},
    // A file system may take a truncated file for one being replaced.
    Case{"new_output_is_not_truncated", {{File, "a.hack", golden}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", goldenhex}}, false, false, 0, "ftruncate:error=EIO"},
    Case{"empty_output_is_not_truncated", {{File, "a.hack", golden}, {File, "out.hex", ""}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", goldenhex}}, false, false, 0,
         "ftruncate:error=EIO"},
    Case{"three_hundred_records_leave_in_one_write", {{File, "a.hack", hack(words(300))}},
         {"a.hack", "out.hex"}, 0, "", "", {{"out.hex", hex(words(300))}}, false, false, 0,
         "write:error=EIO:when=2"},
    Case{"output_that_cannot_shrink_is_a_failure",
         {{File, "a.hack", golden}, {Sealed, "sealed", std::string(100, 'x')}},
         {"a.hack", "sealed"}, 1, "", fout + "Operation not permitted\n",
         {{"a.hack", golden}, {"sealed", std::string(100, 'x')}}},
    Case{"created_output_takes_the_umask", {{File, "a.hack", golden}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", goldenhex}}, false, false, 0, nullptr, 1, "umask 002;", 0664},
    Case{"without_dev_and_with_input_closed_a_listing_converts",
         {{File, "a.hack", golden}, {Cover, "/dev", ""}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", goldenhex}}, true, false, 0, nullptr, 1, "exec 0<&-;"},
    Case{"closed_output_named_as_the_output_fails", {{File, "a.hack", golden}},
         {"a.hack", "/dev/stdout"}, 1, "", fout + isdir, {}, false, false, 0, nullptr, 1, "exec 1>&-;"},
    Case{"closed_input_named_as_the_listing_fails", {}, {"/dev/stdin", "out.hex"},
         1, "", fin + isdir, {}, false, false, 0, nullptr, 1, "exec 0<&-;"},
    Case{"same_character_device_twice_is_allowed", {}, {"/dev/null", "/dev/null"}, 0, "", "", {}},
    Case{"usage_line_in_a_64_kib_stack", {}, {}, 1, usage, "", {}, false, false, 64},
    Case{"conversion_in_a_64_kib_stack", {{File, "a.hack", hack(twice)}}, {"a.hack", "out.hex"},
         0, "", "", {{"out.hex", hex(twice)}}, false, false, 64}),
    [](const testing::TestParamInfo<Case> &p) { return p.param.name; });
// clang-format on

// The listing named twice with standard descriptors closed: neither file may
// take their numbers, and the refusal must not land in the listing.
std::vector<Case> closedstandard() {
    std::vector<Case> rows;
    for (int closed = 1; closed < 8; closed++) {
        std::string name = "listing_twice_with", shell = "exec";
        for (int fd = 0; fd < 3; fd++)
            if (closed >> fd & 1) {
                name += "_" + std::to_string(fd);
                shell += " " + std::to_string(fd) + ">&-";
            }
        Case c{name + "_closed_is_refused", {{File, "a.hack", golden}}, {"a.hack", "a.hack"}, 1, "",
               closed & 4 ? "" : samefile,  {{"a.hack", golden}}};
        c.shell = shell + ";";
        rows.push_back(c);
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Closed, Quorvel, testing::ValuesIn(closedstandard()),
                         [](const testing::TestParamInfo<Case> &p) { return p.param.name; });

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
                    // Two bytes that might begin a byte-order mark, but do not.
                    FifoCase{"line_of_two_bytes_from_a_pipe", "1\n" + golden, 2, hex({1}),
                             hex({1, 2, 0xEC10, 0, 0xE308})},
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
