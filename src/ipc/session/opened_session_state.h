// VkOpenedSessionState: an open session: connections are taken from and
// given back to the pool; Open again re-initialises the pool in place.
#pragma once

#include "ipc/session/session_state.h"

namespace velka {
namespace ipc {

class VkOpenedSessionState : public VkSessionState {
public:
    std::unique_ptr<VkSessionState> Clone() const override {
        return std::unique_ptr<VkSessionState>(new VkOpenedSessionState(*this));
    }
    using VkSessionState::Open;
    void Open(VkSession& session, const std::list<std::string>& addresses, const ConnSettings& settings) override;
    void Close(VkSession& session) override;
    void Suspend(VkSession& session) override;
    void Destroy(VkSession& session) override;
    bool CancelThread(VkSession& session, pthread_t thread) override;
    std::shared_ptr<VkIPC> AquireConnection(VkSession& session, const base::VkDeadline& deadline) override;
    void ReleaseConnection(VkSession& session, std::shared_ptr<VkIPC> connection) override;
    std::string GetName() const override;
};

}  // namespace ipc
}  // namespace velka
