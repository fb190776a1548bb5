// VkServerProtocol: the side of a protocol that reads the request, does
// the work and builds the answer.
#pragma once

#include "ipc/session/protocol.h"

namespace velka {
namespace ipc {

class VkServerProtocol : public VkProtocol {
public:
    ~VkServerProtocol() override = default;

    // Reads the request through the first unit and writes the answer into
    // the second; false when the request cannot be served.
    virtual bool BuildResponse(VkPDU& request, VkPDU& answer) = 0;
};

}  // namespace ipc
}  // namespace velka
