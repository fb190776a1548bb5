// The stream-socket endpoint. Data moves with non-blocking send and recv on
// the caller's thread (send never raises SIGPIPE); whenever the socket is
// not ready the caller blocks, through asio_sync::run_op, on a readiness
// wait that completes on the endpoint's runner, with what remains of the
// call's one deadline. Every call that uses the descriptor holds it through
// the endpoint's channel, so that a close from another thread cancels the
// call's wait and releases the descriptor only after the call has left.
#include "ipc/transport/socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/system/system_error.hpp>

#include "base/vk_exception.h"
#include "ipc/transport/asio_sync.h"
#include "ipc/transport/io_service_runner.h"
#include "ipc/transport/ipc_log.h"

namespace velka {
namespace ipc {

// The descriptor of one endpoint and the calls that use it. A close that
// finds no call closes the descriptor at once; otherwise it marks the
// channel closing and posts a cancel of the calls' waits to the runner, and
// whoever leaves last (a call, or that cancel) closes the descriptor. The
// cancel holds the channel, so it outlives an endpoint destroyed first.
class VkSocketChannel : public std::enable_shared_from_this<VkSocketChannel> {
public:
    explicit VkSocketChannel(std::shared_ptr<io_service_runner_t> runner)
        : m_runner(std::move(runner)), m_descriptor(m_runner->get_io_context()) {}
    VkSocketChannel(const VkSocketChannel&) = delete;
    VkSocketChannel& operator=(const VkSocketChannel&) = delete;

    boost::asio::posix::stream_descriptor& Descriptor() { return m_descriptor; }
    // What the endpoint reports: -1 from the close on.
    int Fd() const { return m_fd; }
    bool Closing() const { return m_closing; }

    // Takes the descriptor over once the calls on an earlier one have left;
    // with hold, the caller then holds it as a call does, until it leaves.
    void Assign(int fd, bool hold) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_users == 0; });
        if (m_descriptor.is_open()) CloseNow();
        boost::system::error_code error;
        m_descriptor.assign(fd, error);
        if (error) {
            ::close(fd);
            throw boost::system::system_error(error, "assign");
        }
        m_fd = fd;
        if (hold) ++m_users;
    }
    // One more call on the open descriptor: its number, or -1 when the
    // endpoint is closed or closing.
    int Enter() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closing || !m_descriptor.is_open()) return -1;
        ++m_users;
        return m_descriptor.native_handle();
    }
    void Leave() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--m_users != 0) return;
        if (m_closing) CloseNow();
        m_changed.notify_all();
    }
    // False when there was nothing to close.
    bool Close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closing || !m_descriptor.is_open()) return false;
        m_fd = -1;
        if (m_users == 0) {
            CloseNow();
            return true;
        }
        m_closing = true;
        m_changed.notify_all();
        ++m_users;  // the cancel, which runs where every wait starts
        boost::asio::post(m_descriptor.get_executor(), [self = shared_from_this()] {
            boost::system::error_code ignored;
            self->m_descriptor.cancel(ignored);
            self->Leave();
        });
        return true;
    }
    // Waits up to the period for a close; true once one came.
    bool WaitClosing(std::chrono::milliseconds period) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, period, [this] { return m_closing.load(); });
    }

private:
    void CloseNow() {  // m_mutex held, no call left
        boost::system::error_code ignored;
        m_descriptor.close(ignored);
        m_closing = false;
        m_fd = -1;
    }

    const std::shared_ptr<io_service_runner_t> m_runner;  // keeps the I/O context alive
    boost::asio::posix::stream_descriptor m_descriptor;
    std::mutex m_mutex;
    std::condition_variable m_changed;  // no call left, or a close came
    int m_users = 0;
    std::atomic<bool> m_closing{false};
    std::atomic<int> m_fd{-1};
};

