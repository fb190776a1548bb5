#include "control/update_client.h"

#include "control/wire_limits.h"

namespace velka {
namespace varno {

VkUpdateClient::VkUpdateClient(const std::string& first, const std::string& second, const std::string& third)
    : m_first(first), m_second(second), m_third(third) {}

bool VkUpdateClient::BuildRequest(ipc::VkPDU& out) {
    return out.AddString(m_first) && out.AddString(m_second) && out.AddString(m_third);
}

bool VkUpdateClient::ParseResponse(ipc::VkPDU& in) {
    m_result = in.GetInt32() != 0;
    m_text = in.GetString(kMaxTextLength);
    return m_result;
}

bool VkUpdateClient::GetResult(std::string& text) {
    text = m_text;
    return m_result;
}

}  // namespace varno
}  // namespace velka
