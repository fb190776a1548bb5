// VkConfigStoreServer: the agent's side of the configuration-store protocol
// (0x200E): reads the pairs of one section, hands them to its handler and
// answers whether they were stored.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/server_protocol.h"

namespace velka {
namespace varno {

struct ConfigStoreRequest {
    int32_t descriptor = -1;  // of the connection the request came on
    int32_t section = 0;
    std::string clientName;
    int32_t pid = 0;
    std::string peer;  // the peer's address text
    std::map<std::string, std::string> values;
};

class VkConfigStoreServer : public VkOnePassProtocol<ipc::VkServerProtocol, 0x200E> {
public:
    // True: stored.
    typedef std::function<bool(const ConfigStoreRequest&)> Handler;

    explicit VkConfigStoreServer(const Handler& handler);

    // At most kMaxConfigValues pairs; a later duplicate name replaces the
    // earlier value. Failures throw after the "in build response to
    // client: " record.
    bool BuildResponse(ipc::VkPDU& in, ipc::VkPDU& out) override;

private:
    Handler m_handler;
};

}  // namespace varno
}  // namespace velka
