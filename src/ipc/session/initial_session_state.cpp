// VkInitialSessionState: opening a new session.
#include "ipc/session/initial_session_state.h"

#include "base/vk_exception.h"
#include "ipc/session/if_pool_manager.h"
#include "ipc/session/session.h"
#include "ipc/session/session_state_table.h"

namespace velka {
namespace ipc {

void VkInitialSessionState::Open(VkSession& session, const std::list<std::string>& addresses,
                                 const ConnSettings& settings) {
    VkIfPoolManager& pool = session.GetPoolManager();
    if (!pool.Init(addresses, settings, true) || !pool.RunMaintainer())
        throw base::VkException("SessionState::Open - cannot initialize connections pool");
    session.setState(States().Opened());
}

void VkInitialSessionState::Destroy(VkSession& session) {
    session.setState(States().Terminal());
    session.DestroyPoolManager();
}

std::string VkInitialSessionState::GetName() const { return "Initial State"; }

}  // namespace ipc
}  // namespace velka
