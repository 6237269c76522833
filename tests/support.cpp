// SPDX-License-Identifier: MIT
#include "support.hpp"
#include "plain.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

Scratch::Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "quorvel-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    base_ = tmpl;
    fs::create_directory(work());
}

Scratch::~Scratch() {
    std::error_code ec;
    fs::remove_all(base_, ec);
}

Result Scratch::run(const std::vector<std::string> &args, long stackkib,
                    const std::vector<std::string> &via) const {
    std::vector<char *> argv;
    for (const std::string &a : via)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(const_cast<char *>(QUORVEL_BIN));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    fs::path out = base_ / "stdout", err = base_ / "stderr", dir = work();
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        struct rlimit stack = {rlim_t(stackkib) << 10, rlim_t(stackkib) << 10};
        if (stackkib > 0 && setrlimit(RLIMIT_STACK, &stack) != 0)
            _exit(127);
        alarm(60); // kept across exec: a program that hangs is killed
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return {-1, "", "", 0};
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err), usage.ru_maxrss};
}

std::vector<std::uint16_t> words(std::size_t n) {
    std::vector<std::uint16_t> w(n);
    std::uint32_t x = 12345;
    for (auto &v : w) {
        x = x * 1103515245u + 12345u;
        v = static_cast<std::uint16_t>(x >> 16);
    }
    return w;
}

std::string hack(const std::vector<std::uint16_t> &ws) {
    std::string s;
    for (std::uint16_t w : ws) {
        for (int bit = 15; bit >= 0; bit--)
            s += (w >> bit & 1) ? '1' : '0';
        s += '\n';
    }
    return s;
}

std::string hex(const std::vector<std::uint16_t> &ws) {
    std::string s;
    unsigned address = 0;
    for (unsigned w : ws) {
        s += plainrecord(address, w);
        address = (address + 2) % 0x10000;
    }
    return s;
}
