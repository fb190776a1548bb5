#include "control/stop_app_server.h"

#include "control/wire_limits.h"

namespace velka {
namespace varno {

VkStopAppServer::VkStopAppServer(const Handler& handler) : m_handler(handler) {}

bool VkStopAppServer::BuildResponse(ipc::VkPDU& in, ipc::VkPDU&) {
    StopAppRequest request;
    request.name = in.GetString(kMaxTextLength);
    request.pid = in.GetInt32();
    request.peer = in.GetRemoteAddressAsString();
    m_handler(request);
    return true;
}

}  // namespace varno
}  // namespace velka
