// VkSessionStateTable: the shared state objects.
#include "ipc/session/session_state_table.h"

#include "ipc/session/closed_session_state.h"
#include "ipc/session/initial_session_state.h"
#include "ipc/session/opened_session_state.h"
#include "ipc/session/suspended_session_state.h"
#include "ipc/session/terminal_session_state.h"
#include "ipc/transport/singleton.h"

namespace velka {
namespace ipc {

VkSessionStateTable::VkSessionStateTable()
    : m_states{std::make_unique<VkInitialSessionState>(), std::make_unique<VkOpenedSessionState>(),
               std::make_unique<VkClosedSessionState>(), std::make_unique<VkSuspendedSessionState>(),
               std::make_unique<VkTerminalSessionState>()} {}

const VkSessionStateTable& States() { return *patterns::VkSingleton<VkSessionStateTable>::Instance(); }

VkSessionState* GetInitialState() { return States().Initial(); }

}  // namespace ipc
}  // namespace velka
