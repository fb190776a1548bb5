#include "control/start_app_client.h"

namespace velka {
namespace varno {

VkStartAppClient::VkStartAppClient(const std::string& name, int32_t pid, const std::string& users,
                                   const std::string& commandLine)
    : m_name(name), m_users(users), m_commandLine(commandLine), m_pid(pid) {}

bool VkStartAppClient::BuildRequest(ipc::VkPDU& out) {
    return out.AddString(m_name) && out.AddInt32(m_pid) && out.AddString(m_users) && out.AddString(m_commandLine);
}

bool VkStartAppClient::ParseResponse(ipc::VkPDU&) { return true; }

}  // namespace varno
}  // namespace velka
