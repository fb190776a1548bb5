// VkOpenedSessionState: an open session's operations on its pool.
#include "ipc/session/opened_session_state.h"

#include "base/vk_exception.h"
#include "ipc/session/if_pool_manager.h"
#include "ipc/session/session.h"
#include "ipc/session/session_state_table.h"

namespace velka {
namespace ipc {

void VkOpenedSessionState::Open(VkSession& session, const std::list<std::string>& addresses,
                                const ConnSettings& settings) {
    if (!session.GetPoolManager().Reinit(addresses, settings, true))
        throw base::VkException("OpenedSessionState::Reopen - cannot reinit connections pool");
}

void VkOpenedSessionState::Close(VkSession& session) {
    session.setState(States().Closed());
    VkIfPoolManager& pool = session.GetPoolManager();
    // Threads waiting in the pool call again and find the session closed.
    pool.Wakeup();
    if (!pool.StopMaintainer() || !pool.Close())
        throw base::VkException("SessionState::Close - cannot close connections pool");
}

void VkOpenedSessionState::Suspend(VkSession& session) {
    if (!session.GetPoolManager().Suspend())
        throw base::VkException("OpenedSessionState::Close - cannot suspend connections pool");
    session.setState(States().Suspended());
}

void VkOpenedSessionState::Destroy(VkSession& session) {
    Close(session);
    session.setState(States().Terminal());
    session.DestroyPoolManager();
}

bool VkOpenedSessionState::CancelThread(VkSession& session, pthread_t thread) {
    return session.GetPoolManager().CancelThread(thread);
}

std::shared_ptr<VkIPC> VkOpenedSessionState::AquireConnection(VkSession& session, const base::VkDeadline& deadline) {
    return session.GetPoolManager().GetReady(deadline);
}

void VkOpenedSessionState::ReleaseConnection(VkSession& session, std::shared_ptr<VkIPC> connection) {
    session.GetPoolManager().Release(connection);
}

std::string VkOpenedSessionState::GetName() const { return "Opened State"; }

}  // namespace ipc
}  // namespace velka
