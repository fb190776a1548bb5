// VkClientProtocol: the side of a protocol that builds the request and
// reads the answer.
#pragma once

#include "ipc/session/protocol.h"

namespace velka {
namespace ipc {

class VkClientProtocol : public VkProtocol {
public:
    ~VkClientProtocol() override = default;

    // Writes the request into the unit; false when it cannot be built.
    virtual bool BuildRequest(VkPDU& request) = 0;
    // Reads the answer through the unit; false when it is not acceptable.
    virtual bool ParseResponse(VkPDU& answer) = 0;
};

}  // namespace ipc
}  // namespace velka
