// Pool: how the persistent pools make a connection: a client connection to
// the first of the manager's peers that answers, or a server connection
// accepted on a listening one.
#pragma once

#include <memory>

namespace velka {
namespace ipc {

class VkIPC;
class VkSessionPoolManager;

namespace Pool {

// Tries the manager's addresses in order, each through the pause gate and
// its connect attempts. A failed address other than the last is logged at
// DEBUG and skipped; the last one's failure is thrown (std::logic_error
// "attempt to create connection to <address> failed: <cause>"). Null when
// no address could be turned into an endpoint, or the list is empty.
// After the manager's CancelPause every attempt fails at once (a connect in
// progress is ended), and counts as a failed attempt like any other.
std::shared_ptr<VkIPC> CreateClientConnection(VkSessionPoolManager* manager);

// Accepts one connection on the listening one, through the pause gate;
// every failure is logged at DEBUG and thrown on.
std::shared_ptr<VkIPC> CreateServerConnection(VkSessionPoolManager* manager, std::shared_ptr<VkIPC>& listening);

}  // namespace Pool
}  // namespace ipc
}  // namespace velka
