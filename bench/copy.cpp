// SPDX-License-Identifier: MIT

// The floor for a program that must read every byte it converts: a plain
// read/write copy, 128 KiB reads gathered into 256 KiB writes.
//
//   copy FROM TO

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {
char buf[256 << 10];
}

int main(int argc, char *argv[]) {
    const int in = argc == 3 ? open(argv[1], O_RDONLY) : -1;
    const int out = in >= 0 ? open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1;
    std::size_t used = 0;
    ssize_t n = 0;
    while (out >= 0 && (n = read(in, buf + used, 128 << 10)) > 0)
        if ((used += static_cast<std::size_t>(n)) > sizeof buf - (128 << 10)) {
            n = write(out, buf, used) == static_cast<ssize_t>(used) ? 0 : -1;
            used = 0;
            if (n < 0)
                break;
        }
    if (out < 0 || n < 0 || write(out, buf, used) != static_cast<ssize_t>(used) ||
        close(out) != 0) {
        std::perror("copy");
        return 1;
    }
    return 0;
}
