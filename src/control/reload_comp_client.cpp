#include "control/reload_comp_client.h"

namespace velka {
namespace varno {

VkReloadCompClient::VkReloadCompClient(const std::list<int32_t>& pids) : m_pids(pids) {}

bool VkReloadCompClient::BuildRequest(ipc::VkPDU& out) {
    if (!out.AddInt32(static_cast<int32_t>(m_pids.size()))) return false;
    for (int32_t pid : m_pids)
        if (!out.AddInt32(pid)) return false;
    return true;
}

bool VkReloadCompClient::ParseResponse(ipc::VkPDU&) {
    m_result = true;
    return true;
}

bool VkReloadCompClient::GetResult() { return m_result; }

}  // namespace varno
}  // namespace velka
