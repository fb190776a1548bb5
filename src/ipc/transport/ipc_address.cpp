// The text and domain shared by every address family.
#include "ipc/transport/ipc_address.h"

namespace velka {
namespace ipc {

VkIpcAddress::VkIpcAddress(const std::string& spec, VkIpcAddressDomain domain) : m_spec(spec), m_domain(domain) {}

VkIpcAddress::~VkIpcAddress() = default;

const std::string& VkIpcAddress::GetSpec() const { return m_spec; }

VkIpcAddressDomain VkIpcAddress::GetDomain() const { return m_domain; }

bool VkIpcAddress::SetSpec(const std::string& text) {
    m_spec = text;
    return Parse();
}

VkSocketAddress::~VkSocketAddress() = default;

}  // namespace ipc
}  // namespace velka
