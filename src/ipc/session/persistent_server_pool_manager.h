// VkPersistentServerPoolManager: the pool behind a server session. It
// listens on the session's own addresses, accepts clients on its maintain
// thread within the server's limits, keeps each client's connection open,
// and hands a connection to a session thread once the client has sent a
// request on it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "ipc/session/persistent_pool_manager.h"
#include "ipc/session/server_limits.h"

class LogClass;

namespace velka {
namespace ipc {

class VkPersistentServerPoolManager : public VkPersistentPoolManager {
public:
    explicit VkPersistentServerPoolManager(VkIpcFactory* factory);
    ~VkPersistentServerPoolManager() override;

    bool Init(const std::list<std::string>& addresses, const ConnSettings& settings, bool flag) override;
    bool CancelThread(pthread_t thread) override { return Cancel(thread); }
    // Waits until a pool event or the deadline.
    bool WaitStateChange(const base::VkDeadline& deadline) override;
    // The connection whose request came first, waiting for one until the
    // deadline. A closed pool throws VkSessionClosed.
    std::shared_ptr<VkIPC> GetReady(const base::VkDeadline& deadline) override;
    // The number of listening connections.
    uint32_t GetConnectionsTotal() override;
    void WriteStatistics(std::ostream& out, int32_t seconds) override;
    // Holds for the clients accepted from then on; set it before Init.
    void SetLimits(const ServerLimits& limits);
    // A connection given back waits for its next request from now on.
    void Release(const std::shared_ptr<VkIPC>& connection) override;

protected:
    // Listens on every address; with flag, one listening address is
    // enough, else all must listen.
    bool OpenPool(bool flag, bool second) override;
    void OnAddressesAdded(const std::list<std::string>& addresses) override;
    void OnAddressesRemoved(const std::list<std::string>& addresses) override;
    void OnClose() override;
    bool PrepareMaintain() override;
    // The listening connections, unless the pool holds max connections.
    bool AppendDonorPool(VkEventList& waitList) override;
    // Accepts a client into the established pool.
    void ProcessDonorPool(VkEventListEntry& entry) override;
    // A request moves the connection to the ready pool; a client that hung
    // up with nothing pending is closed.
    void ProcessEstablishedPool(VkEventListEntry& entry) override;
    bool IsStepWait() override { return false; }
    // Wakes the maintain thread when a silent connection's time runs out or
    // a counted record is due.
    void SetWaitTimeout(base::VkTimeout& timeout) override;
    // Appends a listening connection for each address that can listen.
    void CreatePool(const std::list<std::string>& addresses);

private:
    using Clock = std::chrono::steady_clock;

    // Counts events of one kind and writes at most one record about them
    // per 10 s: the first at once, those that follow in one record once the
    // 10 s are over. Used by the maintain thread only.
    class CountedRecord {
    public:
        explicit CountedRecord(int level) : m_level(level) {}
        // The record reads "<subject>: <count> <what>", with the last
        // event's subject and words.
        void Count(const std::string& subject, const std::string& what, LogClass& log);
        // Writes the events counted since the last record once it is due.
        void Flush(LogClass& log);
        // When the counted events are due to be written; max when none are.
        Clock::time_point Due() const;

    private:
        void Write(LogClass& log, Clock::time_point now);

        const int m_level;
        uint32_t m_count = 0;
        std::string m_subject;
        std::string m_what;
        Clock::time_point m_quietUntil{};
    };

    ServerLimits Limits() const;
    // The logger of the limits' records.
    static LogClass& RecordLog(const ServerLimits& limits);
    // Closes the waiting connections that sent no request in time.
    void CloseSilent();
    // Keeps a connection just accepted, or closes it and counts it in the
    // record of its kind.
    bool Admit(const Connection& listening, const Connection& accepted, const ServerLimits& limits);
    // Why a user holding the share or asking for a reserved slot is refused,
    // or an empty text; a connection kept is counted for its user.
    std::string ShareRefusal(const Connection& accepted, const ServerLimits& limits, size_t open);
    // Waits (up to the accept timeout) until the listening connection has a
    // client to accept or the maintain thread is told something, such as
    // stop; true in the first case.
    bool WaitAcceptable(const Connection& listening);
    // Takes the connections that are no longer connected out of the list.
    ConnectionList TakeUnusable(ConnectionList& list, std::mutex& mutex, size_t& remaining);
    // Closes the listeners of removed addresses; on the maintain thread,
    // which may be accepting on one of them until then.
    void RetireListeners();

    ConnectionList m_readyPool;
    std::mutex m_readyMutex;
    ConnectionList m_retired;  // removed listeners not yet closed
    std::mutex m_retiredMutex;  // taken before m_donor_mutex
    std::mutex m_statsMutex;
    uint32_t m_created = 0;
    uint32_t m_maxEstablished = 0;
    uint32_t m_maxListening = 0;
    uint32_t m_maxActive = 0;
    uint32_t m_maxReady = 0;
    std::atomic<bool> m_open{false};
    ServerLimits m_limits;
    mutable std::mutex m_limitsMutex;
    // The users of the connections accepted under a peerUser function;
    // maintain thread only. An entry whose connection was closed is gone.
    std::list<std::pair<std::weak_ptr<VkIPC>, int64_t>> m_peerUsers;
    CountedRecord m_overCap;
    CountedRecord m_overShare;
    CountedRecord m_refused;
    CountedRecord m_acceptFailed;
};

}  // namespace ipc
}  // namespace velka
