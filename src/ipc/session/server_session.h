// VkServerSession: a session that listens on its own addresses and answers
// each request with the server protocol registered under the identifier the
// client sends, within the limits set for its clients.
#pragma once

#include <cstdint>
#include <map>
#include <shared_mutex>

#include "base/vk_time.h"
#include "ipc/session/if_server_session.h"
#include "ipc/session/protocol_registry.h"
#include "ipc/session/server_limits.h"
#include "ipc/session/session.h"

namespace velka {
namespace ipc {

class VkServerSession : public virtual VkIfServerSession, public VkSession, public VkIfProtocolRegistry {
public:
    explicit VkServerSession(VkIfPoolManager* poolManager);
    // Ends the session, then forgets the protocols (they are not deleted).
    ~VkServerSession() override;

    bool Register(VkServerProtocol* protocol) override;
    bool Deregister(VkServerProtocol* protocol) override;
    bool CancelThread(pthread_t thread) override;
    // The time allowed for one exchange once a request is there; set it
    // before serving starts.
    void SetTimeout(const base::VkTimeout& timeout) { m_timeout = timeout; }
    // What the session allows its clients (cap, time for a request, peers
    // refused, where refusals are recorded); set it before Open. Needs the
    // session's own persistent server pool (VkParameterError otherwise).
    void SetLimits(const ServerLimits& limits);
    // With a null protocol the client's identifier picks a registered one.
    // Its reads and writes are also bounded by the connection's idle
    // deadline, which the pool sets to the time its request is due (a
    // protocol may give its answer a deadline of its own).
    bool _Execute(VkProtocol* protocol, std::shared_ptr<VkIPC> connection, const base::VkDeadline& deadline) override;
    // Needs a registered protocol or a given server protocol.
    void process(VkProtocol* protocol) override;
    const base::VkTimeout& GetExecuteTimeout() const override { return m_timeout; }
    base::VkTimeout GetAcquireTimeout() const override { return base::kTimeoutInfinite; }
    // Throws VkThreadCanceled ("thread has been canceled").
    [[noreturn]] void OnAcquireTimeout(const base::VkTimedOut& timedOut) override;

    VkServerProtocol* FindProtocol(uint32_t id) const override;
    // For a server that stops: a peer that stalls in the middle of its
    // request must not hold the exchange until its deadline.
    using VkSession::HasExchanges;
    using VkSession::ShutDownExchanges;
    using VkSession::ExchangesStarted;

private:
    std::map<uint32_t, VkServerProtocol*> m_protocols;
    mutable std::shared_mutex m_protocolsMutex;
    base::VkTimeout m_timeout;
};

}  // namespace ipc
}  // namespace velka
