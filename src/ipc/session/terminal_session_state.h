// VkTerminalSessionState: a destroyed session; every operation throws
// VkSessionDestroyed.
#pragma once

#include "ipc/session/session_state.h"

namespace velka {
namespace ipc {

class VkTerminalSessionState : public VkSessionState {
public:
    std::unique_ptr<VkSessionState> Clone() const override {
        return std::unique_ptr<VkSessionState>(new VkTerminalSessionState(*this));
    }
    void Open(VkSession& session, const std::string& address, const ConnSettings& settings) override;
    void Open(VkSession& session, const std::list<std::string>& addresses, const ConnSettings& settings) override;
    void Close(VkSession& session) override;
    void Suspend(VkSession& session) override;
    void Resume(VkSession& session) override;
    void Destroy(VkSession& session) override;
    bool CancelThread(VkSession& session, pthread_t thread) override;
    std::shared_ptr<VkIPC> AquireConnection(VkSession& session, const base::VkDeadline& deadline) override;
    void ReleaseConnection(VkSession& session, std::shared_ptr<VkIPC> connection) override;
    void SetPoolValue(VkSession& session, VkConnectionObserver* observer) override;
    std::string GetName() const override;
};

}  // namespace ipc
}  // namespace velka
