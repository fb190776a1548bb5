#include "control/update_server.h"

#include "base/vk_exception.h"
#include "control/wire_limits.h"

namespace velka {
namespace varno {

VkUpdateServer::VkUpdateServer(UpdateAnswer (*function)(const UpdateRequest&))
    : m_handler(function ? std::make_unique<Handler>(function) : std::make_unique<Handler>()) {}

bool VkUpdateServer::BuildResponse(ipc::VkPDU& in, ipc::VkPDU& out) {
    UpdateRequest request;
    request.first = in.GetString(kMaxUpdateText);
    request.second = in.GetString(kMaxUpdateText);
    request.third = in.GetString(kMaxUpdateText);
    const UpdateAnswer answer = (*m_handler)(request);
    if (!out.AddInt32(answer.ok ? 1 : 0) || !out.AddString(answer.text))
        throw base::VkException("VkUpdateServer::BuildResponse error'");
    return true;
}

}  // namespace varno
}  // namespace velka
