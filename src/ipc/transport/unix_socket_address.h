// VkUnixSocketAddress: a unix-domain address, written "local:" or "unix:"
// followed by a path and printed back as "local:" path.
#pragma once

#include <sys/un.h>

#include <string>

#include "ipc/transport/ipc_address.h"

namespace velka {
namespace ipc {

class VkUnixSocketAddress : public VkSocketAddress {
public:
    // The longest path that leaves room for the terminating NUL.
    static const unsigned kMaxPathLength = sizeof(sockaddr_un::sun_path) - 1;

    // Keeps the text unparsed; domain 1, empty path.
    explicit VkUnixSocketAddress(const std::string& spec);
    // Copies text, domain and socket address of a unix address; any other
    // address gives an empty text and domain 0.
    explicit VkUnixSocketAddress(const VkIpcAddress& other);
    VkUnixSocketAddress(const VkUnixSocketAddress& other);
    ~VkUnixSocketAddress() override;

    // A path over kMaxPathLength bytes throws boost::system::system_error
    // (ENAMETOOLONG) naming the text.
    bool Parse() override;
    bool ToString() override;
    const std::string& GetText() const override;
    unsigned GetSockAddrLength() const override;
    std::unique_ptr<VkIpcAddress> Clone() const override;
    bool GetLocalSocketAddress(int fd) override;
    bool GetRemoteSocketAddress(int fd) override;
    // More than sizeof(sockaddr_un) bytes throws boost::system::system_error
    // (EINVAL) and changes nothing.
    bool SetSockAddr(const void* data, unsigned length) override;
    const struct sockaddr* GetSockAddr() const override;

    const char* GetPath() const;

private:
    void SetPathLength(unsigned length);

    struct sockaddr_un m_addr;
    unsigned m_pathLength;
    std::string m_path;
};

}  // namespace ipc
}  // namespace velka
