// VkConfigStoreClient: hands name and value pairs of one section to the
// configuration agent (protocol 0x200E) and checks its success code.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/client_protocol.h"

namespace velka {
namespace varno {

class VkConfigStoreClient : public VkOnePassProtocol<ipc::VkClientProtocol, 0x200E> {
public:
    typedef std::map<std::string, std::string> Values;

    // pid 0: the calling process's id.
    VkConfigStoreClient(int32_t section, const std::string& clientName, int32_t pid);
    VkConfigStoreClient(int32_t section, const std::string& clientName, int32_t pid, const Values& values);

    bool BuildRequest(ipc::VkPDU& out) override;
    // Reply type 2 and result code 1, else it throws after the "in parse
    // client response: " record.
    bool ParseResponse(ipc::VkPDU& in) override;

    int32_t GetResultCode() const { return m_result; }

private:
    int32_t m_result = 0;
    int32_t m_section;
    std::string m_clientName;
    int32_t m_pid;
    Values m_values;
};

}  // namespace varno
}  // namespace velka
