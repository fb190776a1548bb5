// VkConfigClient: asks the configuration agent for the settings of one
// section (protocol 0x2003) and holds the name and value pairs it answers.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "control/one_pass_protocol.h"
#include "ipc/session/client_protocol.h"

namespace velka {
namespace varno {

class VkConfigClient : public VkOnePassProtocol<ipc::VkClientProtocol, 0x2003> {
public:
    typedef std::map<std::string, std::string> Values;

    // flag: request type 3 instead of 1.
    VkConfigClient(int32_t section, const std::string& clientName, int32_t pid, bool flag);

    bool BuildRequest(ipc::VkPDU& out) override;
    // Reply type 2, result code 1, at most kMaxConfigValues pairs, each name
    // and value at most kMaxConfigText bytes and the whole reply at most
    // kMaxConfigReply; anything else throws after the "in parse client
    // response: " record.
    bool ParseResponse(ipc::VkPDU& in) override;

    // The value of a setting; an unknown name or an empty value throws.
    std::string GetValue(const std::string& name) const;
    const Values& GetValues() const { return m_values; }
    // The result code of the reply (0 until one was read).
    int32_t GetResultCode() const { return m_result; }

private:
    // One name or value, refused by its length (before its bytes are read)
    // when that is above kMaxConfigText or than the bytes left of the
    // reply allow; left is reduced by what it took, count included.
    static std::string ReadText(ipc::VkPDU& in, uint32_t& left);

    int32_t m_result = 0;
    int32_t m_section;
    std::string m_clientName;
    int32_t m_pid;
    bool m_flag;
    Values m_values;
};

}  // namespace varno
}  // namespace velka
