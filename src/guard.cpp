// SPDX-License-Identifier: MIT
#include "guard.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// What reading or writing a file reaches: bytes from..to of a regular file or
// pipe (by device and inode) or of a disk that is neither a partition nor a
// loop device (by device number). Held bytes are those of the disk under a
// file's file system: writing to a file does not write over the rest of its
// disk. Where a disk cannot be followed to its end, an unsure item stands for
// whatever may lie below it: anything that a loop device may be put over, or,
// for a disk that can be no loop device, any disk.
enum Kind { Regular, Pipe, Disk, Unsure, UnsureDisk };

struct Item {
    Kind kind;
    bool held;
    dev_t dev;
    ino_t ino;
    std::uint64_t from, to;
};

constexpr std::uint64_t end = UINT64_MAX;
constexpr unsigned loopmajor = 7, extmajor = 259;

// Loop devices stacked deeper than this are not followed, and are refused.
constexpr int deepest = 32;
constexpr int most = 4 * deepest;

void put(Item *items, int &n, const Item &item) {
    if (n < most)
        items[n++] = item;
    else
        items[most - 1] = {Unsure, false, 0, 0, 0, end};
}

std::uint64_t add(std::uint64_t a, std::uint64_t b) {
    return a > end - b ? end : a + b;
}

// Bytes from..to of something that lies at offset in what is below it, at
// most limit bytes long, as bytes of what is below.
void shift(std::uint64_t &from, std::uint64_t &to, std::uint64_t offset, std::uint64_t limit) {
    from = add(offset, std::min(from, limit));
    to = add(offset, std::min(to, limit));
}

// The first line of the attribute name of the disk in /sys, into buf: 1 when
// read, 0 when the disk has no such attribute, -1 when it cannot be read or
// is no attribute (a regular file) at all.
int attribute(dev_t disk, const char *name, char *buf, std::size_t size) {
    char path[96];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(disk), minor(disk), name);
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    struct stat st;
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        n = read(fd, buf, size - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    buf[std::strcspn(buf, "\n")] = '\0';
    return 1;
}

// Whether the attribute name of the disk reads as a device number, into dev.
bool number(dev_t disk, const char *name, dev_t &dev) {
    char buf[32];
    unsigned maj, min;
    if (attribute(disk, name, buf, sizeof buf) != 1 || std::sscanf(buf, "%u:%u", &maj, &min) != 2)
        return false;
    dev = makedev(maj, min);
    return true;
}

// Whether the attribute name of the disk reads as a count of sectors, in bytes.
bool bytes(dev_t disk, const char *name, std::uint64_t &n) {
    char buf[32];
    unsigned long long sectors;
    if (attribute(disk, name, buf, sizeof buf) != 1 || std::sscanf(buf, "%llu", &sectors) != 1)
        return false;
    n = sectors > end / 512 ? end : sectors * 512;
    return true;
}

// Takes the disk, if it is a partition, to the whole disk it is on, with
// from..to as bytes of that. False when /sys cannot tell.
bool partition(dev_t &disk, std::uint64_t &from, std::uint64_t &to) {
    char buf[32];
    dev_t self, whole;
    std::uint64_t start, size;
    if (!number(disk, "dev", self) || self != disk)
        return false;
    switch (attribute(disk, "partition", buf, sizeof buf)) {
    case 0:
        return true;
    case 1:
        if (!bytes(disk, "start", start) || !bytes(disk, "size", size) ||
            !number(disk, "../dev", whole))
            return false;
        shift(from, to, start, size);
        disk = whole;
        return true;
    default:
        return false;
    }
}

// Opens the block device at path if it is the disk; -1 if not.
int openblock(const char *path, dev_t disk) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != disk)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Opens the disk, which the program has not opened, by a name in /dev that
// turns out to be that very disk: udev's, or the kernel's. -1 if none is.
int opendisk(dev_t disk) {
    char path[PATH_MAX + 8], link[64], target[PATH_MAX];
    std::snprintf(path, sizeof path, "/dev/block/%u:%u", major(disk), minor(disk));
    int fd = openblock(path, disk);
    if (fd >= 0)
        return fd;
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(disk), minor(disk));
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return -1;
    target[n] = '\0';
    const char *name = std::strrchr(target, '/');
    std::snprintf(path, sizeof path, "/dev/%s", name != nullptr ? name + 1 : target);
    return openblock(path, disk);
}

// The kernel's own encoding of a device number.
dev_t decode(std::uint64_t d) {
    return makedev((d >> 8) & 0xFFF, (d & 0xFF) | ((d >> 12) & 0xFFF00));
}

