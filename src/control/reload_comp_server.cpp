#include "control/reload_comp_server.h"

#include "base/vk_exception.h"
#include "control/wire_limits.h"

namespace velka {
namespace varno {

VkReloadCompServer::VkReloadCompServer(bool (*function)(const std::list<int32_t>&))
    : m_owned(function ? std::make_unique<Handler>(function) : std::make_unique<Handler>()),
      m_handler(m_owned.get()) {}

VkReloadCompServer::VkReloadCompServer(const Handler* handler) : m_handler(handler) {}

bool VkReloadCompServer::BuildResponse(ipc::VkPDU& in, ipc::VkPDU&) {
    const int32_t count = in.GetInt32();
    if (count > kMaxReloadPids) {
        DropConnection(in);
        throw base::VkException("ReloadCompServer::BuildResponse - invalid count of pids ->" + std::to_string(count) +
                                " (at most " + std::to_string(kMaxReloadPids) + ")");
    }
    std::list<int32_t> pids;
    for (int32_t i = 0; i < count; ++i) pids.push_back(in.GetInt32());
    if (m_handler == nullptr) throw std::bad_function_call();
    return (*m_handler)(pids);
}

}  // namespace varno
}  // namespace velka
