// SPDX-License-Identifier: MIT
#ifndef QUORVEL_GUARD_HPP
#define QUORVEL_GUARD_HPP

#include <sys/stat.h>

// Fills whichever of descriptors 0, 1 and 2 is closed with a descriptor on
// which every read and write fails, so that neither file can take a standard
// descriptor's number and no message can land in one of them. Returns false
// when that fails.
bool openstandard();

// Whether writing to the output, open as outfd with the status out, could
// overwrite the listing, open as infd with the status in, or feed the writes
// back into it. Each side reaches the file or disk it is; for a partition,
// its whole disk, held; for a loop device, the file or disk behind it, down
// through up to 32 of them; for a regular file, the disk under its file
// system, held, and what that reaches. A folder stands for a new file to be
// made in it. The answer is yes when something one side reaches, not held,
// is something the other side reaches. What cannot be followed is not.
bool samefile(int infd, const struct stat &in, int outfd, const struct stat &out);

#endif
