// Unix-domain addresses: "local:" or "unix:" followed by a path of at most
// 107 bytes.
#include "ipc/transport/unix_socket_address.h"

#include <errno.h>

#include <cstring>

#include <boost/system/system_error.hpp>

#include "base/vk_exception.h"
#include "ipc/transport/ipc_log.h"

namespace velka {
namespace ipc {

namespace {
const std::string kLocalPrefix = "local:";
const std::string kUnixPrefix = "unix:";
const unsigned kPathOffset = offsetof(sockaddr_un, sun_path);
}  // namespace

VkUnixSocketAddress::VkUnixSocketAddress(const std::string& spec)
    : VkSocketAddress(spec, kDomainUnix), m_pathLength(0) {
    std::memset(&m_addr, 0, sizeof(m_addr));
    m_addr.sun_family = AF_UNIX;
}

VkUnixSocketAddress::VkUnixSocketAddress(const VkIpcAddress& other) : VkUnixSocketAddress(std::string()) {
    const auto* unixAddress = dynamic_cast<const VkUnixSocketAddress*>(&other);
    if (unixAddress == nullptr || other.GetDomain() != kDomainUnix) {
        m_domain = kDomainUndefined;
        return;
    }
    m_spec = unixAddress->m_spec;
    m_addr = unixAddress->m_addr;
    SetPathLength(unixAddress->m_pathLength);
}

VkUnixSocketAddress::VkUnixSocketAddress(const VkUnixSocketAddress& other) = default;

VkUnixSocketAddress::~VkUnixSocketAddress() = default;

void VkUnixSocketAddress::SetPathLength(unsigned length) {
    m_pathLength = length;
    m_path.assign(m_addr.sun_path, length);
}

bool VkUnixSocketAddress::Parse() {
    size_t prefix = 0;
    if (m_spec.compare(0, kLocalPrefix.size(), kLocalPrefix) == 0)
        prefix = kLocalPrefix.size();
    else if (m_spec.compare(0, kUnixPrefix.size(), kUnixPrefix) == 0)
        prefix = kUnixPrefix.size();
    else {
        ipcLog(VK_LOG_DEBUG, [&] {
            return "UnixSocketAddress::Parse(" + m_spec + ") failed - specifiers 'unix:' or 'local:' were not found";
        });
        return false;
    }
    const std::string path(m_spec.c_str() + prefix);  // up to the first NUL
    if (path.size() > kMaxPathLength)
        throw boost::system::system_error(ENAMETOOLONG, boost::system::system_category(),
                                          "unix socket path of " + std::to_string(path.size()) + " bytes (at most " +
                                              std::to_string(kMaxPathLength) + ") in '" + m_spec + "'");
    std::memset(&m_addr, 0, sizeof(m_addr));
    m_addr.sun_family = AF_UNIX;
    std::memcpy(m_addr.sun_path, path.data(), path.size());
    SetPathLength(static_cast<unsigned>(path.size()));
    m_domain = kDomainUnix;
    return true;
}

bool VkUnixSocketAddress::ToString() {
    m_spec = kLocalPrefix + m_path;
    return true;
}

const std::string& VkUnixSocketAddress::GetText() const { return GetSpec(); }

unsigned VkUnixSocketAddress::GetSockAddrLength() const { return m_pathLength + kPathOffset; }

std::unique_ptr<VkIpcAddress> VkUnixSocketAddress::Clone() const {
    return std::unique_ptr<VkIpcAddress>(new VkUnixSocketAddress(*this));
}

bool VkUnixSocketAddress::GetLocalSocketAddress(int fd) {
    // The whole storage is offered, so a longer name than the current one is
    // read whole.
    struct sockaddr_un name;
    socklen_t length = sizeof(name);
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&name), &length) != 0) {
        const int error = errno;
        ipcLog(VK_LOG_WARN,
               [&] { return "GetLocalSocketAddress: cannot get local name: " + base::errnoText(error); });
        return false;
    }
    return SetSockAddr(&name, length);
}

bool VkUnixSocketAddress::GetRemoteSocketAddress(int fd) {
    struct sockaddr_un name;
    socklen_t length = sizeof(name);
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&name), &length) != 0) {
        if (errno == ENOTCONN) {
            // No peer: the address reads empty.
            SetSpec(std::string());
            return true;
        }
        ipcLog(VK_LOG_WARN,
               [] { return std::string("GetRemoteSocketAddress: can`t get remote name because socket does not connected"); });
        return false;
    }
    return SetSockAddr(&name, length);
}

bool VkUnixSocketAddress::SetSockAddr(const void* data, unsigned length) {
    if (length > sizeof(m_addr))
        throw boost::system::system_error(EINVAL, boost::system::system_category(),
                                          "unix socket address of " + std::to_string(length) + " bytes (at most " +
                                              std::to_string(sizeof(m_addr)) + ")");
    std::memset(&m_addr, 0, sizeof(m_addr));
    std::memcpy(&m_addr, data, length);
    unsigned pathLength = length > kPathOffset ? length - kPathOffset : 0;
    if (pathLength > 0 && m_addr.sun_path[pathLength - 1] == '\0') --pathLength;
    SetPathLength(pathLength);
    return ToString();
}

const struct sockaddr* VkUnixSocketAddress::GetSockAddr() const {
    return reinterpret_cast<const struct sockaddr*>(&m_addr);
}

const char* VkUnixSocketAddress::GetPath() const { return m_path.c_str(); }

}  // namespace ipc
}  // namespace velka
