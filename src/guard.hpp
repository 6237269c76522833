// SPDX-License-Identifier: MIT
#ifndef QUORVEL_GUARD_HPP
#define QUORVEL_GUARD_HPP

#include <sys/stat.h>

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
// neither file can take a standard descriptor's number and no message can
// land in one of them. Returns false when that fails.
bool openstandard();

// Whether writing to the output, open as outfd with the status out, would
// overwrite the listing, open as infd with the status in, or feed the writes
// back into it: the same regular file or pipe, the same disk (a partition
// counting as part of its whole disk), a loop device taken as the file behind
// it however deep they are stacked, or a disk and a file on a file system it
// holds. A terminal or /dev/null named twice is harmless.
bool samefile(int infd, const struct stat &in, int outfd, const struct stat &out);

#endif
