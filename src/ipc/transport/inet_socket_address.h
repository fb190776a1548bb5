// VkInetSocketAddress: a TCP address, written "inet:" port "@" host and
// printed back as "inet:" address ":" port.
#pragma once

#include <netinet/in.h>

#include <string>

#include "ipc/transport/ipc_address.h"

namespace velka {
namespace ipc {

class VkInetSocketAddress : public VkSocketAddress {
public:
    // Keeps the text unparsed; the storage holds the IPv4 wildcard, port 0.
    explicit VkInetSocketAddress(const std::string& spec);
    // Copies text, domain and socket address of an inet address; any other
    // address gives an empty text and domain 0.
    explicit VkInetSocketAddress(const VkIpcAddress& other);
    VkInetSocketAddress(const VkInetSocketAddress& other);
    ~VkInetSocketAddress() override;

    bool Parse() override;
    bool ToString() override;
    const std::string& GetText() const override;
    unsigned GetSockAddrLength() const override;
    std::unique_ptr<VkIpcAddress> Clone() const override;
    bool GetLocalSocketAddress(int fd) override;
    bool GetRemoteSocketAddress(int fd) override;
    bool SetSockAddr(const void* data, unsigned length) override;
    const struct sockaddr* GetSockAddr() const override;

    // Throws std::invalid_argument for a host text with white space.
    virtual bool SetHost(const std::string& host, bool resolve);
    virtual bool SetPort(const std::string& port);
    virtual bool Resolve(bool resolve);
    virtual const char* GetHost() const;

private:
    union Storage {
        struct sockaddr sa;
        struct sockaddr_in in4;
        struct sockaddr_in6 in6;
    };

    Storage m_addr;
    std::string m_host;
};

}  // namespace ipc
}  // namespace velka
