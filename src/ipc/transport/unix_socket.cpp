// The unix-domain stream-socket endpoint and the socket file of a server,
// which appears at its path only once it has its mode.
#include "ipc/transport/unix_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <random>

#include "base/vk_exception.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/unix_socket_address.h"

namespace velka {
namespace ipc {

namespace {

// The socket file's name in its private directory.
const char kBoundName[] = "s";

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// A directory of mode 0700 that this process made beside the socket's path
// for the bind; removed, with the socket file if it is still there, when
// it goes.
class PrivateDir {
public:
    PrivateDir(int parent, const std::string& name) : m_parent(parent) {
        std::random_device random;
        const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int attempt = 0; m_fd < 0; ++attempt) {
            std::string candidate = "." + name + ".";
            for (int i = 0; i < 6; ++i) candidate += letters[random() % (sizeof letters - 1)];
            if (::mkdirat(parent, candidate.c_str(), 0700) != 0) {
                if (errno == EEXIST && attempt < 100) continue;
                throw base::VkSystemError("UnixSocket::Create: mkdir " + candidate, errno);
            }
            m_name = candidate;
            m_fd = ::openat(parent, m_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat status;
            if (m_fd < 0 || ::fstat(m_fd, &status) != 0 || status.st_uid != ::geteuid() ||
                ::fchmod(m_fd, 0700) != 0) {
                const int error = m_fd < 0 ? errno : EPERM;
                Remove();
                throw base::VkSystemError("UnixSocket::Create: private directory " + candidate, error);
            }
        }
    }
    ~PrivateDir() { Remove(); }
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;

    int fd() const { return m_fd; }
    const std::string& name() const { return m_name; }

private:
    void Remove() {
        if (m_fd >= 0) {
            ::unlinkat(m_fd, kBoundName, 0);
            ::close(m_fd);
            m_fd = -1;
        }
        if (!m_name.empty() && ::unlinkat(m_parent, m_name.c_str(), AT_REMOVEDIR) != 0) {
            const int error = errno;
            ipcLog(VK_LOG_WARN, [&] { return "unix-socket rmdir(" + m_name + "): " + base::errnoText(error); });
        }
        m_name.clear();
    }

