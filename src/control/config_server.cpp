#include "control/config_server.h"

#include "base/vk_exception.h"
#include "control/wire_limits.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace varno {

VkConfigServer::VkConfigServer(const Handler& handler) : m_handler(handler) {}

bool VkConfigServer::BuildResponse(ipc::VkPDU& in, ipc::VkPDU& out) {
    try {
        const int32_t type = in.GetInt32();
        if (type != 1 && type != 3) {
            DropConnection(in);
            throw base::VkException("ConfigServer::invalid request type ->" + std::to_string(type));
        }
        ConfigRequest request;
        const std::shared_ptr<ipc::VkIPC> connection = in.GetConnection();
        request.descriptor = connection ? connection->GetDescriptor() : -1;
        request.section = in.GetInt32();
        request.clientName = in.GetString(kMaxTextLength);
        request.pid = in.GetInt32();
        request.flag = type == 3;
        request.peer = in.GetRemoteAddressAsString();
        const ConfigAnswer answer = m_handler(request);
        if (!out.AddInt32(2) || !out.AddInt32(answer.ok ? 1 : 2) ||
            !out.AddInt32(static_cast<int32_t>(answer.values.size())))
            throw base::VkException("ConfigServer::BuildResponse - error on header");
        for (const auto& value : answer.values)
            if (!out.AddString(value.first) || !out.AddString(value.second))
                throw base::VkException("ConfigServer::BuildResponse - error on option '" + value.first + "'");
        return true;
    } catch (const std::exception& e) {
        ipc::ipcLog(VK_LOG_ERROR, [&] { return std::string("in build response to client: ") + e.what(); });
        throw;
    }
}

}  // namespace varno
}  // namespace velka
