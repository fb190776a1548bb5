// FdGuard: the owner of one descriptor, closed when the guard goes.
#pragma once

#include <unistd.h>

class FdGuard {
public:
    explicit FdGuard(int fd = -1) : fd(fd) {}
    ~FdGuard() { reset(); }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;

    void reset(int f = -1) {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
    int release() {
        const int f = fd;
        fd = -1;
        return f;
    }

    int fd;
};
