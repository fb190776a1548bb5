#include "control/wire_limits.h"

#include "base/vk_exception.h"
#include "ipc/transport/ddp_unit.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace varno {

int32_t ReadCount(ipc::VkPDU& in, int32_t max, const std::string& place) {
    const int32_t count = in.GetInt32();
    if (count < 0 || count > max) {
        DropConnection(in);
        throw base::VkException(place + " - invalid count of values ->" + std::to_string(count) + " (0 to " +
                                std::to_string(max) + " expected)");
    }
    return count;
}

void DropConnection(ipc::VkPDU& unit) {
    const std::shared_ptr<ipc::VkIPC> connection = unit.GetConnection();
    if (connection) connection->SetConnected(false);
}

}  // namespace varno
}  // namespace velka
