// Test helpers: an endpoint over one end of a unix socket pair and raw reads
// and writes on the other, so wire bytes are checked as hex by code that
// shares nothing with the project's encoder and decoder; and a listener
// whose queue is full.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ipc/transport/io_service_runner.h"
#include "ipc/transport/unix_socket.h"

namespace vktest {

// A write to a closed peer must fail with EPIPE, never end the test program.
inline const bool sigpipeIgnored = (::signal(SIGPIPE, SIG_IGN), true);

// Bytes as "00 0A FF" and back.
inline std::string toHex(const std::string& bytes) {
    std::string hex;
    char digits[4];
    for (unsigned char byte : bytes) hex += (std::snprintf(digits, 4, hex.empty() ? "%02X" : " %02X", byte), digits);
    return hex;
}
inline std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 3) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

// The what() of the std::exception the call throws, "" when none.
inline std::string thrownText(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// Peak resident memory of this process in KiB.
inline long peakRssKiB() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

class RawPeer {
public:
    explicit RawPeer(std::shared_ptr<velka::ipc::io_service_runner_t> runner = velka::ipc::io_service_runner_t::create())
        : m_endpoint(std::make_shared<velka::ipc::VkUnixSocket>(runner)) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        m_peer = fds[1];
        m_endpoint->AssignHandle(fds[0]);
        m_endpoint->SetConnected(true);
    }
    ~RawPeer() { closePeer(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    const std::shared_ptr<velka::ipc::VkUnixSocket>& endpoint() const { return m_endpoint; }
    void write(const std::string& bytes) const {
        if (::send(m_peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("raw write");
    }
    void writeHex(const std::string& hex) const { write(fromHex(hex)); }
    // What arrives until nothing more comes for waitMs, as hex.
    std::string readHex(int waitMs = 50) const {
        std::string bytes;
        char chunk[65536];
        struct pollfd ready = {m_peer, POLLIN, 0};
        for (ssize_t got; ::poll(&ready, 1, waitMs) == 1 && (got = ::recv(m_peer, chunk, sizeof chunk, 0)) > 0;)
            bytes.append(chunk, static_cast<size_t>(got));
        return toHex(bytes);
    }
    // Bytes the raw end sent that the endpoint has not read.
    int unread() const {
        int count = 0;
        ioctl(m_endpoint->GetDescriptor(), FIONREAD, &count);
        return count;
    }
    void closePeer() {
        if (m_peer >= 0) ::close(m_peer);
        m_peer = -1;
    }

private:
    std::shared_ptr<velka::ipc::VkUnixSocket> m_endpoint;
    int m_peer = -1;
};

// A listener on a unix path or a loopback TCP port that accepts nobody, its
// queue (backlog 0: one connection) filled by raw clients: a unix connect
// to it is refused with EAGAIN, a TCP one stays unanswered, until
// acceptOne makes room.
class FullListener {
public:
    explicit FullListener(const std::string& unixPath) : m_path(unixPath) {
        struct sockaddr_un name = {};
        name.sun_family = AF_UNIX;
        std::strncpy(name.sun_path, unixPath.c_str(), sizeof name.sun_path - 1);
        fill(reinterpret_cast<const sockaddr*>(&name), sizeof name);
    }
    explicit FullListener(uint16_t tcpPort) {
        struct sockaddr_in name = {};
        name.sin_family = AF_INET;
        name.sin_port = htons(tcpPort);
        name.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fill(reinterpret_cast<const sockaddr*>(&name), sizeof name);
    }
    ~FullListener() {
        for (int fd : m_fds) ::close(fd);
        if (!m_path.empty()) ::unlink(m_path.c_str());
    }
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    void acceptOne() {
        const int fd = ::accept4(m_fds[0], nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) m_fds.push_back(fd);
    }

private:
    void fill(const sockaddr* name, socklen_t length) {
        m_fds.push_back(::socket(name->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::bind(m_fds[0], name, length) != 0 || ::listen(m_fds[0], 0) != 0)
            throw std::runtime_error(std::string("full listener: ") + std::strerror(errno));
        // Clients until one finds no room.
        for (bool room = true; room && m_fds.size() < 8;) {
            const int fd = ::socket(name->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            m_fds.push_back(fd);
            if (::connect(fd, name, length) == 0) continue;
            struct pollfd done = {fd, POLLOUT, 0};
            room = errno == EINPROGRESS && ::poll(&done, 1, 200) == 1;
        }
    }

    std::vector<int> m_fds;  // the listener first
    std::string m_path;
};

}  // namespace vktest
