// TCP addresses: "inet:" port "@" host, looked up through the resolver.
#include "ipc/transport/inet_socket_address.h"

#include <arpa/inet.h>
#include <errno.h>

#include <cctype>
#include <cstring>
#include <locale>
#include <stdexcept>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

#include "base/vk_exception.h"
#include "ipc/transport/ipc_log.h"

namespace velka {
namespace ipc {

namespace {

const std::string kPrefix = "inet:";
const unsigned long kMaxPort = 65535;

using boost::asio::ip::tcp;

// The first result of a synchronous lookup on a private I/O service.
bool lookup(const std::string& host, const std::string& service, tcp::resolver::flags flags, tcp::endpoint& out,
            boost::system::error_code& error) {
    boost::asio::io_context io;
    tcp::resolver resolver(io);
    const tcp::resolver::results_type results = resolver.resolve(host, service, flags, error);
    if (error) return false;
    if (results.empty()) {
        error = boost::asio::error::host_not_found;
        return false;
    }
    out = results.begin()->endpoint();
    return true;
}

// True for an all-digit text whose number is above 65535.
bool portAboveRange(const std::string& text) {
    if (text.empty()) return false;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        if (value <= kMaxPort) value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value > kMaxPort;
}

}  // namespace

VkInetSocketAddress::VkInetSocketAddress(const std::string& spec) : VkSocketAddress(spec, kDomainInet) {
    std::memset(&m_addr, 0, sizeof(m_addr));
    m_addr.in4.sin_family = AF_INET;
}

VkInetSocketAddress::VkInetSocketAddress(const VkIpcAddress& other) : VkInetSocketAddress(std::string()) {
    const auto* inet = dynamic_cast<const VkInetSocketAddress*>(&other);
    if (inet == nullptr || other.GetDomain() != kDomainInet) {
        m_domain = kDomainUndefined;
        return;
    }
    m_spec = inet->m_spec;
    m_addr = inet->m_addr;
}

VkInetSocketAddress::VkInetSocketAddress(const VkInetSocketAddress& other) = default;

VkInetSocketAddress::~VkInetSocketAddress() = default;

bool VkInetSocketAddress::Parse() {
    const std::string text = m_spec;
    if (text.compare(0, kPrefix.size(), kPrefix) != 0) {
        ipcLog(VK_LOG_DEBUG,
               [&] { return "InetSocketAddress::Parse(" + text + ") failed - specifier 'inet:' was not found"; });
        m_domain = kDomainUndefined;
        return false;
    }
    const size_t at = text.find('@');
    if (at == std::string::npos) {
        ipcLog(VK_LOG_ERROR, [&] { return "inet parser (" + text + ") failed - separator '@' was not found"; });
        m_domain = kDomainUndefined;
        return false;
    }
    const std::string port = text.substr(kPrefix.size(), at - kPrefix.size());
    if (!SetPort(port)) {
        ipcLog(VK_LOG_ERROR, [&] { return "inet parser (" + text + ") failed - cannot get port from " + port; });
        m_domain = kDomainUndefined;
        return false;
    }
    const std::string host = text.substr(at + 1);
    if (!SetHost(host, true)) {
        ipcLog(VK_LOG_ERROR, [&] { return "inet parser (" + text + ") failed - cannot get host from " + host; });
        m_domain = kDomainUndefined;
        return false;
    }
    m_domain = kDomainInet;
    return true;
}

bool VkInetSocketAddress::SetPort(const std::string& port) {
    // The resolver wraps numbers above 65535 ("70000" would become 4464).
    if (portAboveRange(port)) {
        ipcLog(VK_LOG_ERROR,
               [&] { return "can`t resolve port number " + port + ": port numbers end at 65535"; });
        return false;
    }
    tcp::endpoint endpoint;
    boost::system::error_code error;
    if (!lookup(std::string(), port, tcp::resolver::passive | tcp::resolver::address_configured, endpoint, error)) {
        ipcLog(VK_LOG_ERROR, [&] { return "can`t resolve port number " + port + ": " + error.message(); });
        return false;
    }
    // Only the port changes; both families keep it at the same offset.
    m_addr.in4.sin_port = htons(endpoint.port());
    return true;
}

bool VkInetSocketAddress::SetHost(const std::string& host, bool resolve) {
    for (char c : host)
        if (std::isspace(c, std::locale())) throw std::invalid_argument("wrong host name '" + host + "'");
    m_host = host;
    return Resolve(resolve);
}

bool VkInetSocketAddress::Resolve(bool resolve) {
    const uint16_t port = ntohs(m_addr.in4.sin_port);
    boost::system::error_code error;
    tcp::endpoint endpoint;
    if (resolve) {
        if (lookup(m_host, "0", tcp::resolver::address_configured, endpoint, error)) endpoint.port(port);
    } else {
        const boost::asio::ip::address address = boost::asio::ip::make_address(m_host, error);
        if (!error) endpoint = tcp::endpoint(address, 0);
    }
    if (error) {
        if (!resolve) {
            std::memset(&m_addr, 0, sizeof(m_addr));
            m_addr.in4.sin_family = AF_INET;
        }
        ipcLog(VK_LOG_ERROR, [&] { return "resolve (" + m_host + ") failed: " + error.message(); });
        return false;
    }
    std::memset(&m_addr, 0, sizeof(m_addr));
    std::memcpy(&m_addr, endpoint.data(), endpoint.size());
    ipcLog(VK_LOG_DEBUG, [&] {
        VkInetSocketAddress printed(*this);
        printed.ToString();
        return "InetSocket::Resolve(" + m_host + ") done to " + printed.GetSpec().substr(kPrefix.size());
    });
    return true;
}

bool VkInetSocketAddress::ToString() {
    char text[INET6_ADDRSTRLEN] = {0};
    if (m_addr.sa.sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &m_addr.in6.sin6_addr, text, sizeof(text));
        m_spec = kPrefix + "[" + text + "]:" + std::to_string(ntohs(m_addr.in6.sin6_port));
    } else {
        inet_ntop(AF_INET, &m_addr.in4.sin_addr, text, sizeof(text));
        m_spec = kPrefix + text + ":" + std::to_string(ntohs(m_addr.in4.sin_port));
    }
    return true;
}

const std::string& VkInetSocketAddress::GetText() const { return GetSpec(); }

unsigned VkInetSocketAddress::GetSockAddrLength() const {
    return m_addr.sa.sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

std::unique_ptr<VkIpcAddress> VkInetSocketAddress::Clone() const {
    return std::unique_ptr<VkIpcAddress>(new VkInetSocketAddress(*this));
}

bool VkInetSocketAddress::GetLocalSocketAddress(int fd) {
    Storage name;
    socklen_t length = sizeof(name);
    if (getsockname(fd, &name.sa, &length) != 0) {
        const int error = errno;
        ipcLog(VK_LOG_WARN,
               [&] { return "GetLocalSocketAddress: cannot get local name: " + base::errnoText(error); });
        return false;
    }
    m_addr = name;
    return ToString();
}

bool VkInetSocketAddress::GetRemoteSocketAddress(int fd) {
    Storage name;
    socklen_t length = sizeof(name);
    if (getpeername(fd, &name.sa, &length) != 0) {
        const int error = errno;
        if (error == ENOTCONN) {
            // No peer: the address reads empty.
            SetSpec(std::string());
            return true;
        }
        ipcLog(VK_LOG_WARN,
               [] { return std::string("GetRemoteSocketAddress: can`t get remote name because socket does not connected"); });
        return false;
    }
    m_addr = name;
    return ToString();
}

bool VkInetSocketAddress::SetSockAddr(const void* data, unsigned length) {
    if (length > sizeof(m_addr))
        throw boost::system::system_error(EINVAL, boost::system::system_category(),
                                          "inet socket address of " + std::to_string(length) + " bytes");
    std::memset(&m_addr, 0, sizeof(m_addr));
    std::memcpy(&m_addr, data, length);
    return ToString();
}

const struct sockaddr* VkInetSocketAddress::GetSockAddr() const { return &m_addr.sa; }

const char* VkInetSocketAddress::GetHost() const { return m_host.c_str(); }

}  // namespace ipc
}  // namespace velka
