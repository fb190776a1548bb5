// VkIfProtocolRegistry: where a server exchange looks up the protocol that
// serves a received identifier (the server session keeps the registered
// protocols).
#pragma once

#include <cstdint>

namespace velka {
namespace ipc {

class VkServerProtocol;

class VkIfProtocolRegistry {
public:
    virtual ~VkIfProtocolRegistry() = default;
    // The protocol registered under the identifier, or null.
    virtual VkServerProtocol* FindProtocol(uint32_t id) const = 0;
};

}  // namespace ipc
}  // namespace velka
