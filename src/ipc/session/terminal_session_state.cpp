// VkTerminalSessionState: nothing works on a destroyed session.
#include "ipc/session/terminal_session_state.h"

#include "base/vk_exception.h"

namespace velka {
namespace ipc {

namespace {
[[noreturn]] void destroyed() { throw base::VkSessionDestroyed("TerminalSessionState"); }
}  // namespace

void VkTerminalSessionState::Open(VkSession&, const std::string&, const ConnSettings&) { destroyed(); }
void VkTerminalSessionState::Open(VkSession&, const std::list<std::string>&, const ConnSettings&) { destroyed(); }
void VkTerminalSessionState::Close(VkSession&) { destroyed(); }
void VkTerminalSessionState::Suspend(VkSession&) { destroyed(); }
void VkTerminalSessionState::Resume(VkSession&) { destroyed(); }
void VkTerminalSessionState::Destroy(VkSession&) { destroyed(); }
bool VkTerminalSessionState::CancelThread(VkSession&, pthread_t) { destroyed(); }
std::shared_ptr<VkIPC> VkTerminalSessionState::AquireConnection(VkSession&, const base::VkDeadline&) { destroyed(); }
void VkTerminalSessionState::ReleaseConnection(VkSession&, std::shared_ptr<VkIPC>) { destroyed(); }
void VkTerminalSessionState::SetPoolValue(VkSession&, VkConnectionObserver*) { destroyed(); }
std::string VkTerminalSessionState::GetName() const { return "Terminal State"; }

}  // namespace ipc
}  // namespace velka
