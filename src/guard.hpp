// SPDX-License-Identifier: MIT
#ifndef QUORVEL_GUARD_HPP
#define QUORVEL_GUARD_HPP

#include <sys/stat.h>

// Fills whichever of descriptors 0, 1 and 2 is closed, with /dev/null or,
// where there is none, a descriptor on which every read and write fails, so
// that neither file can take a standard descriptor's number and no message
// can land in one of them. Returns false when that fails.
bool openstandard();

// Whether writing to the output, open as outfd with the status out, could
// overwrite the listing, open as infd with the status in, or feed the writes
// back into it: the same regular file or pipe, or overlapping bytes of one
// disk or file, with partitions taken to their place on the whole disk and
// loop devices to their place in what is behind them, however deep they are
// stacked, and a file's file system to the bytes of its disk. Where a disk
// cannot be followed to its end, the answer is yes unless the other side is
// a pipe, a terminal or another character device.
bool samefile(int infd, const struct stat &in, int outfd, const struct stat &out);

#endif