    int m_parent;
    std::string m_name;
    int m_fd = -1;
};

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
    const char* const what = "UnixSocket::Create";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int error = errno;
    const SetUp setUp(*this, fd);
    if (fd == -1) throw base::VkSystemError(what, error);
    try {
        ApplyOptions();
        const std::shared_ptr<VkUnixSocketAddress> local = asUnix(GetLocalAddress());
        if ((IsServer() || IsListening()) && local && !setUp.Closed()) BindPrivately(local->GetPath());
    } catch (const base::VkSystemError& e) {
        // A step that failed once another thread had closed the endpoint
        // ends as that close, below.
        if (!setUp.Closed()) {
            ipcLog(VK_LOG_ERROR, [&] { return "unix-socket create " + GetDescription() + " failed: " + e.what(); });
            Close();
            throw;
        }
    }
    if (setUp.Closed()) {
        // A socket file bound meanwhile goes now, the descriptor with the
        // hold.
        Close();
        setUp.ThrowClosed(what);
    }
    return true;
}

void VkUnixSocket::BindPrivately(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) throw base::VkSystemError("UnixSocket::Create: " + path + " names no file", EINVAL);
    const Descriptor parent{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (parent.fd < 0) throw base::VkSystemError("UnixSocket::Create: " + dir, errno);
    const PrivateDir hidden(parent.fd, name);

    // Bound through the directory's handle, so the file lands in the very
    // directory that was made and checked.
    const std::string bound = "/proc/self/fd/" + std::to_string(hidden.fd()) + "/" + kBoundName;
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bound.c_str(), bound.size() + 1);
    if (::bind(GetDescriptor(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw base::VkSystemError("UnixSocket::Create: bind in " + dir + "/" + hidden.name(), errno);
    m_privateDir = hidden.fd();
    try {
        ChMod(m_mode);
    } catch (...) {
        m_privateDir = -1;
        throw;
    }
    m_privateDir = -1;

    if (PlaceFile(hidden.fd(), parent.fd, name)) {
        OwnFile(path);
        return;
    }
    switch (ProbePath()) {
        case PathState::kLive:
            ipcLog(VK_LOG_ERROR,
                   [&] { return "unix-socket create " + GetDescription() + " - somebody uses this socket"; });
            throw base::VkSystemError("UnixSocket::Create", EADDRINUSE);
        case PathState::kNotSocket:
            ipcLog(VK_LOG_ERROR, [&] {
                return "unix-socket create " + GetDescription() + " - " + path + " is not a socket; it is left in place";
            });
            throw base::VkSystemError("UnixSocket::Create: " + path + " is not a socket", EADDRINUSE);
        case PathState::kUnknown:
            throw base::VkSystemError("UnixSocket::Create", EADDRINUSE);
        case PathState::kStale:
            if (::unlinkat(parent.fd, name.c_str(), 0) != 0 && errno != ENOENT)
                throw base::VkSystemError("UnixSocket::Create", EADDRINUSE);
            break;
        case PathState::kGone:
            break;
    }
    if (!PlaceFile(hidden.fd(), parent.fd, name)) throw base::VkSystemError("UnixSocket::Create", EADDRINUSE);
    OwnFile(path);
    ipcLog(VK_LOG_WARN, [&] {
        return "UnixSocket::Create a listening " + GetDescription() + " stalled socket has been removed and binded";
    });
}

void VkUnixSocket::OwnFile(const std::string& path) {
    m_servedPath = path;
    const std::lock_guard<std::mutex> lock(m_fileMutex);
    m_ownsFile = true;
}

bool VkUnixSocket::PlaceFile(int from, int parent, const std::string& name) {
    if (::renameat2(from, kBoundName, parent, name.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    throw base::VkSystemError("UnixSocket::Create: rename to " + LocalPath(), errno);
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
    // Nobody but this process writes in the private directory: the name
    // there is the file that was bound.
    if (m_privateDir < 0)
        throw base::VkSystemError("UnixSocket::ChMod " + LocalPath() + ": the socket file has left its directory",
                                  EPERM);
    if (::fchmodat(m_privateDir, kBoundName, mode, 0) != 0)
        throw base::VkSystemError("UnixSocket::ChMod " + LocalPath(), errno);
    return true;
}

void VkUnixSocket::RemoveOwnedFile() {
    const std::lock_guard<std::mutex> lock(m_fileMutex);
    RemoveOwnedFileLocked();
}

void VkUnixSocket::RemoveOwnedFileLocked() {
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
    // One close at a time, each whole: of two closes at once only the first
    // finds the file. Create marks the file as owned under the same lock, so
    // a close that came before the mark has closed the endpoint by then, and
    // Create, seeing that, removes the file itself.
    const std::lock_guard<std::mutex> lock(m_fileMutex);
    RemoveOwnedFileLocked();
    VkSocket::Close();
}

std::shared_ptr<VkIPC> VkUnixSocket::CreateEmptyPeer() {
    auto peer = std::make_shared<VkUnixSocket>(GetRunner());
    peer->m_servedPath = m_servedPath;
    peer->SetLocalAddress(std::make_shared<VkUnixSocketAddress>(std::string()));
    peer->SetRemoteAddress(std::make_shared<VkUnixSocketAddress>(std::string()));
    peer->SetServer(IsServer());
    peer->SetListening(IsListening());
    peer->SetConnected(IsConnected());
    return peer;
}

bool VkUnixSocket::GetLocalSocketAddress() {
    if (!GetLocalAddress()) SetLocalAddress(std::make_shared<VkUnixSocketAddress>(std::string()));
    if (m_servedPath.empty() || GetDescriptor() == -1) return VkSocket::GetLocalSocketAddress();
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_servedPath.c_str(), m_servedPath.size());
    return GetLocalAddress()->SetSockAddr(&address, offsetof(sockaddr_un, sun_path) + m_servedPath.size());
}

bool VkUnixSocket::GetRemoteSocketAddress() {
    if (!GetRemoteAddress()) SetRemoteAddress(std::make_shared<VkUnixSocketAddress>(std::string()));
    return VkSocket::GetRemoteSocketAddress();
}

}  // namespace ipc
}  // namespace velka
