// Creation of sessions over persistent pools.
#include "ipc/session/session_factory.h"

#include "ipc/session/client_session.h"
#include "ipc/session/persistent_client_pool_manager.h"
#include "ipc/session/persistent_server_pool_manager.h"
#include "ipc/session/server_session.h"
#include "ipc/transport/ipc_factory.h"

namespace velka {
namespace ipc {

namespace {

// The session owns the pool from its first step on, also when a later
// step of its construction fails.
template <typename Session, typename Pool>
Session* createSession() {
    return new Session(new Pool(patterns::VkSingleton<VkIpcFactory>::Instance()));
}

}  // namespace

VkClientSession* CreatePersistentClientSession() {
    return createSession<VkClientSession, VkPersistentClientPoolManager>();
}

VkServerSession* CreatePersistentServerSession() {
    return createSession<VkServerSession, VkPersistentServerPoolManager>();
}

}  // namespace ipc
}  // namespace velka
