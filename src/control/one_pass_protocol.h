// VkOnePassProtocol: what every configuration, report and control protocol
// of the suite shares: a new data unit per direction, one request and one
// answer per exchange, and a fixed protocol identifier.
#pragma once

#include <cstdint>

#include "ipc/transport/ddp_unit.h"

namespace velka {
namespace varno {

template <typename Side, uint32_t Id>
class VkOnePassProtocol : public Side {
public:
    static constexpr uint32_t kId = Id;

    ipc::VkPDU* CreatePDU() override { return new ipc::VkDdpUnit; }
    bool IsLast() override { return true; }
    uint32_t GetId() override { return Id; }
};

}  // namespace varno
}  // namespace velka
