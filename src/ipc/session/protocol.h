// VkProtocol: one kind of request-and-answer exchange, named by a 32-bit
// protocol identifier; the base of client and server protocols.
#pragma once

#include <cstdint>

#include "ipc/transport/ddp_unit.h"

namespace velka {
namespace ipc {

class VkProtocol {
public:
    VkProtocol() = default;
    VkProtocol(const VkProtocol&) = delete;
    VkProtocol& operator=(const VkProtocol&) = delete;
    virtual ~VkProtocol() = default;

    // A new data unit that the caller owns.
    virtual VkPDU* CreatePDU() = 0;
    // True when the exchange is complete after the pass just run.
    virtual bool IsLast() = 0;
    // The identifier sent before each request; 0: none is exchanged.
    virtual uint32_t GetId() = 0;
};

}  // namespace ipc
}  // namespace velka
