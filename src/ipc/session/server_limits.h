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
    // Where the pool writes what it refused or failed to accept, one record
    // of each kind every 10 s at most; null: the IPC logger.
    LogClass* log = nullptr;
};

}  // namespace ipc
}  // namespace velka
