#include "control/config_store_client.h"

#include <unistd.h>

#include "base/vk_exception.h"
#include "control/wire_limits.h"
#include "ipc/transport/ipc_log.h"

namespace velka {
namespace varno {

VkConfigStoreClient::VkConfigStoreClient(int32_t section, const std::string& clientName, int32_t pid)
    : VkConfigStoreClient(section, clientName, pid, Values()) {}

VkConfigStoreClient::VkConfigStoreClient(int32_t section, const std::string& clientName, int32_t pid,
                                         const Values& values)
    : m_section(section), m_clientName(clientName), m_pid(pid != 0 ? pid : ::getpid()), m_values(values) {}

bool VkConfigStoreClient::BuildRequest(ipc::VkPDU& out) {
    if (!out.AddInt32(m_section) || !out.AddString(m_clientName) || !out.AddInt32(m_pid) ||
        !out.AddInt32(static_cast<int32_t>(m_values.size())))
        return false;
    for (const auto& value : m_values)
        if (!out.AddString(value.first) || !out.AddString(value.second)) return false;
    return true;
}

bool VkConfigStoreClient::ParseResponse(ipc::VkPDU& in) {
    try {
        const int32_t type = in.GetInt32();
        if (type != 2) throw base::VkException("ConfigStoreClient::invalid response type ->" + std::to_string(type));
        m_result = in.GetInt32();
        if (m_result != 1) throw base::VkException("ConfigStoreClient::ParseResponse - invalid response code");
        return true;
    } catch (const std::exception& e) {
        DropConnection(in);
        ipc::ipcLog(VK_LOG_ERROR, [&] { return std::string("in parse client response: ") + e.what(); });
        throw;
    }
}

}  // namespace varno
}  // namespace velka
