// VkReloadCompServer: the monitor's side of the reload-component request
// (0x2008): reads the process ids and hands them to its handler; nothing
// is answered.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "control/one_pass_protocol.h"
#include "ipc/session/server_protocol.h"

namespace velka {
namespace varno {

class VkReloadCompServer : public VkOnePassProtocol<ipc::VkServerProtocol, 0x2008> {
public:
    typedef std::function<bool(const std::list<int32_t>&)> Handler;

    // Owns a handler made from the function.
    explicit VkReloadCompServer(bool (*function)(const std::list<int32_t>&));
    // Borrows the handler, which must outlive the server.
    explicit VkReloadCompServer(const Handler* handler);

    // A count of 0 or below gives an empty list; one above kMaxReloadPids
    // is refused before any pid is read. The handler's result is the
    // result.
    bool BuildResponse(ipc::VkPDU& in, ipc::VkPDU& out) override;

private:
    std::unique_ptr<Handler> m_owned;
    const Handler* m_handler;
};

}  // namespace varno
}  // namespace velka
