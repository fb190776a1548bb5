// VkStartAppServer: the agent's side of the start report (0x2009): reads
// the report and hands it to its handler; nothing is answered.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/server_protocol.h"

namespace velka {
namespace varno {

struct StartAppRequest {
    std::string peer;  // the peer's address text
    std::string name;
    int32_t pid = 0;
    std::string users;
    std::string commandLine;
};

class VkStartAppServer : public VkOnePassProtocol<ipc::VkServerProtocol, 0x2009> {
public:
    typedef std::function<void(const StartAppRequest&)> Handler;

    explicit VkStartAppServer(const Handler& handler);

    bool BuildResponse(ipc::VkPDU& in, ipc::VkPDU& out) override;

private:
    Handler m_handler;
};

}  // namespace varno
}  // namespace velka
