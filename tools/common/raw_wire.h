// Raw-socket helpers of the test tools: address texts, exact reads and
// whole writes under one deadline, big-endian fields and printable texts.
// Independent of the IPC library on purpose, so that the tools check it.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace rawwire {

struct TimedOut : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Closed : std::runtime_error {  // end of stream before the expected bytes
    using std::runtime_error::runtime_error;
};
struct Stopped : std::runtime_error {  // the stop descriptor woke the wait
    using std::runtime_error::runtime_error;
};

inline std::string sysText(int err) {
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// A point in time on the monotonic clock, or never.
class Deadline {
public:
    static Deadline never() { return Deadline(); }
    static Deadline afterMs(long long ms) {
        Deadline d;
        d.m_infinite = false;
        d.m_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        return d;
    }
    // Milliseconds left for poll(): -1 without a deadline, 0 once passed.
    int pollMs() const {
        if (m_infinite) return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - std::chrono::steady_clock::now()).count();
        return left <= 0 ? 0 : left > 1000000 ? 1000000 : static_cast<int>(left);
    }
    bool passed() const { return !m_infinite && std::chrono::steady_clock::now() >= m_end; }

private:
    Deadline() = default;
    bool m_infinite = true;
    std::chrono::steady_clock::time_point m_end{};
};

// Waits until fd reports one of events; a readable or hung-up stopFd
// (when >= 0) throws Stopped, the deadline throws TimedOut.
inline void waitFor(int fd, short events, const Deadline& deadline, int stopFd = -1) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(fds, stopFd >= 0 ? 2 : 1, deadline.pollMs());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error("poll failed: " + sysText(errno));
        if (stopFd >= 0 && fds[1].revents != 0) throw Stopped("stopped");
        if (fds[0].revents != 0) return;
        if (deadline.passed()) throw TimedOut("timed out");
    }
}

// Reads exactly length bytes from a non-blocking descriptor.
inline void readExact(int fd, void* data, size_t length, const Deadline& deadline, int stopFd = -1) {
    char* at = static_cast<char*>(data);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, at + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            throw Closed("end of stream after " + std::to_string(done) + " of " + std::to_string(length) + " bytes");
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(fd, POLLIN, deadline, stopFd);
        } else if (errno != EINTR) {
            throw std::runtime_error("read failed: " + sysText(errno));
        }
    }
}

// Writes all bytes to a non-blocking socket (no SIGPIPE).
inline void writeAll(int fd, const std::string& bytes, const Deadline& deadline, int stopFd = -1) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n >= 0) {
            done += static_cast<size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(fd, POLLOUT, deadline, stopFd);
        } else if (errno != EINTR) {
            throw std::runtime_error("write failed: " + sysText(errno));
        }
    }
}

// Big-endian fields, written with explicit shifts.
inline void putInt32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}
inline void putString(std::string& out, const std::string& text) {
    putInt32(out, static_cast<uint32_t>(text.size()));
    out += text;
}
inline int32_t getInt32(const unsigned char* p) {
    return static_cast<int32_t>((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]));
}

// "00 00 20 03": upper-case pairs separated by blanks.
inline std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char c : bytes) {
        if (!text.empty()) text += ' ';
        text += digits[c >> 4];
        text += digits[c & 0x0F];
    }
    return text;
}

// The text between double quotes, with quote, backslash and every byte
// outside printable ASCII escaped, so that a record stays one line.
inline std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A parsed address text: "local:" or "unix:" followed by a path, or
// "inet:" port "@" host (an empty host is the loopback address).
struct Address {
    std::string text;
    int family = AF_UNSPEC;
    std::string path;  // unix only
    sockaddr_storage storage{};
    socklen_t length = 0;
};

inline Address parseAddress(const std::string& text) {
    Address address;
    address.text = text;
    for (const char* scheme : {"local:", "unix:"}) {
        const size_t n = std::strlen(scheme);
        if (text.compare(0, n, scheme) != 0) continue;
        address.path = text.substr(n);
        sockaddr_un un{};
        if (address.path.empty() || address.path.size() >= sizeof un.sun_path)
            throw std::runtime_error("address \"" + text + "\": the socket path must hold 1 to " +
                                     std::to_string(sizeof un.sun_path - 1) + " bytes");
        un.sun_family = AF_UNIX;
        std::memcpy(un.sun_path, address.path.data(), address.path.size());
        std::memcpy(&address.storage, &un, sizeof un);
        address.family = AF_UNIX;
        address.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.path.size());
        return address;
    }
    const size_t at = text.find('@');
    if (text.compare(0, 5, "inet:") != 0 || at == std::string::npos || at == 5)
        throw std::runtime_error("address \"" + text + "\": expected local:<path>, unix:<path> or inet:<port>@<host>");
    const std::string port = text.substr(5, at - 5), host = text.substr(at + 1);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) throw std::runtime_error("address \"" + text + "\": cannot resolve: " + gai_strerror(rc));
    std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
    address.length = found->ai_addrlen;
    address.family = found->ai_family;
    ::freeaddrinfo(found);
    return address;
}

// The address a listening or connected socket has, as a pid-file line:
// the path of a unix socket, host ":" port of an inet one.
inline std::string localName(int fd, const Address& address) {
    if (address.family == AF_UNIX) return address.path;
    sockaddr_storage name{};
    socklen_t length = sizeof name;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&name), &length) != 0) return "";
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&name), length, host, sizeof host, port, sizeof port,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "";
    return std::string(host) + ":" + port;
}

// A non-blocking stream socket connected to the address before the deadline.
inline int connectTo(const Address& address, const Deadline& deadline) {
    Fd fd(::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) throw std::runtime_error("socket failed: " + sysText(errno));
    // A unix socket whose listen queue is full refuses a non-blocking
    // connect with EAGAIN without starting it: try again, backing off from
    // 1 ms to 50 ms, until the deadline.
    int pauseMs = 1;
    int rc;
    while ((rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length)) != 0 &&
           errno == EAGAIN && address.family == AF_UNIX) {
        if (deadline.passed()) throw TimedOut("timed out connecting to \"" + address.text + "\": listen queue full");
        const int left = deadline.pollMs();
        ::poll(nullptr, 0, left < 0 || left > pauseMs ? pauseMs : left);
        pauseMs = pauseMs * 2 > 50 ? 50 : pauseMs * 2;
    }
    if (rc != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN)
            throw std::runtime_error("cannot connect to \"" + address.text + "\": " + sysText(errno));
        try {
            waitFor(fd.get(), POLLOUT, deadline);
        } catch (const TimedOut&) {
            throw TimedOut("timed out connecting to \"" + address.text + "\"");
        }
        int err = 0;
        socklen_t length = sizeof err;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &length);
        if (err != 0) throw std::runtime_error("cannot connect to \"" + address.text + "\": " + sysText(err));
    }
    return fd.release();
}

}  // namespace rawwire