// A call's hold on the endpoint's open descriptor.
class VkSocket::Use {
public:
    // Throws VkIpcErrorClosed naming what when the endpoint is closed.
    Use(const VkSocket& socket, const char* what) : m_channel(*socket.m_channel), m_fd(m_channel.Enter()) {
        if (m_fd == -1) socket.ThrowClosed(what);
    }
    ~Use() { m_channel.Leave(); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    int Fd() const { return m_fd; }

private:
    VkSocketChannel& m_channel;
    const int m_fd;
};

namespace {

const asio_sync::periodical_func_t kNoPeriodical;
const boost::posix_time::time_duration kPeriod = boost::posix_time::seconds(1);
const size_t kFileChunk = 64 * 1024;
// A unix listener whose queue is full refuses a connect with EAGAIN
// without starting it: it is tried again, first after 1 ms, then after
// twice as long each time, at most 50 ms.
const std::chrono::milliseconds kFirstConnectPause(1);
const std::chrono::milliseconds kLongestConnectPause(50);

// Completes when the descriptor is ready (or in error). Started on the
// runner, where the cancel of a close runs too: a wait that starts after
// that cancel ends at once.
struct op_wait_ready {
    VkSocketChannel& channel;
    boost::asio::posix::descriptor_base::wait_type type;

