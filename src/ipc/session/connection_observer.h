// VkConnectionObserver: an object a pool may be given (SetValue) that vets
// each new connection and hears of each connection before it is closed.
#pragma once

#include <memory>

namespace velka {
namespace ipc {

class VkIPC;

class VkConnectionObserver {
public:
    virtual ~VkConnectionObserver() = default;
    // False refuses the new connection; the pool closes it.
    virtual bool AcceptConnection(std::shared_ptr<VkIPC> connection) = 0;
    // The connection is about to be closed.
    virtual void ConnectionClosing(std::shared_ptr<VkIPC>& connection) = 0;
};

}  // namespace ipc
}  // namespace velka
