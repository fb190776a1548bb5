// VkSessionStateTable: the five shared state objects every session points
// at, made once for the process and never destroyed.
#pragma once

#include <memory>

#include "ipc/session/session_state.h"

namespace velka {
namespace ipc {

class VkSessionStateTable {
public:
    enum Entry { kInitial = 0, kOpened, kClosed, kSuspended, kTerminal, kEntries };

    // Makes the five states in entry order.
    VkSessionStateTable();
    VkSessionStateTable(const VkSessionStateTable&) = delete;
    VkSessionStateTable& operator=(const VkSessionStateTable&) = delete;

    VkSessionState* Get(Entry entry) const { return m_states[entry].get(); }
    VkSessionState* Initial() const { return Get(kInitial); }
    VkSessionState* Opened() const { return Get(kOpened); }
    VkSessionState* Closed() const { return Get(kClosed); }
    VkSessionState* Suspended() const { return Get(kSuspended); }
    VkSessionState* Terminal() const { return Get(kTerminal); }

private:
    std::unique_ptr<VkSessionState> m_states[kEntries];
};

// The process-wide table, made on first use.
const VkSessionStateTable& States();
// The state a new session starts in.
VkSessionState* GetInitialState();

}  // namespace ipc
}  // namespace velka
