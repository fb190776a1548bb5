#include "control/config_client.h"

#include "base/vk_exception.h"
#include "control/wire_limits.h"
#include "ipc/transport/ipc_log.h"

namespace velka {
namespace varno {

VkConfigClient::VkConfigClient(int32_t section, const std::string& clientName, int32_t pid, bool flag)
    : m_section(section), m_clientName(clientName), m_pid(pid), m_flag(flag) {}

bool VkConfigClient::BuildRequest(ipc::VkPDU& out) {
    return out.AddInt32(m_flag ? 3 : 1) && out.AddInt32(m_section) && out.AddString(m_clientName) &&
           out.AddInt32(m_pid);
}

std::string VkConfigClient::ReadText(ipc::VkPDU& in, uint32_t& left) {
    const std::string tooLong =
        "ConfigClient::ParseResponse - the reply exceeds " + std::to_string(kMaxConfigReply) + " bytes";
    if (left < 4) throw base::VkException(tooLong);
    const int32_t length = in.GetInt32();
    if (length < 0 || static_cast<uint32_t>(length) > kMaxConfigText)
        throw base::VkException("ConfigClient::ParseResponse - invalid length of a name or value ->" +
                                std::to_string(length) + " (0 to " + std::to_string(kMaxConfigText) + " expected)");
    if (static_cast<uint32_t>(length) > left - 4) throw base::VkException(tooLong);
    left -= 4 + static_cast<uint32_t>(length);
    std::string text(static_cast<size_t>(length), '\0');
    if (length > 0) in.GetBuffer(&text[0], static_cast<uint32_t>(length));
    return text;
}

bool VkConfigClient::ParseResponse(ipc::VkPDU& in) {
    try {
        const int32_t type = in.GetInt32();
        if (type != 2) throw base::VkException("ConfigClient::invalid response type ->" + std::to_string(type));
        m_result = in.GetInt32();
        if (m_result != 1) throw base::VkException("ConfigClient::ParseResponse - invalid response code");
        const int32_t count = ReadCount(in, kMaxConfigValues, "ConfigClient::ParseResponse");
        // The reply is counted as it is read, so that no text is taken in
        // once the whole would pass its bound: type, code and count first.
        uint32_t left = kMaxConfigReply - 12;
        for (int32_t i = 0; i < count; ++i) {
            std::string name = ReadText(in, left);
            m_values[name] = ReadText(in, left);
        }
        return true;
    } catch (const std::exception& e) {
        // Whatever is left of the reply stays unread.
        DropConnection(in);
        ipc::ipcLog(VK_LOG_ERROR, [&] { return std::string("in parse client response: ") + e.what(); });
        throw;
    }
}

std::string VkConfigClient::GetValue(const std::string& name) const {
    const auto found = m_values.find(name);
    if (found == m_values.end()) {
        ipc::ipcLog(VK_LOG_ERROR, [&] { return "ConfigClient::GetValue(" + name + ") - unknown parameter"; });
        throw base::VkException("ConfigClient::GetValue(" + name + ") error - unknown parameter");
    }
    if (found->second.empty()) {
        ipc::ipcLog(VK_LOG_ERROR, [&] { return "ConfigClient::GetValue(" + name + ") - undefined value"; });
        throw base::VkException("ConfigClient::GetValue(" + name + ") error - value doesn't defined");
    }
    return found->second;
}

}  // namespace varno
}  // namespace velka
