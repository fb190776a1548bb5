// VkPersistentClientPoolManager: the pool behind a client session. It keeps
// connections to the session's peers ready, hands one to each caller that
// runs an exchange, asks its maintain thread for another when none is
// ready, and closes connections above the minimum once they idled too long.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "ipc/session/persistent_pool_manager.h"

namespace velka {
namespace ipc {

class VkPersistentClientPoolManager : public VkPersistentPoolManager {
public:
    explicit VkPersistentClientPoolManager(VkIpcFactory* factory);
    ~VkPersistentClientPoolManager() override;

    // The wanted number of connections becomes the new minimum; the pause
    // gate of an earlier close is lowered.
    bool Init(const std::list<std::string>& addresses, const ConnSettings& settings, bool flag) override;
    bool Reinit(const std::list<std::string>& addresses, const ConnSettings& settings, bool flag) override;
    bool CancelThread(pthread_t thread) override { return Cancel(thread); }
    bool WaitStateChange(const base::VkDeadline& deadline) override;
    // The connection idle the longest; with none ready, asks for one more
    // (up to the maximum, one request at a time) and waits until the
    // deadline. A closed pool throws VkSessionClosed.
    std::shared_ptr<VkIPC> GetReady(const base::VkDeadline& deadline) override;
    void CorrectConnectionsNum(uint32_t number) override;
    uint32_t GetConnectionsTotal() override;
    void WriteStatistics(std::ostream& out, int32_t seconds) override;

protected:
    bool OpenPool(bool flag, bool second) override;
    // Every close of one of this pool's connections lowers the total.
    void ICloseConnection(Connection& connection, bool counted) override;
    void OnAddressesRemoved(const std::list<std::string>& addresses) override;
    // Closes the idle connections (lowering the total), wants none, wakes
    // every waiter.
    void OnClose() override;
    bool PrepareMaintain() override;
    bool AppendDonorPool(VkEventList& waitList) override;
    void ProcessDonorPool(VkEventListEntry& entry) override;
    void ProcessEstablishedPool(VkEventListEntry& entry) override;
    void OnWaitTimeout() override;
    void SetWaitTimeout(base::VkTimeout& timeout) override;
    bool IsStepWait() override { return true; }
    // Whether the connection's peer is still one of the pool's addresses.
    bool IsListed(const Connection& connection) override;
    // Makes n connections; see the flags in the definition.
    bool CreatePool(uint32_t n, bool bAtLeastOne, bool bOkIfNoConnections);

private:
    struct Statistics {
        uint32_t createdOnRequest = 0;
        uint32_t totalCreated = 0;
        uint32_t maxTotal = 0;
        uint64_t totalSum = 0;
        uint32_t closedByTimeout = 0;
        uint32_t maxReady = 0;
        uint32_t maxDonor = 0;
        uint32_t maxActive = 0;
    };

    void SetWanted(const ConnSettings& settings);
    // Takes the connection out of the list; false when it is not there.
    bool Take(ConnectionList& list, std::mutex& mutex, const Connection& connection);
    // WARN record, uncounted close, half a second's pause.
    void CloseBroken(Connection connection, const std::string& reason);
    void RemoveByTimeout(const Connection& connection);

    std::mutex m_totalMutex;
    uint32_t m_totalConnections = 0;
    std::mutex m_wantedMutex;
    uint32_t m_connectionsNum = 0;
    std::mutex m_statisticsMutex;
    Statistics m_statistics;
    std::atomic<bool> m_open{false};
};

}  // namespace ipc
}  // namespace velka
