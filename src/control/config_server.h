// VkConfigServer: the agent's side of the configuration protocol (0x2003):
// reads a section request, hands it to its handler and writes the pairs
// the handler answers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/server_protocol.h"

namespace velka {
namespace varno {

struct ConfigRequest {
    int32_t descriptor = -1;  // of the connection the request came on
    int32_t section = 0;
    std::string clientName;
    int32_t pid = 0;
    bool flag = false;  // request type 3
    std::string peer;   // the peer's address text
};

struct ConfigAnswer {
    bool ok = false;
    std::map<std::string, std::string> values;
};

class VkConfigServer : public VkOnePassProtocol<ipc::VkServerProtocol, 0x2003> {
public:
    typedef std::function<ConfigAnswer(const ConfigRequest&)> Handler;

    explicit VkConfigServer(const Handler& handler);

    // Every failure (request type other than 1 or 3, an empty handler, the
    // handler's exception, a failed write) throws after the "in build
    // response to client: " record.
    bool BuildResponse(ipc::VkPDU& in, ipc::VkPDU& out) override;

private:
    Handler m_handler;
};

}  // namespace varno
}  // namespace velka
