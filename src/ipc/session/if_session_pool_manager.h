// VkIfSessionPoolManager: the pool interface as sessions hold it, with the
// optional connection observer.
#pragma once

#include "ipc/session/if_pool_manager.h"

namespace velka {
namespace ipc {

class VkIfSessionPoolManager : public virtual VkIfPoolManager {
public:
    void SetValue(VkConnectionObserver* observer) override { m_observer = observer; }
    VkConnectionObserver* GetObserver() const { return m_observer; }

private:
    VkConnectionObserver* m_observer = nullptr;
};

}  // namespace ipc
}  // namespace velka
