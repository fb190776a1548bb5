// VkUpdateServer: the monitor's side of the update request (0x200C): reads
// the three texts, hands them to its handler and writes its flag and text.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/server_protocol.h"

namespace velka {
namespace varno {

struct UpdateRequest {
    std::string first;   // cache directory
    std::string second;
    std::string third;   // product
};

struct UpdateAnswer {
    bool ok = false;
    std::string text;
};

class VkUpdateServer : public VkOnePassProtocol<ipc::VkServerProtocol, 0x200C> {
public:
    typedef std::function<UpdateAnswer(const UpdateRequest&)> Handler;

    // Owns a handler made from the function.
    explicit VkUpdateServer(UpdateAnswer (*function)(const UpdateRequest&));

    // Each text holds at most kMaxUpdateText bytes; a longer one is refused
    // before its bytes are read.
    bool BuildResponse(ipc::VkPDU& in, ipc::VkPDU& out) override;

private:
    std::unique_ptr<Handler> m_handler;
};

}  // namespace varno
}  // namespace velka
