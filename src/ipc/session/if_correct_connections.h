// IfCorrectConnections: something whose number of pooled connections can be
// set from outside.
#pragma once

#include <cstdint>

namespace velka {
namespace ipc {

class IfCorrectConnections {
public:
    virtual ~IfCorrectConnections() = default;
    virtual void CorrectConnectionsNum(uint32_t number) = 0;
};

}  // namespace ipc
}  // namespace velka
