// VkClientSession: a session that runs client protocols against its peers
// over a client pool.
#pragma once

#include "base/vk_time.h"
#include "ipc/session/if_client_session.h"
#include "ipc/session/if_correct_connections.h"
#include "ipc/session/session.h"

namespace velka {
namespace ipc {

class VkClientSession : public virtual VkIfClientSession, public VkSession, public IfCorrectConnections {
public:
    explicit VkClientSession(VkIfPoolManager* poolManager);
    ~VkClientSession() override;

    // Sets the number of connections the pool keeps.
    void CorrectConnectionsNum(uint32_t number) override;
    // Sends the identifier and the request, reads the answer.
    bool _Execute(VkProtocol* protocol, std::shared_ptr<VkIPC> connection, const base::VkDeadline& deadline) override;
    // A null protocol, or one that is no client protocol, throws VkParameterError.
    void process(VkProtocol* protocol) override;
    const base::VkTimeout& GetExecuteTimeout() const override;
    base::VkTimeout GetAcquireTimeout() const override { return m_acquireTimeout; }
    // Throws the same VkTimedOut again.
    [[noreturn]] void OnAcquireTimeout(const base::VkTimedOut& timedOut) override;

private:
    base::VkTimeout m_acquireTimeout;
};

}  // namespace ipc
}  // namespace velka
