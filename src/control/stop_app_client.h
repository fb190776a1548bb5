// VkStopAppClient: reports to the agent that an application has stopped
// (protocol 0x200A); the report has no answer.
#pragma once

#include <cstdint>
#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/client_protocol.h"

namespace velka {
namespace varno {

class VkStopAppClient : public VkOnePassProtocol<ipc::VkClientProtocol, 0x200A> {
public:
    VkStopAppClient(const std::string& name, int32_t pid);

    bool BuildRequest(ipc::VkPDU& out) override;
    bool ParseResponse(ipc::VkPDU& in) override;

private:
    std::string m_name;
    int32_t m_pid;
};

}  // namespace varno
}  // namespace velka