void file(const struct stat &st, std::uint64_t from, std::uint64_t to, bool held, int depth,
          Item *items, int &n);

// Adds what bytes from..to of the disk, open as fd or not open (-1), reach:
// the disk, or, for a loop device, the file or disk behind it, down to the
// end.
void disk(int fd, dev_t dev, std::uint64_t from, std::uint64_t to, bool held, int depth,
          Item *items, int &n) {
    dev_t whole = dev;
    if (depth > deepest || !partition(whole, from, to)) {
        // Without /sys, a loop device's partitions may be numbered as the
        // loop device or as an extended partition.
        const bool loop = major(dev) == loopmajor || major(dev) == extmajor;
        put(items, n, {loop ? Unsure : UnsureDisk, held, dev, 0, from, to});
        return;
    }
    if (major(whole) != loopmajor) {
        put(items, n, {Disk, held, whole, 0, from, to});
        return;
    }
    // The loop device is asked on what is open; by a name only where the
    // program has not opened it.
    const int asked = fd >= 0 ? fd : opendisk(whole);
    struct loop_info64 info;
    const bool told = asked >= 0 && ioctl(asked, LOOP_GET_STATUS64, &info) == 0;
    // A loop device with nothing behind it holds no bytes.
    const bool unbound = asked >= 0 && !told && errno == ENXIO;
    if (asked >= 0 && asked != fd)
        close(asked);
    if (!told) {
        if (!unbound)
            put(items, n, {Unsure, held, whole, 0, from, to});
        return;
    }
    shift(from, to, info.lo_offset, info.lo_sizelimit != 0 ? info.lo_sizelimit : end);
    // Behind it is a regular file, or a device node, which stands for its
    // disk.
    if (info.lo_rdevice != 0) {
        disk(-1, decode(info.lo_rdevice), from, to, held, depth + 1, items, n);
        return;
    }
    struct stat below = {};
    below.st_mode = S_IFREG;
    below.st_dev = decode(info.lo_device);
    below.st_ino = info.lo_inode;
    file(below, from, to, held, depth + 1, items, n);
}

// Adds what bytes from..to of the regular file or pipe with status st reach:
// the file, and the disk that holds a regular file's file system, held.
void file(const struct stat &st, std::uint64_t from, std::uint64_t to, bool held, int depth,
          Item *items, int &n) {
    const bool regular = S_ISREG(st.st_mode);
    put(items, n, {regular ? Regular : Pipe, held, st.st_dev, st.st_ino, from, to});
    // A pipe is on no disk, and anonymous device numbers (major 0) name none.
    if (regular && major(st.st_dev) != 0)
        disk(-1, st.st_dev, 0, end, true, depth, items, n);
}

// Adds what reading or writing the file with status st, open as fd, reaches.
void reach(int fd, const struct stat &st, Item *items, int &n) {
    if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))
        file(st, 0, end, false, 0, items, n);
    else if (S_ISBLK(st.st_mode))
        disk(fd, st.st_rdev, 0, end, false, 0, items, n);
}

bool overlap(const Item &a, const Item &b) {
    if (a.held && b.held)
        return false;
    if (a.kind == Unsure || b.kind == Unsure)
        return a.kind != Pipe && b.kind != Pipe;
    if (a.kind == UnsureDisk || b.kind == UnsureDisk) {
        const Kind other = a.kind == UnsureDisk ? b.kind : a.kind;
        return other == Disk || other == UnsureDisk;
    }
    return a.kind == b.kind && a.dev == b.dev && (a.kind == Disk || a.ino == b.ino) &&
           a.from < b.to && b.from < a.to;
}

// A descriptor for a closed standard one: /dev/null where it is one,
// otherwise the root folder as a path alone, on which every read and write
// fails.
int placeholder() {
    int fd = open("/dev/null", O_RDWR | O_NOCTTY);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    return fd >= 0 ? fd : open("/", O_PATH);
}

} // namespace

bool openstandard() {
    // Each open takes the lowest free number, the closed one.
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && placeholder() != fd)
            return false;
    return true;
}

bool samefile(int infd, const struct stat &in, int outfd, const struct stat &out) {
    Item r[most], w[most];
    int nr = 0, nw = 0;
    reach(infd, in, r, nr);
    reach(outfd, out, w, nw);
    for (int i = 0; i < nr; i++)
        for (int j = 0; j < nw; j++)
            if (overlap(r[i], w[j]))
                return true;
    return false;
}
