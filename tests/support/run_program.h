// Runs a program to its end and collects its exit status and both outputs;
// for the end-to-end tests of the programs this project builds.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/utils.h"

namespace vktest {

struct Result {
    int status = -1;  // exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// Reads a descriptor to its end and closes it.
inline std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

// Collects both outputs of the child and its status.
inline Result collect(pid_t pid, int out[2], int err[2]) {
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    std::thread errReader([&] { result.err = drain(err[0]); });
    result.out = drain(out[0]);
    errReader.join();
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

inline Result runProgram(const std::vector<std::string>& argv) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    return collect(Utils::spawn(argv, -1, out[1], err[1]), out, err);
}

// runProgram as another user (the tests run as root): the child leaves
// root's groups and takes the group, then the user, before exec. A switch
// that fails ends it with 126.
inline Result runProgramAs(const std::vector<std::string>& argv, uid_t uid, gid_t gid) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(126);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return collect(pid, out, err);
}

}  // namespace vktest
