// VkSession: a session over a connection pool that it owns. Its life cycle
// and the taking and giving back of connections go through its current
// state; Execute runs one protocol exchange under a deadline and counts
// itself, so that Close and the destructor can wait for the calls in
// progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ipc/session/blocking_connection.h"
#include "ipc/session/if_session.h"
#include "ipc/session/ref_counter.h"

namespace velka {
namespace ipc {

class VkIfPoolManager;
class VkSessionState;

class VkSession : public Connection::BlockingConnection, public virtual VkIfSession {
public:
    // Takes ownership of the pool manager at once (also when a later step of
    // the construction throws); a null one throws VkParameterError.
    explicit VkSession(VkIfPoolManager* poolManager);
    ~VkSession() override;
    VkSession(const VkSession&) = delete;
    VkSession& operator=(const VkSession&) = delete;

    bool Block() override { return Suspend(); }
    bool Unblock() override { return Resume(); }
    bool Open(const std::string& address, const ConnSettings& settings) override;
    // An address text that no address kind accepts throws VkParameterError
    // naming it, before anything is changed.
    bool Open(const std::list<std::string>& addresses, const ConnSettings& settings,
              std::vector<std::string>* resolved = nullptr) override;
    // Closes through the state, then waits until no Execute is in progress.
    bool Close() override;
    bool Suspend() override;
    bool Resume() override;
    // Refused with VkThreadCanceled ("RefCounter") while the session is
    // closed or being destroyed. A deadline that has passed ends the call at
    // once, as a connection wait that timed out.
    bool Execute(VkProtocol* protocol, const base::VkDeadline& deadline) override;
    // Execute with the deadline now plus the seconds (negative: infinite).
    virtual bool ExecuteWithTimeout(VkProtocol* protocol, int32_t seconds);
    void AppendStatistics(const std::string& fileName) override;
    // A clone of the current state, made under the state mutex.
    virtual std::unique_ptr<VkSessionState> getState() const;
    // Stores one of the shared table states.
    virtual void setState(VkSessionState* state);
    // Gives back a connection through the state and counts one call out.
    void ReleaseConnection(std::shared_ptr<VkIPC> connection) override;

    // What the states work on. GetPoolManager throws VkSessionDestroyed once
    // the pool manager is gone.
    VkIfPoolManager& GetPoolManager() const;
    void DestroyPoolManager();

protected:
    // The end of the session, called first thing by the most-derived
    // destructor (and again, doing nothing, by this one): refuses new calls,
    // closes through the state (which wakes every waiter), waits until no
    // call is in progress and only then destroys through the state, which
    // deletes the pool manager. Calls still inside an exchange after 5 s
    // get their connections shut down, so that they fail and leave. Nothing
    // is thrown.
    void Shutdown() noexcept;
    // Whether an exchange is in progress, and the shutdown of the
    // connections of those in progress, so that their calls fail and leave.
    bool HasExchanges();
    void ShutDownExchanges();
    // How many exchanges have begun on a connection handed out: a caller
    // that compares it around Execute tells a failure of the exchange (the
    // peer's doing) from one of the session or its pool.
    uint64_t ExchangesStarted() const { return m_exchangesStarted; }

private:
    std::shared_ptr<VkIPC> AcquireConnection(const base::VkDeadline& deadline);
    bool RunExchange(VkProtocol* protocol, const std::shared_ptr<VkIPC>& connection,
                     const base::VkDeadline& deadline);
    // _Execute with the connection listed as one in an exchange.
    bool Exchange(VkProtocol* protocol, const std::shared_ptr<VkIPC>& connection, const base::VkDeadline& deadline);

    std::unique_ptr<VkIfPoolManager> m_poolManager;
    VkSessionState* m_state;
    mutable std::mutex m_stateMutex;
    RefCounter m_calls;
    std::mutex m_exchangesMutex;
    std::set<std::shared_ptr<VkIPC>> m_exchanges;
    std::atomic<uint64_t> m_exchangesStarted{0};
    bool m_shutDown = false;
};

}  // namespace ipc
}  // namespace velka
