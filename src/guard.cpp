// SPDX-License-Identifier: MIT
#include "guard.hpp"

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

// What reading or writing a file reaches: a file (by device and inode) or a
// disk (by device number). Items that are only reached as the disk under a
// file's file system, or what lies under that disk, are held: writing to a
// file does not write over the rest of its disk.
struct Item {
    bool disk, held;
    dev_t dev;
    ino_t ino;
};

// Loop devices are never stacked anywhere near this deep.
constexpr int most = 16;

// The first line of the attribute name of the disk in /sys, into buf.
bool attribute(dev_t disk, const char *name, char *buf, std::size_t size) {
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(disk), minor(disk), name);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    buf[std::strcspn(buf, "\n")] = '\0';
    return true;
}

// The whole disk that a partition is on; any other disk is its own.
dev_t whole(dev_t disk) {
    char buf[32];
    unsigned maj, min;
    if (attribute(disk, "partition", buf, sizeof buf) &&
        attribute(disk, "../dev", buf, sizeof buf) && std::sscanf(buf, "%u:%u", &maj, &min) == 2)
        return makedev(maj, min);
    return disk;
}

// Opens the disk by its name in /dev, the kernel's name for it; -1 when that
// fails or gives another device.
int opendisk(dev_t disk) {
    char link[64], target[PATH_MAX], path[PATH_MAX + 8];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(disk), minor(disk));
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return -1;
    target[n] = '\0';
    const char *name = std::strrchr(target, '/');
    std::snprintf(path, sizeof path, "/dev/%s", name != nullptr ? name + 1 : target);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != disk)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The status of the file behind the loop device disk, open as fd or not
// open (-1). False when disk is not a loop device.
bool behind(int fd, dev_t disk, struct stat &st) {
    char path[PATH_MAX + 1];
    const bool loop = attribute(disk, "loop/backing_file", path, sizeof path);
    const bool named = loop && stat(path, &st) == 0;
    // The name in /sys is the one the file has where the device was set up:
    // from another mount namespace or a chroot it may lead nowhere, or
    // elsewhere. The device itself knows its file.
    const int own = fd < 0 && loop ? opendisk(disk) : -1;
    struct loop_info64 info;
    const bool told =
        (fd >= 0 || own >= 0) && ioctl(fd >= 0 ? fd : own, LOOP_GET_STATUS64, &info) == 0;
    if (own >= 0)
        close(own);
    if (!told)
        return named;
    // The kernel's own encoding of a device number.
    const std::uint64_t d = info.lo_device;
    const dev_t dev = makedev((d >> 8) & 0xFFF, (d & 0xFF) | ((d >> 12) & 0xFFF00));
    if (named && st.st_dev == dev && st.st_ino == info.lo_inode)
        return true;
    st = {};
    st.st_mode = S_IFREG;
    st.st_dev = dev;
    st.st_ino = info.lo_inode;
    return true;
}

// Adds what reading or writing the file with status st, open as fd or not
// open (-1), reaches: the file or disk itself, the file behind a loop device
// and so on down, and the disk that holds a regular file's file system and
// so on down, those held.
void reach(int fd, const struct stat &st, bool held, Item *items, int &n) {
    dev_t disk;
    if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) {
        if (n < most)
            items[n++] = {false, held, st.st_dev, st.st_ino};
        // A pipe is on no disk, and anonymous device numbers (major 0) name
        // none.
        if (!S_ISREG(st.st_mode) || major(st.st_dev) == 0)
            return;
        disk = st.st_dev;
        held = true;
        fd = -1;
    } else if (S_ISBLK(st.st_mode)) {
        disk = st.st_rdev;
    } else {
        return;
    }
    if (n == most)
        return;
    items[n++] = {true, held, disk, 0};
    struct stat below;
    if (behind(fd, disk, below))
        reach(-1, below, held, items, n);
}

bool overlap(const Item &a, const Item &b) {
    if (a.disk != b.disk || (a.held && b.held))
        return false;
    if (!a.disk)
        return a.dev == b.dev && a.ino == b.ino;
    return a.dev == b.dev || whole(a.dev) == b.dev || a.dev == whole(b.dev);
}

} // namespace

bool openstandard() {
    // Each open takes the lowest free number, the closed one.
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
            return false;
    return true;
}

bool samefile(int infd, const struct stat &in, int outfd, const struct stat &out) {
    Item r[most], w[most];
    int nr = 0, nw = 0;
    reach(infd, in, false, r, nr);
    reach(outfd, out, false, w, nw);
    for (int i = 0; i < nr; i++)
        for (int j = 0; j < nw; j++)
            if (overlap(r[i], w[j]))
                return true;
    return false;
}
