// VkIfMaintainedPool: what a maintain thread runs, the pool's maintain loop.
#pragma once

namespace velka {
namespace ipc {

class VkIfMaintainedPool {
public:
    // Runs until it throws VkThreadCanceled (the normal stop) or returns
    // because the control pipe failed.
    virtual void Maintain() = 0;
    virtual ~VkIfMaintainedPool() = default;
};

}  // namespace ipc
}  // namespace velka
