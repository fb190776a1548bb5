// ServerLimits: what a server pool allows the clients it accepts. The
// defaults keep every client, silent or not, for as long as it stays.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class LogClass;

namespace velka {
namespace ipc {

class VkIPC;

// The user a client belongs to, as a server's limits count it.
struct PeerUser {
    int64_t id = -1;          // its user id; all clients of unknown owner share -1
    bool privileged = false;  // privileged users are not held to a share
};

struct ServerLimits {
    // Connections open at once (waiting for a request, ready, or in an
    // exchange); a client beyond them is closed as soon as it is accepted.
    // 0: no cap.
    uint32_t maxOpen = 0;
    // Seconds a connection may wait for its request, counted from the accept
    // or from its return to the pool after an exchange: one that sends
    // nothing that long is closed, and the request must have arrived whole
    // by then. 0: no limit.
    uint32_t requestSeconds = 0;
    // Why the peer of a connection just accepted is refused, or an empty
    // text to keep it; asked before anything is read from it. No function:
    // every peer is kept.
    std::function<std::string(const VkIPC& connection)> refusal;
    // The user of a connection just accepted (asked after refusal). No
    // function: the clients are not told apart, and the two numbers below
    // do not apply.
    std::function<PeerUser(const VkIPC& connection)> peerUser;
    // Connections one user that is not privileged may hold at once. 0: no
    // share.
    uint32_t maxPerUser = 0;
    // The last of the maxOpen connections, which only privileged users may
    // take: no crowd of others can lock them out.
    uint32_t privilegedReserve = 0;
    // Where the pool writes what it refused or failed to accept, one record
    // of each kind every 10 s at most; null: the IPC logger.
    LogClass* log = nullptr;
};

}  // namespace ipc
}  // namespace velka
