// VkClientSession: the client side of Execute.
#include "ipc/session/client_session.h"

#include "base/vk_exception.h"
#include "ipc/session/client_protocol.h"
#include "ipc/session/conn_settings.h"
#include "ipc/session/if_pool_manager.h"
#include "ipc/session/protocol_exchange.h"
#include "ipc/transport/ipc_log.h"

namespace velka {
namespace ipc {

VkClientSession::VkClientSession(VkIfPoolManager* poolManager) : VkSession(poolManager) {}

VkClientSession::~VkClientSession() { Shutdown(); }

void VkClientSession::CorrectConnectionsNum(uint32_t number) { GetPoolManager().CorrectConnectionsNum(number); }

bool VkClientSession::_Execute(VkProtocol* protocol, std::shared_ptr<VkIPC> connection,
                               const base::VkDeadline& deadline) {
    return ExecuteClientExchange(dynamic_cast<VkClientProtocol*>(protocol), connection, deadline,
                                 GetPoolManager().GetConnSettings().idleTimeout);
}

void VkClientSession::process(VkProtocol* protocol) {
    if (!protocol) {
        ipcLog(VK_LOG_ERROR, [] { return std::string("C-Session::process - a null pointer to a protocol"); });
        throw base::VkParameterError("ClientSession::process", "theProto");
    }
    if (!dynamic_cast<VkClientProtocol*>(protocol))
        throw base::VkParameterError("ClientSession::process", "theProto",
                                     "protocol " + std::to_string(protocol->GetId()) + " is no client protocol");
}

const base::VkTimeout& VkClientSession::GetExecuteTimeout() const { return base::kTimeoutInfinite; }

void VkClientSession::OnAcquireTimeout(const base::VkTimedOut& timedOut) { throw timedOut; }

}  // namespace ipc
}  // namespace velka
