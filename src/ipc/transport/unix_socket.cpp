// The unix-domain stream-socket endpoint and the socket file of a server.
#include "ipc/transport/unix_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/vk_exception.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/unix_socket_address.h"

namespace velka {
namespace ipc {

namespace {

std::shared_ptr<VkUnixSocketAddress> asUnix(const std::shared_ptr<VkIpcAddress>& address) {
    auto unixAddress = std::dynamic_pointer_cast<VkUnixSocketAddress>(address);
    return unixAddress && unixAddress->GetDomain() == kDomainUnix ? unixAddress : nullptr;
}

}  // namespace

VkUnixSocket::VkUnixSocket(std::shared_ptr<io_service_runner_t> runner) : VkSocket(std::move(runner)) {}

VkUnixSocket::~VkUnixSocket() { RemoveOwnedFile(); }

std::string VkUnixSocket::LocalPath() const {
    const std::shared_ptr<VkUnixSocketAddress> local = asUnix(GetLocalAddress());
    return local ? std::string(local->GetPath()) : std::string();
}

bool VkUnixSocket::Create() {
    AssignHandle(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (GetDescriptor() == -1) throw base::VkSystemError("UnixSocket::Create", errno);
    try {
        ApplyOptions();
        const std::shared_ptr<VkUnixSocketAddress> local = asUnix(GetLocalAddress());
        if (!(IsServer() || IsListening()) || !local) return true;

        const auto bindLocal = [&] {
            return ::bind(GetDescriptor(), local->GetSockAddr(), local->GetSockAddrLength()) == 0;
        };
        if (bindLocal()) {
            // Owned before the mode change, so a failed chmod still removes it.
            m_ownsFile = true;
            ChMod(m_mode);
            return true;
        }
        const int firstError = errno;
        if (firstError != EADDRINUSE) throw base::VkSystemError("UnixSocket::Create", firstError);

        const std::string path = local->GetPath();
        switch (ProbePath()) {
            case PathState::kLive:
                ipcLog(VK_LOG_ERROR,
                       [&] { return "unix-socket create " + GetDescription() + " - somebody uses this socket"; });
                throw base::VkSystemError("UnixSocket::Create", firstError);
            case PathState::kNotSocket:
                ipcLog(VK_LOG_ERROR, [&] {
                    return "unix-socket create " + GetDescription() + " - " + path +
                           " is not a socket; it is left in place";
                });
                throw base::VkSystemError("UnixSocket::Create: " + path + " is not a socket", firstError);
            case PathState::kUnknown:
                throw base::VkSystemError("UnixSocket::Create", firstError);
            case PathState::kStale:
                if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                    throw base::VkSystemError("UnixSocket::Create", firstError);
                break;
            case PathState::kGone:
                break;
        }
        if (!bindLocal()) throw base::VkSystemError("UnixSocket::Create", firstError);
        ipcLog(VK_LOG_WARN, [&] {
            return "UnixSocket::Create a listening " + GetDescription() + " stalled socket has been removed and binded";
        });
        m_ownsFile = true;
        ChMod(m_mode);
    } catch (const base::VkSystemError& e) {
        ipcLog(VK_LOG_ERROR, [&] { return "unix-socket create " + GetDescription() + " failed: " + e.what(); });
        Close();
        throw;
    }
    return true;
}

VkUnixSocket::PathState VkUnixSocket::ProbePath() {
    const std::shared_ptr<VkIpcAddress> local = GetLocalAddress();
    struct stat status;
    if (::lstat(LocalPath().c_str(), &status) != 0) return errno == ENOENT ? PathState::kGone : PathState::kUnknown;
    if (!S_ISSOCK(status.st_mode)) return PathState::kNotSocket;

    VkUnixSocket probe(GetRunner());
    probe.SetLocalAddress(std::make_shared<VkUnixSocketAddress>(std::string()));
    probe.SetRemoteAddress(std::make_shared<VkUnixSocketAddress>(*local));
    try {
        probe.Connect(base::VkTimeout(kStalledProbeTimeoutMs, base::VkTimeout::Milliseconds));
        ipcLog(VK_LOG_DEBUG, [&] {
            return "UnixSocket::IsStalled " + GetDescription() + " successfully connected so somebody uses this socket";
        });
        return PathState::kLive;
    } catch (const base::VkTimedOut& t) {
        ipcLog(VK_LOG_WARN, [&] {
            return "UnixSocket::IsStalled " + GetDescription() + " cannot connect to this socket (" + t.what() +
                   ") - probably the socket is used";
        });
        return PathState::kLive;
    } catch (const base::VkSystemError& e) {
        // Only a refused connection shows that nobody listens; a file that
        // vanished meanwhile can be bound again; anything else (a live
        // socket we may not connect to) is left alone.
        if (e.GetErrno() == ENOENT) return PathState::kGone;
        if (e.GetErrno() != ECONNREFUSED) {
            ipcLog(VK_LOG_ERROR, [&] {
                return "UnixSocket::IsStalled " + GetDescription() + " cannot tell whether the socket is used (" +
                       e.what() + ")";
            });
            return PathState::kUnknown;
        }
        ipcLog(VK_LOG_INFO, [&] {
            return "UnixSocket::IsStalled " + GetDescription() + " stalled socket has been detected (" + e.what() + ")";
        });
        return PathState::kStale;
    } catch (const base::VkException& e) {
        ipcLog(VK_LOG_ERROR, [&] {
            return "UnixSocket::IsStalled " + GetDescription() + " cannot tell whether the socket is used (" +
                   e.what() + ")";
        });
        return PathState::kUnknown;
    }
}

bool VkUnixSocket::IsStalled() { return asUnix(GetLocalAddress()) && ProbePath() == PathState::kStale; }

void VkUnixSocket::SetMode(unsigned mode) { m_mode = mode; }

bool VkUnixSocket::ChMod(unsigned mode) {
    if (::chmod(LocalPath().c_str(), mode) != 0) throw base::VkSystemError("UnixSocket::ChMod " + LocalPath(), errno);
    return true;
}

void VkUnixSocket::RemoveOwnedFile() {
    if (!m_ownsFile || !asUnix(GetLocalAddress())) return;
    const std::string path = LocalPath();
    if (::unlink(path.c_str()) == 0) {
        m_ownsFile = false;
        return;
    }
    const int error = errno;
    ipcLog(VK_LOG_ERROR, [&] { return "unix-socket unlink(" + path + "): " + base::errnoText(error); });
}

void VkUnixSocket::Close() {
    RemoveOwnedFile();
    VkSocket::Close();
}

std::shared_ptr<VkIPC> VkUnixSocket::CreateEmptyPeer() {
    auto peer = std::make_shared<VkUnixSocket>(GetRunner());
    peer->SetLocalAddress(std::make_shared<VkUnixSocketAddress>(std::string()));
    peer->SetRemoteAddress(std::make_shared<VkUnixSocketAddress>(std::string()));
    peer->SetServer(IsServer());
    peer->SetListening(IsListening());
    peer->SetConnected(IsConnected());
    return peer;
}

bool VkUnixSocket::GetLocalSocketAddress() {
    if (!GetLocalAddress()) SetLocalAddress(std::make_shared<VkUnixSocketAddress>(std::string()));
    return VkSocket::GetLocalSocketAddress();
}

bool VkUnixSocket::GetRemoteSocketAddress() {
    if (!GetRemoteAddress()) SetRemoteAddress(std::make_shared<VkUnixSocketAddress>(std::string()));
    return VkSocket::GetRemoteSocketAddress();
}

}  // namespace ipc
}  // namespace velka
