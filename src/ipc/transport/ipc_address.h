// The address family of the IPC endpoints: VkIpcAddress, the text form of
// an address, and VkSocketAddress, an address the system's socket calls take.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>

namespace velka {
namespace ipc {

// The family of an address object.
enum VkIpcAddressDomain : int32_t {
    kDomainUndefined = 0,  // not parsed, or made from an address of another family
    kDomainUnix = 1,
    kDomainInet = 2,
};

// An address made from an address text. The text it was made from stays its
// spec text until ToString rebuilds it from the socket address.
class VkIpcAddress {
public:
    VkIpcAddress(const std::string& spec, VkIpcAddressDomain domain);
    virtual ~VkIpcAddress();

    // Parses the spec text into the socket address; false (with a record)
    // when the text is not of this family.
    virtual bool Parse() = 0;
    // Rebuilds the spec text from the socket address.
    virtual bool ToString() = 0;
    virtual const std::string& GetText() const = 0;
    virtual const std::string& GetSpec() const;
    virtual VkIpcAddressDomain GetDomain() const;
    // Bytes of the socket address to hand to bind or connect.
    virtual unsigned GetSockAddrLength() const = 0;
    virtual std::unique_ptr<VkIpcAddress> Clone() const = 0;
    // Stores the text as spec text and parses it.
    virtual bool SetSpec(const std::string& text);
    // Read the name of a socket (getsockname) or of its peer (getpeername).
    virtual bool GetLocalSocketAddress(int fd) = 0;
    virtual bool GetRemoteSocketAddress(int fd) = 0;
    // Takes a raw socket address as the system returned it.
    virtual bool SetSockAddr(const void* data, unsigned length) = 0;

protected:
    VkIpcAddress(const VkIpcAddress&) = default;
    VkIpcAddress& operator=(const VkIpcAddress&) = default;

    std::string m_spec;
    VkIpcAddressDomain m_domain;
};

// An address that the socket calls take as a struct sockaddr.
class VkSocketAddress : public VkIpcAddress {
public:
    using VkIpcAddress::VkIpcAddress;
    ~VkSocketAddress() override;

    virtual const struct sockaddr* GetSockAddr() const = 0;

protected:
    VkSocketAddress(const VkSocketAddress&) = default;
    VkSocketAddress& operator=(const VkSocketAddress&) = default;
};

}  // namespace ipc
}  // namespace velka
