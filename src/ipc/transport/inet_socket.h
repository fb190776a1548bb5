// VkInetSocket: the TCP stream-socket endpoint; opens the socket in its
// address's family and binds a server's local address.
#pragma once

#include "ipc/transport/socket.h"

namespace velka {
namespace ipc {

class VkInetSocket : public VkSocket {
public:
    explicit VkInetSocket(std::shared_ptr<io_service_runner_t> runner);
    ~VkInetSocket() override;

    // Opens the descriptor; a server-side or listening endpoint binds its
    // local address. True or throws VkSystemError (the endpoint then closed).
    bool Create() override;
    std::shared_ptr<VkIPC> CreateEmptyPeer() override;
    // SO_REUSEADDR, and TCP_NODELAY: small messages leave at once.
    void SetOptions() override;
    bool GetLocalSocketAddress() override;
    bool GetRemoteSocketAddress() override;
};

}  // namespace ipc
}  // namespace velka
