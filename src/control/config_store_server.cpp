#include "control/config_store_server.h"

#include "base/vk_exception.h"
#include "control/wire_limits.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace varno {

VkConfigStoreServer::VkConfigStoreServer(const Handler& handler) : m_handler(handler) {}

bool VkConfigStoreServer::BuildResponse(ipc::VkPDU& in, ipc::VkPDU& out) {
    try {
        ConfigStoreRequest request;
        const std::shared_ptr<ipc::VkIPC> connection = in.GetConnection();
        request.descriptor = connection ? connection->GetDescriptor() : -1;
        request.section = in.GetInt32();
        request.clientName = in.GetString(kMaxTextLength);
        request.pid = in.GetInt32();
        const int32_t count = ReadCount(in, kMaxConfigValues, "ConfigStoreServer::BuildResponse");
        request.peer = in.GetRemoteAddressAsString();
        for (int32_t i = 0; i < count; ++i) {
            std::string name = in.GetString(kMaxTextLength);
            request.values[name] = in.GetString(kMaxTextLength);
        }
        const bool stored = m_handler(request);
        if (!out.AddInt32(2) || !out.AddInt32(stored ? 1 : 2))
            throw base::VkException("ConfigServer::BuildResponse - error on header");
        return true;
    } catch (const std::exception& e) {
        ipc::ipcLog(VK_LOG_ERROR, [&] { return std::string("in build response to client: ") + e.what(); });
        throw;
    }
}

}  // namespace varno
}  // namespace velka
