// VkServerSession: the protocol registry and the server side of Execute.
#include "ipc/session/server_session.h"

#include <mutex>

#include "base/vk_exception.h"
#include "ipc/session/persistent_server_pool_manager.h"
#include "ipc/session/protocol_exchange.h"
#include "ipc/session/server_protocol.h"
#include "ipc/session/session_state.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

VkServerSession::VkServerSession(VkIfPoolManager* poolManager) : VkSession(poolManager) {}

VkServerSession::~VkServerSession() {
    Shutdown();
    std::unique_lock<std::shared_mutex> lock(m_protocolsMutex);
    m_protocols.clear();
}

bool VkServerSession::Register(VkServerProtocol* protocol) {
    if (!protocol) {
        ipcLog(VK_LOG_WARN, [] { return std::string("S-Session::Register - a null pointer to a protocol"); });
        throw base::VkParameterError("ServerSession::Register", "theProto", "null");
    }
    const uint32_t id = protocol->GetId();
    std::unique_lock<std::shared_mutex> lock(m_protocolsMutex);
    if (!m_protocols.emplace(id, protocol).second) {
        ipcLog(VK_LOG_WARN, [&] {
            return "S-Session::Register - a protocol (id=" + std::to_string(id) + ") already has been registred";
        });
        return false;
    }
    return true;
}

bool VkServerSession::Deregister(VkServerProtocol* protocol) {
    if (!protocol) {
        ipcLog(VK_LOG_WARN, [] { return std::string("S-Session::Deregister - a null pointer to a protocol"); });
        throw base::VkParameterError("ServerSession::Deregister", "theProto", "null");
    }
    const uint32_t id = protocol->GetId();
    std::unique_lock<std::shared_mutex> lock(m_protocolsMutex);
    if (m_protocols.erase(id) == 0) {
        ipcLog(VK_LOG_WARN, [&] {
            return "S-Session::Deregister - a protocol (id=" + std::to_string(id) + ") has not been registred";
        });
        return false;
    }
    return true;
}

VkServerProtocol* VkServerSession::FindProtocol(uint32_t id) const {
    std::shared_lock<std::shared_mutex> lock(m_protocolsMutex);
    const auto found = m_protocols.find(id);
    return found == m_protocols.end() ? nullptr : found->second;
}

bool VkServerSession::CancelThread(pthread_t thread) { return getState()->CancelThread(*this, thread); }

void VkServerSession::SetLimits(const ServerLimits& limits) {
    auto* pool = dynamic_cast<VkPersistentServerPoolManager*>(&GetPoolManager());
    if (!pool) throw base::VkParameterError("ServerSession::SetLimits", "PoolManager", "no persistent server pool");
    pool->SetLimits(limits);
}

bool VkServerSession::_Execute(VkProtocol* protocol, std::shared_ptr<VkIPC> connection,
                               const base::VkDeadline& deadline) {
    // The pool sets the idle deadline by which the request is due, counted
    // from the accept (not from now): requests stalled together expire
    // together.
    base::VkDeadline bounded(deadline);
    if (connection) {
        const base::VkDeadline due(connection->GetIdleDeadline().remaining());
        if (due < bounded) bounded = due;
    }
    return ExecuteServerExchange(dynamic_cast<VkServerProtocol*>(protocol), connection, bounded, *this);
}

void VkServerSession::process(VkProtocol* protocol) {
    if (protocol) {
        if (!dynamic_cast<VkServerProtocol*>(protocol))
            throw base::VkParameterError("ServerSession::process", "theProto",
                                         "protocol " + std::to_string(protocol->GetId()) + " is no server protocol");
        return;
    }
    {
        std::shared_lock<std::shared_mutex> lock(m_protocolsMutex);
        if (!m_protocols.empty()) return;
    }
    ipcLog(VK_LOG_ERROR, [] { return std::string("server: supported protocols were not been defined"); });
    throw base::VkException("server: supported protocols were not been defined");
}

void VkServerSession::OnAcquireTimeout(const base::VkTimedOut&) { throw base::VkThreadCanceled(); }

}  // namespace ipc
}  // namespace velka
