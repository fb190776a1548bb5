// VkSessionPoolManager: what every connection pool has in common: the
// address texts, the limits, the connect timeout, the count of handed-out
// connections, the multi-event its callers wait on, the pause gate of the
// threads that create connections, and the statistics report.
#pragma once

#include <ctime>
#include <iosfwd>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include <condition_variable>

#include "base/vk_multi_event.h"
#include "base/vk_time.h"
#include "ipc/session/conn_settings.h"
#include "ipc/session/if_session_pool_manager.h"
#include "ipc/session/ref_counter.h"

namespace velka {
namespace ipc {

class VkIpcFactory;

class VkSessionPoolManager : public VkIfSessionPoolManager {
public:
    typedef std::shared_ptr<VkIPC> Connection;
    typedef std::list<Connection> ConnectionList;

    explicit VkSessionPoolManager(VkIpcFactory* factory);
    ~VkSessionPoolManager() override;
    VkSessionPoolManager(const VkSessionPoolManager&) = delete;
    VkSessionPoolManager& operator=(const VkSessionPoolManager&) = delete;

    bool Init(const std::list<std::string>& addresses, const ConnSettings& settings, bool flag) override;
    bool Reinit(const std::list<std::string>& addresses, const ConnSettings& settings, bool flag) override;
    bool Close() override;
    bool Suspend() override;
    bool Resume() override;
    void Wakeup() override;
    std::string AddressesText() const override;
    // Counted close; a failure is logged at WARN and goes no further.
    void CloseConnection(Connection connection) override;
    void CorrectConnectionsNum(uint32_t) override {}
    ConnSettings GetConnSettings() const override;
    void AppendStatistics(const std::string& fileName) override;

    // Connections of the pool that exist (the derived pool's count).
    virtual uint32_t GetConnectionsTotal() = 0;
    // Closes n idle connections above the pool's target.
    virtual void CloseSurplus(uint32_t) {}
    // Tells the maintain thread to rebuild its wait list.
    virtual void Refresh() {}
    // Every present and later Pause of a suspended pool throws
    // VkThreadCanceled, and every connect that Pool::CreateClientConnection
    // has in progress is ended (its endpoint closed).
    virtual void CancelPause();
    // The derived pool's counters for a period of seconds (at least 1).
    virtual void WriteStatistics(std::ostream& out, int32_t seconds) = 0;

    // The gate of the threads that create connections: returns while the
    // pool is not suspended (even after CancelPause), waits while it is,
    // throws VkThreadCanceled when a suspended pool's pause is canceled.
    void Pause();
    // Bracket a connect of Pool::CreateClientConnection, so that CancelPause
    // can end it. Both throw VkThreadCanceled after CancelPause: the attempt
    // fails at once instead of waiting out its connect timeout.
    void ConnectStarting(const Connection& connection);
    void ConnectEnded(const Connection& connection);
    void SetConnSettings(const ConnSettings& settings);

    // What the connection-creating code reads.
    VkIpcFactory* GetFactory() const { return m_factory; }
    // A copy: Reinit and Close change the list while others read it.
    std::list<std::string> GetAddresses() const;
    const base::VkTimeout& GetConnectTimeout() const { return m_connectTimeout; }
    uint32_t GetConnectAttempts() const { return m_connectAttempts; }
    uint32_t GetListenQueue() const { return m_listenQueue; }
    const base::VkTimeout& GetAcceptTimeout() const { return m_acceptTimeout; }
    // The handed-out connections and the pool's multi-event.
    RefCounter& Connections() { return m_connections; }
    base::VkMultiEvent& PoolEvent() { return m_poolEvent; }

protected:
    // The derived pool's opening step, called by Init.
    virtual bool OpenPool(bool flag, bool second) = 0;
    // Closes the connection and empties the caller's pointer; a counted
    // close also counts the connection out and sets the closed event.
    virtual void ICloseConnection(Connection& connection, bool counted);
    virtual void OnAddressesAdded(const std::list<std::string>&) {}
    virtual void OnAddressesRemoved(const std::list<std::string>&) {}
    virtual void OnClose() {}
    // Uncounted closes of the list's connections whose local (or remote)
    // address text is one of the addresses; they leave the list.
    virtual void CloseByAddress(ConnectionList& connections, const std::list<std::string>& addresses, bool local);
    // Takes those connections out of the list, without closing them.
    static ConnectionList TakeByAddress(ConnectionList& connections, const std::list<std::string>& addresses,
                                        bool local);
    // Uncounted closes of the first n connections of the list.
    virtual void CloseFirst(ConnectionList& connections, uint32_t n);
    // Lowers the pause gate and forgets a cancel, so that a pool opened
    // again after a close creates connections again.
    void ResetPause();

private:
    VkIpcFactory* m_factory;
    std::list<std::string> m_addresses;
    base::VkTimeout m_connectTimeout;
    uint32_t m_connectAttempts = 1;
    uint32_t m_listenQueue = 64;
    base::VkTimeout m_acceptTimeout;
    RefCounter m_connections;
    base::VkMultiEvent m_poolEvent;
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseChanged;
    bool m_paused = false;
    bool m_pauseCanceled = false;
    ConnectionList m_connecting;  // under m_pauseMutex
    // Guards m_addresses, m_settings and m_statisticsStart, which the
    // thread that changes the session's state writes while others read.
    mutable std::mutex m_settingsMutex;
    ConnSettings m_settings;
    time_t m_statisticsStart = 0;
};

}  // namespace ipc
}  // namespace velka
