// Test helper: an endpoint over one end of a unix socket pair and raw reads
// and writes on the other, so wire bytes are checked as hex by code that
// shares nothing with the project's encoder and decoder.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

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

}  // namespace vktest
