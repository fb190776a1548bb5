// Helpers of the transport tests: a socket pair with one end on an I/O
// runner, and counts of this process's runner threads and descriptors.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <boost/asio/posix/stream_descriptor.hpp>

namespace vktest {

// Test programs write to closed peers on purpose.
inline const bool kSigpipeIgnored = (::signal(SIGPIPE, SIG_IGN), true);

inline int countEntries(const char* dir) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++count;
    }
    return count;
}
// Threads of this process with the given name.
inline int threadsNamed(const std::string& name) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string text;
        std::getline(comm, text);
        count += text == name;
    }
    return count;
}
inline int descriptorCount() { return countEntries("/proc/self/fd"); }

// A unix stream socket pair: `descriptor` on the given I/O context, `peer`
// a raw descriptor that the test writes to or closes.
struct SocketPair {
    explicit SocketPair(boost::asio::io_context& io) : descriptor(io) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        descriptor.assign(fds[0]);
        peer = fds[1];
    }
    ~SocketPair() { closePeer(); }
    void closePeer() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }

    boost::asio::posix::stream_descriptor descriptor;
    int peer = -1;
};

}  // namespace vktest
