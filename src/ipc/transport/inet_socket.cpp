// The TCP stream-socket endpoint.
#include "ipc/transport/inet_socket.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "base/vk_exception.h"
#include "ipc/transport/inet_socket_address.h"
#include "ipc/transport/ipc_log.h"

namespace velka {
namespace ipc {

namespace {

std::shared_ptr<VkInetSocketAddress> asInet(const std::shared_ptr<VkIpcAddress>& address) {
    auto inet = std::dynamic_pointer_cast<VkInetSocketAddress>(address);
    return inet && inet->GetDomain() == kDomainInet ? inet : nullptr;
}

}  // namespace

VkInetSocket::VkInetSocket(std::shared_ptr<io_service_runner_t> runner) : VkSocket(std::move(runner)) {}

VkInetSocket::~VkInetSocket() = default;

bool VkInetSocket::Create() {
    const bool binds = IsServer() || IsListening();
    const std::shared_ptr<VkInetSocketAddress> local = asInet(GetLocalAddress());
    const std::shared_ptr<VkInetSocketAddress> remote = asInet(GetRemoteAddress());
    // The socket's family follows the address it is bound to or connects
    // to, so an address that resolved to IPv6 works as well.
    int family = AF_INET;
    if (binds && local)
        family = local->GetSockAddr()->sa_family;
    else if (!binds && remote)
        family = remote->GetSockAddr()->sa_family;

    const char* const what = "InetSocket::Create";
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    const int error = errno;
    const SetUp setUp(*this, fd);
    if (fd == -1) throw base::VkSystemError(what, error);
    try {
        ApplyOptions();
        SetOptions();
        if (binds && local && !setUp.Closed() &&
            ::bind(GetDescriptor(), local->GetSockAddr(), local->GetSockAddrLength()) != 0)
            throw base::VkSystemError("InetSocket::Bind", errno);
    } catch (const base::VkSystemError& e) {
        // A step that failed once another thread had closed the endpoint
        // ends as that close, below.
        if (!setUp.Closed()) {
            ipcLog(VK_LOG_ERROR, [&] { return "inet create " + GetDescription() + " failed: " + e.what(); });
            Close();
            throw;
        }
    }
    if (setUp.Closed()) setUp.ThrowClosed(what);
    return true;
}

std::shared_ptr<VkIPC> VkInetSocket::CreateEmptyPeer() {
    auto peer = std::make_shared<VkInetSocket>(GetRunner());
    peer->SetLocalAddress(std::make_shared<VkInetSocketAddress>(std::string()));
    peer->SetRemoteAddress(std::make_shared<VkInetSocketAddress>(std::string()));
    peer->SetServer(IsServer());
    peer->SetListening(IsListening());
    peer->SetConnected(IsConnected());
    return peer;
}

void VkInetSocket::SetOptions() {
    const int on = 1;
    if (::setsockopt(GetDescriptor(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
        throw base::VkSystemError("InetSocket::SetOption(REUSEADDR)", errno);
    // An exchange writes the protocol identifier and the request in two
    // sends: with Nagle's rule the second would wait for the peer's delayed
    // acknowledgement of the first, some 40 ms per exchange.
    if (::setsockopt(GetDescriptor(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0)
        throw base::VkSystemError("InetSocket::SetOption(NODELAY)", errno);
}

bool VkInetSocket::GetLocalSocketAddress() {
    if (!GetLocalAddress()) SetLocalAddress(std::make_shared<VkInetSocketAddress>(std::string()));
    return VkSocket::GetLocalSocketAddress();
}

bool VkInetSocket::GetRemoteSocketAddress() {
    if (!GetRemoteAddress()) SetRemoteAddress(std::make_shared<VkInetSocketAddress>(std::string()));
    return VkSocket::GetRemoteSocketAddress();
}

}  // namespace ipc
}  // namespace velka
