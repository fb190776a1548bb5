// ControlPeer: the owner of a control client, from the socket or from the
// kernel's socket table.
#include "control/control_peer.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include "engine/fd_guard.h"

namespace {

// An IPv4 address in an IPv6 one (a dual-stack listener's view of an IPv4
// client) is asked for as the IPv4 socket the client really has.
void unmap(struct sockaddr_storage& address) {
    if (address.ss_family != AF_INET6) return;
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (!IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) return;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = v6.sin6_port;
    std::memcpy(&v4.sin_addr, &v6.sin6_addr.s6_addr[12], 4);
    std::memset(&address, 0, sizeof address);
    std::memcpy(&address, &v4, sizeof v4);
}

// Port and address of an inet socket address into a diagnostics id.
void put(const struct sockaddr_storage& address, __be16& port, __be32 (&words)[4]) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        port = v4.sin_port;
        std::memcpy(words, &v4.sin_addr, 4);
    } else {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        port = v6.sin6_port;
        std::memcpy(words, &v6.sin6_addr, 16);
    }
}

// An address of a diagnostics id in its IPv6 form: an IPv4 address as it
// is mapped into IPv6. A client on an IPv6 socket that reaches an IPv4
// address through its mapped form is listed by the kernel in that form.
std::array<uint8_t, 16> asIpv6(uint8_t family, const __be32 (&words)[4]) {
    std::array<uint8_t, 16> address{};
    if (family == AF_INET) {
        address[10] = address[11] = 0xff;
        std::memcpy(&address[12], words, 4);
    } else {
        std::memcpy(address.data(), words, 16);
    }
    return address;
}

// The uid that owns the TCP socket whose own end is `peer` and whose other
// end is `local`, while a process still holds that socket (it has an
// inode): what a closed socket leaves behind, orphaned or in TIME_WAIT, is
// reported as root's. A listening or half-open socket is not the client.
std::optional<uid_t> tcpOwner(struct sockaddr_storage peer, struct sockaddr_storage local) {
    unmap(peer);
    unmap(local);
    if (peer.ss_family != local.ss_family || (peer.ss_family != AF_INET && peer.ss_family != AF_INET6))
        return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = 1;
    inet_diag_req_v2& request = message.request;
    request.sdiag_family = static_cast<uint8_t>(peer.ss_family);
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = ~0u;
    request.id.idiag_cookie[0] = request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    put(peer, request.id.idiag_sport, request.id.idiag_src);
    put(local, request.id.idiag_dport, request.id.idiag_dst);

    const FdGuard diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (diag.fd < 0) return std::nullopt;
    const struct timeval wait = {1, 0};
    ::setsockopt(diag.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    struct sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(diag.fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof message))
        return std::nullopt;
    alignas(nlmsghdr) char answer[8192];
    ssize_t length;
    do {
        length = ::recv(diag.fd, answer, sizeof answer, 0);
    } while (length < 0 && errno == EINTR);
    if (length <= 0) return std::nullopt;
    int left = static_cast<int>(length);
    for (const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(answer); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            return std::nullopt;  // an error: no such socket
        const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
        const inet_diag_sockid& id = found->id;
        if (id.idiag_sport != request.id.idiag_sport || id.idiag_dport != request.id.idiag_dport ||
            asIpv6(found->idiag_family, id.idiag_src) != asIpv6(request.sdiag_family, request.id.idiag_src) ||
            asIpv6(found->idiag_family, id.idiag_dst) != asIpv6(request.sdiag_family, request.id.idiag_dst))
            continue;
        if (found->idiag_inode == 0) return std::nullopt;
        switch (found->idiag_state) {
            case TCP_ESTABLISHED:
            case TCP_FIN_WAIT1:
            case TCP_FIN_WAIT2:
            case TCP_CLOSE_WAIT:
            case TCP_LAST_ACK:
            case TCP_CLOSING:
                return static_cast<uid_t>(found->idiag_uid);
            default:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

ControlPeer ControlPeer::of(int fd, const std::string& remoteText) {
    ControlPeer peer;
    struct sockaddr_storage local {};
    socklen_t length = sizeof local;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        peer.text = remoteText + " (owner unknown)";
        return peer;
    }
    if (local.ss_family == AF_UNIX) {
        // SO_PEERCRED answers for a TCP socket too, with the overflow uid:
        // only a unix socket's answer counts.
        struct ucred credentials;
        socklen_t credentialsLength = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &credentialsLength) == 0) {
            peer.known = true;
            peer.uid = credentials.uid;
            peer.pid = credentials.pid;
            peer.text = "uid " + std::to_string(credentials.uid) + " pid " + std::to_string(credentials.pid);
            return peer;
        }
    } else {
        struct sockaddr_storage remote {};
        length = sizeof remote;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) == 0) {
            if (const std::optional<uid_t> owner = tcpOwner(remote, local)) {
                peer.known = true;
                peer.uid = *owner;
                peer.text = "uid " + std::to_string(*owner) + " (" + remoteText + ")";
                return peer;
            }
        }
    }
    peer.text = remoteText + " (owner unknown)";
    return peer;
}
