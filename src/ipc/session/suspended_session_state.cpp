// VkSuspendedSessionState: callers wait for the state to change.
#include "ipc/session/suspended_session_state.h"

#include "base/vk_exception.h"
#include "ipc/session/if_pool_manager.h"
#include "ipc/session/session.h"
#include "ipc/session/session_state_table.h"

namespace velka {
namespace ipc {

void VkSuspendedSessionState::Open(VkSession& session, const std::list<std::string>& addresses,
                                   const ConnSettings& settings) {
    States().Opened()->Open(session, addresses, settings);
}

void VkSuspendedSessionState::Close(VkSession& session) { States().Opened()->Close(session); }

void VkSuspendedSessionState::Resume(VkSession& session) {
    session.setState(States().Opened());
    VkIfPoolManager& pool = session.GetPoolManager();
    pool.Wakeup();
    if (!pool.Resume()) throw base::VkException("SuspendedSessionState::Resume error");
}

void VkSuspendedSessionState::Destroy(VkSession& session) { States().Opened()->Destroy(session); }

bool VkSuspendedSessionState::CancelThread(VkSession& session, pthread_t thread) {
    return session.GetPoolManager().CancelThread(thread);
}

std::shared_ptr<VkIPC> VkSuspendedSessionState::AquireConnection(VkSession& session,
                                                                 const base::VkDeadline& deadline) {
    if (!session.GetPoolManager().WaitStateChange(deadline))
        throw base::VkException(
            "SuspendedSessionState::AquireConnection - a waiting for a change of a state is failed");
    throw base::VkNeedRecall();
}

void VkSuspendedSessionState::ReleaseConnection(VkSession& session, std::shared_ptr<VkIPC> connection) {
    session.GetPoolManager().Release(connection);
}

std::string VkSuspendedSessionState::GetName() const { return "Suspended State"; }

}  // namespace ipc
}  // namespace velka
