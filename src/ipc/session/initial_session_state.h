// VkInitialSessionState: a session that was never opened: Open initialises the
// pool and starts its maintain thread; connections cannot be taken yet.
#pragma once

#include "ipc/session/session_state.h"

namespace velka {
namespace ipc {

class VkInitialSessionState : public VkSessionState {
public:
    std::unique_ptr<VkSessionState> Clone() const override {
        return std::unique_ptr<VkSessionState>(new VkInitialSessionState(*this));
    }
    using VkSessionState::Open;
    void Open(VkSession& session, const std::list<std::string>& addresses, const ConnSettings& settings) override;
    void Destroy(VkSession& session) override;
    std::string GetName() const override;
};

}  // namespace ipc
}  // namespace velka
