// VkReloadCompClient: asks a monitor to reload the components with the
// given process ids (protocol 0x2008); the request has no answer.
#pragma once

#include <cstdint>
#include <list>

#include "control/one_pass_protocol.h"
#include "ipc/session/client_protocol.h"

namespace velka {
namespace varno {

class VkReloadCompClient : public VkOnePassProtocol<ipc::VkClientProtocol, 0x2008> {
public:
    // Order and duplicates are kept.
    explicit VkReloadCompClient(const std::list<int32_t>& pids);

    bool BuildRequest(ipc::VkPDU& out) override;
    bool ParseResponse(ipc::VkPDU& in) override;
    // True once the request was sent (there is no answer to read).
    virtual bool GetResult();

private:
    std::list<int32_t> m_pids;
    bool m_result = false;
};

}  // namespace varno
}  // namespace velka
