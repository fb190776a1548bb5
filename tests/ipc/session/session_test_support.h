// Test helpers of the session tests: a small echo protocol (an int32 out,
// the int32 + 1 back), raw clients that speak it without the session code,
// serving threads for a server session, and a free loopback port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/vk_exception.h"
#include "ipc/raw_peer.h"
#include "ipc/session/client_protocol.h"
#include "ipc/session/server_protocol.h"
#include "ipc/session/server_session.h"
#include "ipc/transport/ddp_unit.h"
#include "test_pool.h"

namespace vktest {

const uint32_t kEchoId = 0x2008;

struct EchoClient : velka::ipc::VkClientProtocol {
    explicit EchoClient(int32_t request = 1) : value(request) {}
    int32_t value;
    int32_t answer = 0;
    velka::ipc::VkPDU* CreatePDU() override { return new velka::ipc::VkDdpUnit; }
    bool IsLast() override { return true; }
    uint32_t GetId() override { return kEchoId; }
    bool BuildRequest(velka::ipc::VkPDU& unit) override { return unit.AddInt32(value); }
    bool ParseResponse(velka::ipc::VkPDU& unit) override {
        answer = unit.GetInt32();
        return answer == value + 1;
    }
};

struct EchoServer : velka::ipc::VkServerProtocol {
    std::atomic<int> served{0};
    velka::ipc::VkPDU* CreatePDU() override { return new velka::ipc::VkDdpUnit; }
    bool IsLast() override { return true; }
    uint32_t GetId() override { return kEchoId; }
    bool BuildResponse(velka::ipc::VkPDU& in, velka::ipc::VkPDU& out) override {
        const int32_t value = in.GetInt32();
        ++served;
        return out.AddInt32(value + 1);
    }
};

// A loopback port nobody listens on right now.
inline int freeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("free port");
    close(fd);
    return ntohs(address.sin_port);
}

// A raw client connection to "unix:<path>" or "inet:<port>@127.0.0.1".
class RawClient {
public:
    explicit RawClient(const std::string& address) {
        sockaddr_un local{};
        sockaddr_in inet{};
        const bool unix = address.compare(0, 5, "unix:") == 0;
        if (unix) {
            local.sun_family = AF_UNIX;
            std::strncpy(local.sun_path, address.c_str() + 5, sizeof local.sun_path - 1);
        } else {
            inet.sin_family = AF_INET;
            inet.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(5))));
            inet.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        m_fd = socket(unix ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd == -1) fail("socket");
        if (unix ? connect(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local)
                 : connect(m_fd, reinterpret_cast<sockaddr*>(&inet), sizeof inet)) {
            const int error = errno;
            close();  // a constructor that throws runs no destructor
            errno = error;
            fail("connect " + address);
        }
    }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void send(uint32_t id, int32_t value) const {
        const unsigned char bytes[8] = {uint8_t(id >> 24),    uint8_t(id >> 16),    uint8_t(id >> 8),
                                        uint8_t(id),          uint8_t(value >> 24), uint8_t(value >> 16),
                                        uint8_t(value >> 8),  uint8_t(value)};
        sendBytes(bytes, sizeof bytes);
    }
    void sendBytes(const void* data, size_t length) const {
        if (::send(m_fd, data, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) fail("send");
    }
    // The answer; -1 when the server closed the connection, -2 when nothing
    // came within the time.
    int32_t answer(int ms = 5000) const {
        unsigned char bytes[4];
        for (size_t got = 0; got < 4;) {
            pollfd ready{m_fd, POLLIN, 0};
            if (poll(&ready, 1, ms) != 1) return -2;
            const ssize_t n = recv(m_fd, bytes + got, 4 - got, 0);
            if (n <= 0) return -1;
            got += static_cast<size_t>(n);
        }
        return static_cast<int32_t>(uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
                                    bytes[3]);
    }
    int32_t exchange(int32_t value, uint32_t id = kEchoId) const {
        send(id, value);
        return answer();
    }
    void close() {
        if (m_fd != -1) ::close(m_fd);
        m_fd = -1;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }
    int m_fd = -1;
};

// Threads that serve a server session's requests until it is closed.
class Serving {
public:
    Serving(velka::ipc::VkServerSession& session, int threads) {
        for (int i = 0; i < threads; ++i)
            m_threads.emplace_back([&session] {
                for (;;) {
                    try {
                        session.Execute(nullptr, velka::base::kDeadlineInfinite);
                    } catch (const velka::base::VkThreadCanceled&) {
                        return;  // closed
                    } catch (const std::exception&) {
                        // one client's failure: serve the next
                    }
                }
            });
    }
    ~Serving() { join(); }
    void join() {
        for (std::thread& thread : m_threads)
            if (thread.joinable()) thread.join();
    }

private:
    std::vector<std::thread> m_threads;
};

}  // namespace vktest