    template <typename Socket, typename Handler>
    void async_start(Socket& socket, Handler&& handler) const {
        if (!channel.Closing()) {
            socket.async_wait(type, std::forward<Handler>(handler));
            return;
        }
        boost::asio::post(socket.get_executor(), [handler = std::forward<Handler>(handler)]() mutable {
            handler(boost::system::error_code(boost::asio::error::operation_aborted));
        });
    }
};

// A VkSystemError whose message comes from the code's own category, so an
// end of stream reads "End of file" rather than the errno text of its
// number.
class VkCategoryError : public base::VkSystemError {
public:
    VkCategoryError(const std::string& what, const boost::system::error_code& code)
        : base::VkSystemError(what, code.value()),
          m_message(what + ": [" + std::to_string(code.value()) + "] " + code.message()) {}
    ~VkCategoryError() override = default;
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

// Closes an accepted descriptor unless an endpoint took it over.
struct DescriptorGuard {
    int fd;
    ~DescriptorGuard() {
        if (fd >= 0) ::close(fd);
    }
};

boost::system::error_code systemCode(int error) {
    return boost::system::error_code(error, boost::system::system_category());
}

}  // namespace

VkSocket::VkSocket(std::shared_ptr<io_service_runner_t> runner)
    : VkIPC(runner), m_channel(std::make_shared<VkSocketChannel>(runner)) {}

VkSocket::~VkSocket() { CloseDescriptor(); }

int VkSocket::GetDescriptor() const { return m_channel->Fd(); }

void VkSocket::CloseDescriptor() {
    if (m_channel->Close()) SetConnected(false);
}

void VkSocket::Close() { CloseDescriptor(); }

void VkSocket::AssignHandle(int fd) {
    CloseDescriptor();
    if (fd != -1) m_channel->Assign(fd, false);
}

VkSocket::SetUp::SetUp(VkSocket& socket, int fd) : m_socket(socket) {
    socket.CloseDescriptor();
    if (fd == -1) return;
    // Taken over and held at once: a close can never find the new
    // descriptor without the hold.
    socket.m_channel->Assign(fd, true);
    m_held = true;
}

VkSocket::SetUp::~SetUp() {
    if (m_held) m_socket.m_channel->Leave();
}

// The closing mark stays while the hold keeps the descriptor open.
bool VkSocket::SetUp::Closed() const { return m_held && m_socket.m_channel->Closing(); }

void VkSocket::SetUp::ThrowClosed(const char* what) const { m_socket.ThrowClosed(what); }

void VkSocket::ThrowClosed(const char* what) const {
    throw VkIpcErrorClosed(std::string(what) + " for " + GetDescription() + "- closed");
}

void VkSocket::ThrowIfError(const char* what, const boost::system::error_code& code, const base::VkTimeout& timeout) {
    if (!code) return;
    if (code == systemCode(ETIMEDOUT)) throw base::VkTimedOut(what, timeout);
    if (code.category() == boost::system::system_category()) throw base::VkSystemError(what, code.value());
    throw VkCategoryError(what, code);
}

boost::system::error_code VkSocket::Wait(const char* what, Readiness readiness, const base::VkTimeout& timeout) {
    VkSocketChannel& channel = *m_channel;
    const op_wait_ready op{channel, readiness == Readiness::kRead ? boost::asio::posix::descriptor_base::wait_read
                                                                  : boost::asio::posix::descriptor_base::wait_write};
    const base::VkDeadline deadline(timeout);
    for (;;) {
        boost::system::error_code code;
        asio_sync::run_op(code, channel.Descriptor(), op, deadline.remaining().toDuration(), kNoPeriodical, kPeriod);
        if (channel.Closing()) ThrowClosed(what);
        if (code) return code;
        // The reactor may report a state the descriptor had before the wait
        // began (a socket registered before its listen shows a hang-up):
        // only a readiness that poll confirms ends the wait, so an accept or
        // a connect's result is never taken from a stale report.
        const short wanted = readiness == Readiness::kRead ? POLLIN : POLLOUT;
        pollfd entry{channel.Descriptor().native_handle(), wanted, 0};
        if (::poll(&entry, 1, 0) != 0) return code;
    }
}

boost::system::error_code VkSocket::ConnectTo(int fd, const VkSocketAddress& address, const base::VkTimeout& timeout) {
    const char* const what = "VkSocket::Connect";
    const base::VkDeadline deadline(timeout);
    const bool unixDomain = address.GetDomain() == kDomainUnix;
    for (std::chrono::milliseconds pause = kFirstConnectPause;;) {
        if (::connect(fd, address.GetSockAddr(), address.GetSockAddrLength()) == 0) return {};
        if (errno != EAGAIN || !unixDomain) break;
        // The listen queue is full, as a blocking connect would wait.
        const base::VkTimeout left = deadline.remaining();
        const std::chrono::milliseconds leftMs(left.AsUnit(base::VkTimeout::Milliseconds));
        if (leftMs.count() == 0) return systemCode(ETIMEDOUT);
        if (m_channel->WaitClosing(left.isInfinite() ? pause : std::min(pause, leftMs))) ThrowClosed(what);
        pause = std::min(pause * 2, kLongestConnectPause);
    }
    if (errno != EINPROGRESS && errno != EINTR) return systemCode(errno);
    // The connection goes on in the background: writable means decided.
    const boost::system::error_code waited = Wait(what, Readiness::kWrite, deadline.remaining());
    if (waited) return waited;
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return systemCode(errno);
    return error == 0 ? boost::system::error_code() : systemCode(error);
}

bool VkSocket::Connect(const base::VkTimeout& timeout, const void* /*context*/) {
    const std::shared_ptr<VkIpcAddress> remote = GetRemoteAddress();
    if (!remote) {
        ipcLog(VK_LOG_DEBUG, [] { return std::string("Socket::Connect failed because cannot get remote address"); });
        throw VkIpcError(this, "Socket::Connect: ", ": cannot get remote address");
    }
    SetServer(false);
    if (!Create()) {
        Close();
        return false;
    }
    const auto* target = dynamic_cast<const VkSocketAddress*>(remote.get());
    const int domain = remote->GetDomain();
    if (target == nullptr || (domain != kDomainUnix && domain != kDomainInet))
        throw std::domain_error("VkSocket::Connect: unknown domain: " + std::to_string(domain));
    const char* const what = "VkSocket::Connect";
    // Held until the connection is recorded: the local name is read from
    // the open descriptor, and a close from another thread meanwhile ends
    // the call with the endpoint closed and not connected.
    const Use use(*this, what);
    ThrowIfError(what, ConnectTo(use.Fd(), *target, timeout), timeout);
    SetConnected(true);
    if (!m_channel->Closing()) GetLocalSocketAddress();
    if (m_channel->Closing()) {
        SetConnected(false);
        ThrowClosed(what);
    }
    ipcLog(VK_LOG_DEBUG, [&] { return "Socket::Connect done for " + GetDescription(); });
    return true;
}

void VkSocket::Listen(int backlog) {
    const Use use(*this, "Socket::Listen");
    if (::listen(use.Fd(), backlog) == 0) {
        SetListening(true);
        return;
    }
    const int error = errno;
    ipcLog(VK_LOG_ERROR, [&] {
        return "listen error for " + GetDescription() + "/" + std::to_string(backlog) + ": " + base::errnoText(error);
    });
    throw base::VkSystemError("Socket::Listen", error);
}

std::shared_ptr<VkIPC> VkSocket::Accept(int backlog, const base::VkTimeout& timeout) {
    // Server side in any case; created, bound and listening once.
    SetServer(true);
    if (!IsListening()) {
        if (!GetLocalAddress()) {
            ipcLog(VK_LOG_DEBUG, [] { return std::string("Socket::Accept failed because cannot get local address"); });
            throw VkIpcError(this, "Socket::Accept: ", ": cannot get local address");
        }
        if (!Create()) {
            Close();
            return nullptr;
        }
        Listen(backlog);
    }
    const Use use(*this, "Socket::WaitReadable");
    WaitReadable(timeout);

    // Room for any peer address; only what accept wrote is used.
    struct sockaddr_storage peer;
    socklen_t peerLength;
    int fd;
    do {
        peerLength = sizeof(peer);
        fd = ::accept4(use.Fd(), reinterpret_cast<struct sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        // Running out of descriptors or buffers repeats until something is
        // freed: the caller counts those failures in records of its own.
        const bool shortage = error == EMFILE || error == ENFILE || error == ENOBUFS;
        ipcLog(shortage ? VK_LOG_DEBUG : VK_LOG_ERROR,
               [&] { return "accept at " + GetDescription() + " failed: " + base::errnoText(error); });
        throw base::VkSystemError("Socket::Accept", error);
    }
    DescriptorGuard guard{fd};

    const std::shared_ptr<VkSocket> accepted = std::dynamic_pointer_cast<VkSocket>(CreateEmptyPeer());
    if (!accepted) throw std::logic_error("Socket::Accept: CreateEmptyPeer gave no stream socket for " + GetDescription());
    guard.fd = -1;
    accepted->AssignHandle(fd);
    accepted->SetConnected(true);
    accepted->SetListening(false);
    accepted->SetOptions();
    accepted->GetLocalSocketAddress();
    const std::shared_ptr<VkIpcAddress> remote = accepted->GetRemoteAddress();
    if (remote) remote->SetSockAddr(&peer, std::min<socklen_t>(peerLength, sizeof(peer)));
    return accepted;
}

void VkSocket::WaitReadable(const base::VkTimeout& timeout) {
    const Use use(*this, "Socket::WaitReadable");
    try {
        ThrowIfError("VkSocket::WaitReadable", Wait("Socket::WaitReadable", Readiness::kRead, timeout), timeout);
    } catch (const std::exception& e) {
        ipcLog(VK_LOG_ERROR, [&] { return std::string("WaitReadable error: ") + e.what(); });
        throw;
    }
}

void VkSocket::Send(const void* data, size_t length, const base::VkTimeout& timeout) {
    const char* const what = "VkSocket::Send";
    try {
        const Use use(*this, what);
        const base::VkDeadline deadline(timeout);
        const char* next = static_cast<const char*>(data);
        size_t left = length;
        while (left > 0) {
            if (m_channel->Closing()) ThrowClosed(what);
            const ssize_t sent = ::send(use.Fd(), next, left, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0) {
                next += sent;
                left -= static_cast<size_t>(sent);
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                ThrowIfError(what, Wait(what, Readiness::kWrite, deadline.remaining()), timeout);
            } else if (errno != EINTR) {
                ThrowIfError(what, systemCode(errno), timeout);
            }
        }
    } catch (...) {
        SetConnected(false);
        throw;
    }
}

void VkSocket::Receive(void* data, size_t length, const base::VkTimeout& timeout) {
    const char* const what = "VkSocket::Receive";
    try {
        const Use use(*this, what);
        const base::VkDeadline deadline(timeout);
        char* next = static_cast<char*>(data);
        size_t left = length;
        while (left > 0) {
            if (m_channel->Closing()) ThrowClosed(what);
            const ssize_t got = ::recv(use.Fd(), next, left, MSG_DONTWAIT);
            if (got > 0) {
                next += got;
                left -= static_cast<size_t>(got);
            } else if (got == 0) {
                ThrowIfError(what, boost::asio::error::eof, timeout);
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                ThrowIfError(what, Wait(what, Readiness::kRead, deadline.remaining()), timeout);
            } else if (errno != EINTR) {
                ThrowIfError(what, systemCode(errno), timeout);
            }
        }
    } catch (...) {
        SetConnected(false);
        throw;
    }
}

bool VkSocket::SendFile(const char* path, uint64_t start, uint64_t length, const base::VkTimeout& timeout) {
    const std::string name(path);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw base::VkSystemError("VkSocket::SendFile::stat " + name, errno);
    DescriptorGuard file{fd};
    struct stat status;
    if (::fstat(fd, &status) != 0) throw base::VkSystemError("VkSocket::SendFile::stat " + name, errno);
    const uint64_t size = static_cast<uint64_t>(status.st_size);
    if (start > size || length > size - start) {
        ipcLog(VK_LOG_ERROR, [&] {
            return "Error in VkSocket::SendFile(), requested start: " + std::to_string(start) +
                   " length: " + std::to_string(length) + " actual_size:" + std::to_string(size) + " (" + name + ")";
        });
        return false;
    }
    // Read in chunks rather than mapped: a file cut short meanwhile must
    // not kill the process, and must not leave the stream looking whole.
    const base::VkDeadline deadline(timeout);
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(length, kFileChunk)));
    uint64_t offset = start;
    uint64_t left = length;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const int error = got < 0 ? errno : 0;
            SetConnected(false);
            if (error != 0) throw base::VkSystemError("VkSocket::SendFile::read " + name, error);
            throw VkIpcError("VkSocket::SendFile: " + name + " ended at byte " + std::to_string(offset) +
                                 " of the " + std::to_string(start + length) + " to send; ",
                             GetDescription() + " is out of step");
        }
        Send(buffer.data(), static_cast<size_t>(got), deadline.remaining());
        offset += static_cast<uint64_t>(got);
        left -= static_cast<uint64_t>(got);
    }
    return true;
}

