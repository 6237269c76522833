// SPDX-License-Identifier: MIT
#include "guard.hpp"

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

// What reading or writing a file reaches: a regular file or FIFO, by device
// and inode, or a disk, by device number. A held item is reached but not
// written over: the whole disk of a partition, the disk under a file's file
// system, and what lies behind those.
struct Item {
    bool disk, held;
    dev_t dev;
    ino_t ino;
};

constexpr unsigned loopmajor = 7;

// Loop devices stacked deeper than this are not followed. Each one followed,
// and the file named, add at most three items.
constexpr int deepest = 32;
constexpr int most = 3 * (deepest + 1);

// Reads the first line of the attribute name of the disk in /sys into buf.
// False when there is none, or it is no regular file: nothing here waits.
bool attribute(dev_t disk, const char *name, char *buf, std::size_t size) {
    char path[96];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(disk), minor(disk), name);
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    const ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, buf, size - 1) : -1;
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    buf[std::strcspn(buf, "\n")] = '\0';
    return true;
}

// The attribute name of the disk as a whole number, into v.
bool value(dev_t disk, const char *name, unsigned long long &v) {
    char buf[32];
    return attribute(disk, name, buf, sizeof buf) && std::sscanf(buf, "%llu", &v) == 1;
}

// The kernel's own encoding of a device number.
dev_t decode(std::uint64_t d) {
    return makedev((d >> 8) & 0xFFF, (d & 0xFF) | ((d >> 12) & 0xFFF00));
}

// Opens the loop device by its kernel name in /dev, if that is the device.
int openloop(dev_t loop) {
    char link[64], target[PATH_MAX], path[PATH_MAX + 8];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(loop), minor(loop));
    const ssize_t n = readlink(link, target, sizeof target - 1);
    // Without /sys, the name a loop device has unless it is a partition.
    if (n > 0)
        target[n] = '\0';
    else
        std::snprintf(target, sizeof target, "loop%u", minor(loop));
    const char *name = std::strrchr(target, '/');
    std::snprintf(path, sizeof path, "/dev/%s", name != nullptr ? name + 1 : target);
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != loop)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The status of what is behind the loop device, open as fd or not (-1): as
// the kernel tells it, asked on the device itself; where it cannot be asked,
// the file that /sys names, if that exists and is large enough to be it.
bool behind(int fd, dev_t loop, struct stat &st) {
    const int asked = fd >= 0 ? fd : openloop(loop);
    struct loop_info64 info;
    const bool told = asked >= 0 && ioctl(asked, LOOP_GET_STATUS64, &info) == 0;
    if (asked >= 0 && asked != fd)
        close(asked);
    if (told) {
        st = {};
        st.st_mode = info.lo_rdevice != 0 ? S_IFBLK : S_IFREG;
        st.st_dev = decode(info.lo_device);
        st.st_ino = info.lo_inode;
        st.st_rdev = decode(info.lo_rdevice);
        return true;
    }
    char path[PATH_MAX];
    unsigned long long offset, sectors, size;
    if (!attribute(loop, "loop/backing_file", path, sizeof path) ||
        !value(loop, "loop/offset", offset) || !value(loop, "size", sectors) ||
        stat(path, &st) != 0)
        return false;
    if (S_ISREG(st.st_mode))
        size = static_cast<unsigned long long>(st.st_size);
    else if (!S_ISBLK(st.st_mode) || !value(st.st_rdev, "size", size) || (size *= 512) == 0)
        return false;
    return size >= offset && size - offset >= sectors * 512;
}

// Whether the disk dev is among the n items.
bool among(dev_t dev, const Item *items, int n) {
    for (int i = 0; i < n; i++)
        if (items[i].disk && items[i].dev == dev)
            return true;
    return false;
}

// Adds what reading or writing the file with status st, open as fd or not
// (-1), reaches. Anonymous device numbers (major 0) name no disk. A disk that
// the other side reaches too ends the walk: where one side does not hold it,
// the pair is refused on it already; where both do, all below it is held on
// both sides and decides nothing.
void reach(int fd, struct stat st, bool held, int depth, Item *items, int &n, const Item *other,
           int nother) {
    if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))
        items[n++] = {false, held, st.st_dev, st.st_ino};
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        if (major(st.st_dev) == 0)
            return;
        st.st_mode = S_IFBLK, st.st_rdev = st.st_dev, held = true, fd = -1;
    }
    if (!S_ISBLK(st.st_mode))
        return;
    dev_t dev = st.st_rdev;
    items[n++] = {true, held, dev, 0};
    if (among(dev, other, nother))
        return;
    char buf[32];
    unsigned maj, min;
    if (attribute(dev, "partition", buf, sizeof buf) && attribute(dev, "../dev", buf, sizeof buf) &&
        std::sscanf(buf, "%u:%u", &maj, &min) == 2) {
        dev = makedev(maj, min);
        held = true;
        items[n++] = {true, held, dev, 0};
        if (among(dev, other, nother))
            return;
    }
    if (major(dev) == loopmajor && depth < deepest && behind(fd, dev, st))
        reach(-1, st, held, depth + 1, items, n, other, nother);
}

} // namespace

bool openstandard() {
    // Each open takes the lowest free number, the closed one.
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/", O_PATH) != fd)
            return false;
    return true;
}

bool samefile(int infd, const struct stat &in, int outfd, const struct stat &out) {
    Item r[most], w[most];
    int nr = 0, nw = 0;
    reach(infd, in, false, 0, r, nr, nullptr, 0);
    reach(outfd, out, false, 0, w, nw, r, nr);
    for (int i = 0; i < nr; i++)
        for (int j = 0; j < nw; j++)
            if (!(r[i].held && w[j].held) && r[i].disk == w[j].disk && r[i].dev == w[j].dev &&
                (r[i].disk || r[i].ino == w[j].ino))
                return true;
    return false;
}
