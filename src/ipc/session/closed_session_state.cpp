// VkClosedSessionState: a closed session opens again as a new one.
#include "ipc/session/closed_session_state.h"

#include "base/vk_exception.h"
#include "ipc/session/if_pool_manager.h"
#include "ipc/session/session.h"
#include "ipc/session/session_state_table.h"

namespace velka {
namespace ipc {

void VkClosedSessionState::Open(VkSession& session, const std::list<std::string>& addresses,
                                const ConnSettings& settings) {
    States().Initial()->Open(session, addresses, settings);
}

void VkClosedSessionState::Destroy(VkSession& session) { States().Initial()->Destroy(session); }

std::shared_ptr<VkIPC> VkClosedSessionState::AquireConnection(VkSession&, const base::VkDeadline&) {
    throw base::VkSessionClosed();
}

void VkClosedSessionState::ReleaseConnection(VkSession& session, std::shared_ptr<VkIPC> connection) {
    session.GetPoolManager().CloseConnection(connection);
}

std::string VkClosedSessionState::GetName() const { return "Closed State"; }

}  // namespace ipc
}  // namespace velka