bool VkSocket::ApplyOptions() {
    if (GetDescriptor() == -1) {
        ipcLog(VK_LOG_DEBUG, [] { return std::string("Socket::ApplyOptions - handle is invalid"); });
        return false;
    }
    SetOption(SO_REUSEADDR, 1);
    SetNonBlocking();
    return true;
}

void VkSocket::SetOptions() { ApplyOptions(); }

int VkSocket::SetOption(int name, int value) {
    const int result = ::setsockopt(GetDescriptor(), SOL_SOCKET, name, &value, sizeof(value));
    if (result < 0)
        throw base::VkSystemError("Socket::SetOption(" + std::to_string(name) + "," + std::to_string(value) +
                                      ") setsockopt failed",
                                  errno);
    return result;
}

void VkSocket::SetNonBlocking() { m_channel->Descriptor().native_non_blocking(true); }

bool VkSocket::GetLocalSocketAddress() {
    const std::shared_ptr<VkIpcAddress> local = GetLocalAddress();
    if (GetDescriptor() == -1 || !local) {
        ipcLog(VK_LOG_ERROR, [] { return std::string("GetLocalSocketAddress: handle is invalid"); });
        return false;
    }
    return local->GetLocalSocketAddress(GetDescriptor());
}

bool VkSocket::GetRemoteSocketAddress() {
    const std::shared_ptr<VkIpcAddress> remote = GetRemoteAddress();
    if (GetDescriptor() == -1 || !remote) {
        ipcLog(VK_LOG_ERROR, [] { return std::string("GetRemoteSocketAddress: handle is invalid"); });
        return false;
    }
    if (!remote->GetRemoteSocketAddress(GetDescriptor())) return false;
    // A socket without a peer reads as an empty address and stays as it is.
    if (!remote->GetSpec().empty()) SetConnected(true);
    return true;
}

}  // namespace ipc
}  // namespace velka
