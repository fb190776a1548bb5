// VkStopAppServer: the agent's side of the stop report (0x200A): reads the
// report and hands it to its handler; nothing is answered.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/server_protocol.h"

namespace velka {
namespace varno {

struct StopAppRequest {
    std::string peer;  // the peer's address text
    std::string name;
    int32_t pid = 0;
};

class VkStopAppServer : public VkOnePassProtocol<ipc::VkServerProtocol, 0x200A> {
public:
    typedef std::function<void(const StopAppRequest&)> Handler;

    explicit VkStopAppServer(const Handler& handler);

    bool BuildResponse(ipc::VkPDU& in, ipc::VkPDU& out) override;

private:
    Handler m_handler;
};

}  // namespace varno
}  // namespace velka
