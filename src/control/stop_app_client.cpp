#include "control/stop_app_client.h"

namespace velka {
namespace varno {

VkStopAppClient::VkStopAppClient(const std::string& name, int32_t pid) : m_name(name), m_pid(pid) {}

bool VkStopAppClient::BuildRequest(ipc::VkPDU& out) { return out.AddString(m_name) && out.AddInt32(m_pid); }

bool VkStopAppClient::ParseResponse(ipc::VkPDU&) { return true; }

}  // namespace varno
}  // namespace velka
