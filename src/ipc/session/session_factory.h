// The two ways the program gets its sessions: a client session over a new
// persistent client pool, and a server session over a new persistent
// server pool, both on the process-wide IPC factory.
#pragma once

namespace velka {
namespace ipc {

class VkClientSession;
class VkServerSession;

// A new session in the Initial state, owned by the caller; nothing is
// connected or listening until Open.
VkClientSession* CreatePersistentClientSession();
VkServerSession* CreatePersistentServerSession();

}  // namespace ipc
}  // namespace velka
