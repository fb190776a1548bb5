// VkSessionState: what a state does where its own table cell says nothing.
#include "ipc/session/session_state.h"

#include "base/vk_exception.h"
#include "ipc/session/if_pool_manager.h"
#include "ipc/session/session.h"

namespace velka {
namespace ipc {

void VkSessionState::Open(VkSession& session, const std::string& address, const ConnSettings& settings) {
    Open(session, std::list<std::string>{address}, settings);
}

void VkSessionState::Open(VkSession&, const std::list<std::string>&, const ConnSettings&) {}
void VkSessionState::Close(VkSession&) {}
void VkSessionState::Suspend(VkSession&) {}
void VkSessionState::Resume(VkSession&) {}
void VkSessionState::Destroy(VkSession&) {}
bool VkSessionState::CancelThread(VkSession&, pthread_t) { return false; }

std::shared_ptr<VkIPC> VkSessionState::AquireConnection(VkSession&, const base::VkDeadline&) {
    throw base::VkException(GetName() + ": A session state doesn't allows to aquire connections");
}

void VkSessionState::ReleaseConnection(VkSession&, std::shared_ptr<VkIPC>) {
    throw base::VkException(GetName() + ": A session state doesn't allows to release connections");
}

void VkSessionState::SetPoolValue(VkSession& session, VkConnectionObserver* observer) {
    session.GetPoolManager().SetValue(observer);
}

std::string VkSessionState::GetName() const { return "Abstract Base State"; }

}  // namespace ipc
}  // namespace velka
