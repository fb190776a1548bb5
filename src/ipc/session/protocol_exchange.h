// The two sides of one protocol exchange over a connection: the client
// sends the 4-byte protocol identifier and its request and reads the
// answer; the server reads the identifier, picks the protocol and answers.
// The sessions' _Execute run these.
#pragma once

#include <cstdint>
#include <memory>

#include "base/vk_time.h"

namespace velka {
namespace ipc {

class VkIPC;
class VkClientProtocol;
class VkServerProtocol;
class VkIfProtocolRegistry;

// True when every pass completed, false when a pass failed (a false
// protocol step, or the peer closed while the identifier was sent); other
// failures throw. Every transfer gets the time left until the deadline.
// The connection's idle deadline becomes now + idleTimeoutSeconds after a
// pass, also a failed one.
bool ExecuteClientExchange(VkClientProtocol* protocol, std::shared_ptr<VkIPC> connection,
                           const base::VkDeadline& deadline, uint32_t idleTimeoutSeconds);

// With a null protocol the identifier read picks one from the registry; a
// protocol given must carry the identifier read (identifier 0: nothing is
// read). An unknown or wrong identifier throws VkException; the request
// is then left unread and the connection marked not connected.
bool ExecuteServerExchange(VkServerProtocol* protocol, std::shared_ptr<VkIPC> connection,
                           const base::VkDeadline& deadline, const VkIfProtocolRegistry& registry);

}  // namespace ipc
}  // namespace velka
