// Test helpers of the pool tests: endpoints over connected socket pairs and
// a pool derived from the persistent manager that acts like a client pool:
// it hands out its established connections and closes an idle one that
// breaks or carries bytes nobody asked for, noting what it closed.
#pragma once

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
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

// A pooled endpoint and the raw descriptor of its peer.
struct SocketPair {
    std::shared_ptr<velka::ipc::VkSocket> connection;
    int peer = -1;
    ~SocketPair() { closePeer(); }
    void closePeer() {
        if (peer != -1) ::close(peer);
        peer = -1;
    }
};

inline std::unique_ptr<SocketPair> makePair(std::shared_ptr<velka::ipc::VkSocket> socket, int fd, int peer) {
    auto pair = std::make_unique<SocketPair>();
    socket->AssignHandle(fd);
    socket->SetConnected(true);
    pair->connection = socket;
    pair->peer = peer;
    return pair;
}

inline std::shared_ptr<velka::ipc::io_service_runner_t> runner() {
    return velka::patterns::VkSingleton<velka::ipc::VkIpcFactory>::Instance()->GetRunner();
}

inline std::unique_ptr<SocketPair> unixPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    return makePair(std::make_shared<velka::ipc::VkUnixSocket>(runner()), fds[0], fds[1]);
}

// A TCP connection over loopback.
inline std::unique_ptr<SocketPair> tcpPair() {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("tcp pair");
    const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    return makePair(std::make_shared<velka::ipc::VkInetSocket>(runner()), server, client);
}

// What the call threw, "" when it returned.
template <typename Call>
std::string thrown(Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline velka::base::VkDeadline in(int ms) {
    return velka::base::VkDeadline(velka::base::VkTimeout(ms, velka::base::VkTimeout::Milliseconds));
}

// Runs the call on a thread of its own; the future gives the thread's id
// first and then what the call threw ("" when it returned).
struct Waiter {
    std::promise<pthread_t> id;
    std::future<std::string> result;
    template <typename Call>
    explicit Waiter(Call call) {
        result = std::async(std::launch::async, [this, call] {
            id.set_value(pthread_self());
            return thrown(call);
        });
    }
    bool blocked() { return result.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout; }
    std::string get(int ms = 2000) {
        return result.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready ? result.get()
                                                                                           : "still waiting";
    }
};

// True when the other end was closed within a second: end of stream, or a
// reset when it was closed with bytes unread.
inline bool readsEof(int fd) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 1000) != 1) return false;
    char byte;
    const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n == -1 && errno == ECONNRESET);
}

class TestPool : public velka::ipc::VkPersistentPoolManager {
public:
    TestPool() : VkPersistentPoolManager(nullptr) { m_name = "(Test)"; }
    ~TestPool() override { StopMaintainer(); }  // first thing, as in every concrete pool

    using VkPersistentPoolManager::CloseIdleConnection;
    using VkPersistentPoolManager::Control;
    using VkPersistentPoolManager::ICloseConnection;

    bool Open() { return Init({"unix:/test"}, velka::ipc::ConnSettings(), true) && RunMaintainer(); }
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
    uint32_t GetConnectionsTotal() override { return Count(m_established, m_established_mutex); }
    // Puts a connection where GetReady takes it, telling nobody.
    void Place(const std::shared_ptr<VkIPC>& connection, bool donor = false) {
        std::lock_guard<std::mutex> lock(donor ? m_donor_mutex : m_established_mutex);
        (donor ? m_donor : m_established).push_back(connection);
    }
    size_t Count(bool donor) { return donor ? Count(m_donor, m_donor_mutex) : GetConnectionsTotal(); }
    // The events with which the hook found the connection unusable and
    // closed it, 0 when it did not.
    short closedWith(const std::shared_ptr<velka::ipc::VkSocket>& connection) {
        std::lock_guard<std::mutex> lock(m_closedMutex);
        for (const auto& closed : m_closed)
            if (closed.first.get() == connection.get()) return closed.second;
        return 0;
    }

    std::atomic<int> throwsLeft{0};
    std::atomic<int> extraEntries{0};
    std::atomic<clockid_t> threadClock{0};

protected:
    bool OpenPool(bool, bool) override { return true; }
    bool PrepareMaintain() override {
        clockid_t clock;
        if (pthread_getcpuclockid(pthread_self(), &clock) == 0) threadClock = clock;
        m_passes.push_back(m_passes.size());  // a member of the derived part, used on every pass
        if (throwsLeft > 0 && throwsLeft-- > 0) throw std::runtime_error("prepare failed on purpose");
        return true;
    }
    // Invalid entries: more of them than descriptors allowed makes poll fail.
    bool AppendDonorPool(velka::ipc::VkEventList& waitList) override {
        for (int i = 0; i < extraEntries; ++i) waitList.Add(-1, POLLIN);
        return false;
    }
    void ProcessDonorPool(velka::ipc::VkEventListEntry&) override {}
    void ProcessEstablishedPool(velka::ipc::VkEventListEntry& entry) override {
        const std::string events = " (revents " + std::to_string(entry.revents) + ")";
        if (entry.revents & (POLLERR | POLLHUP | POLLNVAL))
            CloseBrokenConnection(entry.connection, " has been broken/closed" + events);
        else if (velka::ipc::IsPeerClosed(entry.connection))
            CloseBrokenConnection(entry.connection, " is probably broken" + events);
        else if (entry.revents & POLLIN)
            CloseBrokenConnection(entry.connection, " has unsolicited bytes while idle");
        else
            return;
        std::lock_guard<std::mutex> lock(m_closedMutex);
        m_closed.emplace_back(entry.connection, entry.revents);  // kept: no new object reuses the address
    }
    bool IsStepWait() override { return true; }

private:
    static size_t Count(const ConnectionList& list, std::mutex& mutex) {
        std::lock_guard<std::mutex> lock(mutex);
        return list.size();
    }

    std::mutex m_closedMutex;
    std::vector<std::pair<std::shared_ptr<VkIPC>, short>> m_closed;
    std::vector<size_t> m_passes;
};

}  // namespace vktest
