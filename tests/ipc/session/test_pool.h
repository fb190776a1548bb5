// Test helpers of the pool tests: endpoints over connected socket pairs and
// a small pool derived from the persistent manager that behaves like a
// client pool (hands out its established connections, closes idle ones that
// break or carry stray bytes) and records what its hooks saw.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <errno.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ipc/session/persistent_pool_manager.h"
#include "ipc/transport/inet_socket.h"
#include "ipc/transport/ipc_factory.h"
#include "ipc/transport/unix_socket.h"

namespace vktest {

using velka::ipc::VkIPC;

// One pooled endpoint and the raw descriptor of its peer (closed with it).
struct SocketPair {
    std::shared_ptr<velka::ipc::VkSocket> connection;
    int peer = -1;
    SocketPair() = default;
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    ~SocketPair() { closePeer(); }
    void closePeer() {
        if (peer != -1) ::close(peer);
        peer = -1;
    }
};

inline std::shared_ptr<velka::ipc::io_service_runner_t> runner() {
    return velka::patterns::VkSingleton<velka::ipc::VkIpcFactory>::Instance()->GetRunner();
}

inline void wrap(SocketPair& pair, std::shared_ptr<velka::ipc::VkSocket> socket, int fd) {
    socket->AssignHandle(fd);
    socket->SetConnected(true);
    pair.connection = socket;
}

inline std::unique_ptr<SocketPair> unixPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    auto pair = std::make_unique<SocketPair>();
    pair->peer = fds[1];
    wrap(*pair, std::make_shared<velka::ipc::VkUnixSocket>(runner()), fds[0]);
    return pair;
}

// A TCP connection over loopback.
inline std::unique_ptr<SocketPair> tcpPair() {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("tcp listener");
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("tcp connect");
    int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    auto pair = std::make_unique<SocketPair>();
    pair->peer = client;
    wrap(*pair, std::make_shared<velka::ipc::VkInetSocket>(runner()), server);
    return pair;
}

// True when the other end was closed within a second: end of stream, or a
// reset when it was closed with bytes unread.
inline bool readsEof(int fd) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 1000) != 1) return false;
    char byte;
    const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n == -1 && errno == ECONNRESET);
}

inline std::string hexEvents(short events) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(static_cast<unsigned short>(events)));
    return text;
}

class TestPool : public velka::ipc::VkPersistentPoolManager {
public:
    struct Seen {
        int fd;
        short revents;
    };

    TestPool() : VkPersistentPoolManager(nullptr) { m_name = "(Test)"; }
    // The most-derived destructor stops the maintain thread first.
    ~TestPool() override { StopMaintainer(); }

    using VkPersistentPoolManager::CloseIdleConnection;
    using VkPersistentPoolManager::Control;
    using VkPersistentPoolManager::ICloseConnection;
    using VkSessionPoolManager::CloseByAddress;
    using VkSessionPoolManager::CloseFirst;

    bool Open(const velka::ipc::ConnSettings& settings = velka::ipc::ConnSettings()) {
        return Init({"unix:/test"}, settings, true) && RunMaintainer();
    }

    bool CancelThread(pthread_t thread) override { return Cancel(thread); }
    bool WaitStateChange(const velka::base::VkDeadline& deadline) override {
        std::unique_lock<std::mutex> lock(m_established_mutex);
        return Sleep(deadline, lock);
    }
    std::shared_ptr<VkIPC> GetReady(const velka::base::VkDeadline& deadline) override {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_established_mutex);
                if (!m_established.empty()) {
                    std::shared_ptr<VkIPC> connection = m_established.front();
                    m_established.pop_front();
                    Connections().Increase();
                    return connection;
                }
            }
            _WaitReady(deadline.remaining());
        }
    }
    uint32_t GetConnectionsTotal() override {
        std::lock_guard<std::mutex> lock(m_established_mutex);
        return m_established.size();
    }
    // Puts connections where GetReady takes them without telling anyone.
    void Place(const std::shared_ptr<VkIPC>& connection) {
        std::lock_guard<std::mutex> lock(m_established_mutex);
        m_established.push_back(connection);
    }
    size_t EstablishedCount() {
        std::lock_guard<std::mutex> lock(m_established_mutex);
        return m_established.size();
    }
    void AddDonor(const std::shared_ptr<VkIPC>& connection) {
        std::lock_guard<std::mutex> lock(m_donor_mutex);
        m_donor.push_back(connection);
    }
    size_t DonorCount() {
        std::lock_guard<std::mutex> lock(m_donor_mutex);
        return m_donor.size();
    }

    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> lock(m_seenMutex);
        return m_seen;
    }
    bool sawFd(int fd) {
        for (const Seen& entry : seen())
            if (entry.fd == fd) return true;
        return false;
    }

    std::atomic<int> passes{0};
    std::atomic<int> throwsLeft{0};
    std::atomic<clockid_t> threadClock{0};
    std::atomic<bool> stepWait{true};
    std::atomic<int> extraEntries{0};

protected:
    bool OpenPool(bool, bool) override { return true; }
    bool PrepareMaintain() override {
        clockid_t clock;
        if (pthread_getcpuclockid(pthread_self(), &clock) == 0) threadClock = clock;
        ++passes;
        m_touched.push_back(passes);  // a derived member, used on every pass
        if (throwsLeft > 0) {
            --throwsLeft;
            throw std::runtime_error("prepare failed on purpose");
        }
        return true;
    }
    // extraEntries invalid entries make the poll fail when the descriptor
    // limit is below their number.
    bool AppendDonorPool(velka::ipc::VkEventList& waitList) override {
        for (int i = 0; i < extraEntries; ++i) waitList.Add(-1, POLLIN);
        return false;
    }
    void ProcessDonorPool(velka::ipc::VkEventListEntry&) override {}
    // An idle client connection has nothing to say: a hang-up, an error or
    // bytes nobody asked for all make it unusable.
    void ProcessEstablishedPool(velka::ipc::VkEventListEntry& entry) override {
        {
            std::lock_guard<std::mutex> lock(m_seenMutex);
            m_seen.push_back(Seen{entry.fd, entry.revents});
        }
        if (entry.revents & (POLLERR | POLLHUP | POLLNVAL))
            CloseBrokenConnection(entry.connection, " has been broken/closed on server side (poll revent=0x" +
                                                        hexEvents(entry.revents) + ")");
        else if (velka::ipc::IsPeerClosed(entry.connection))
            CloseBrokenConnection(entry.connection, " is probably broken (event=0x" + hexEvents(entry.revents) + ")");
        else if (entry.revents & POLLIN)
            CloseBrokenConnection(entry.connection, " has unsolicited bytes while idle");
    }
    bool IsStepWait() override { return stepWait; }

private:
    std::mutex m_seenMutex;
    std::vector<Seen> m_seen;
    std::vector<int> m_touched;
};

}  // namespace vktest
