// VkClosedSessionState: a closed session: callers are told so, connections
// that come back are closed, and Open works as on a new session.
#pragma once

#include "ipc/session/session_state.h"

namespace velka {
namespace ipc {

class VkClosedSessionState : public VkSessionState {
public:
    std::unique_ptr<VkSessionState> Clone() const override {
        return std::unique_ptr<VkSessionState>(new VkClosedSessionState(*this));
    }
    using VkSessionState::Open;
    void Open(VkSession& session, const std::list<std::string>& addresses, const ConnSettings& settings) override;
    void Destroy(VkSession& session) override;
    std::shared_ptr<VkIPC> AquireConnection(VkSession& session, const base::VkDeadline& deadline) override;
    void ReleaseConnection(VkSession& session, std::shared_ptr<VkIPC> connection) override;
    std::string GetName() const override;
};

}  // namespace ipc
}  // namespace velka
