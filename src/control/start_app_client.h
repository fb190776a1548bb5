// VkStartAppClient: reports to the agent that an application has started
// (protocol 0x2009); the report has no answer.
#pragma once

#include <cstdint>
#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/client_protocol.h"

namespace velka {
namespace varno {

class VkStartAppClient : public VkOnePassProtocol<ipc::VkClientProtocol, 0x2009> {
public:
    // users: "user:group" of every component, sorted, joined with ",";
    // commandLine: the component's arguments when there is exactly one.
    VkStartAppClient(const std::string& name, int32_t pid, const std::string& users, const std::string& commandLine);

    bool BuildRequest(ipc::VkPDU& out) override;
    bool ParseResponse(ipc::VkPDU& in) override;

private:
    std::string m_name;
    std::string m_users;
    std::string m_commandLine;
    int32_t m_pid;
};

}  // namespace varno
}  // namespace velka
