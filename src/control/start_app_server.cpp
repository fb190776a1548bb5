#include "control/start_app_server.h"

#include "control/wire_limits.h"

namespace velka {
namespace varno {

VkStartAppServer::VkStartAppServer(const Handler& handler) : m_handler(handler) {}

bool VkStartAppServer::BuildResponse(ipc::VkPDU& in, ipc::VkPDU&) {
    StartAppRequest request;
    request.name = in.GetString(kMaxTextLength);
    request.pid = in.GetInt32();
    request.users = in.GetString(kMaxTextLength);
    request.commandLine = in.GetString(kMaxTextLength);
    request.peer = in.GetRemoteAddressAsString();
    m_handler(request);
    return true;
}

}  // namespace varno
}  // namespace velka
