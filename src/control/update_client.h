// VkUpdateClient: asks a monitor to run the update procedure (protocol
// 0x200C) and reads its result flag and text.
#pragma once

#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/client_protocol.h"

namespace velka {
namespace varno {

class VkUpdateClient : public VkOnePassProtocol<ipc::VkClientProtocol, 0x200C> {
public:
    VkUpdateClient(const std::string& first, const std::string& second, const std::string& third);

    bool BuildRequest(ipc::VkPDU& out) override;
    // Reads the flag and the text; the flag is the result.
    bool ParseResponse(ipc::VkPDU& in) override;
    // Copies the answer text and returns the flag.
    virtual bool GetResult(std::string& text);

private:
    std::string m_first;
    std::string m_second;
    std::string m_third;
    bool m_result = false;
    std::string m_text;
};

}  // namespace varno
}  // namespace velka
