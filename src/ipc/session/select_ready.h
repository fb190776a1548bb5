// SelectReady: one poll() over a wait list, reporting its first ready entry.
#pragma once

#include <cstddef>

#include "base/vk_time.h"
#include "ipc/session/event_list.h"

namespace velka {
namespace ipc {

// The result of SelectReady when the timeout expired.
constexpr size_t kSelectTimedOut = static_cast<size_t>(-1);

// Waits up to timeout (positive infinity: without limit) until an entry of
// the list is ready and returns the lowest ready index, with that entry's
// revents filled in; kSelectTimedOut when the time ran out. An empty list
// throws VkParameterError, a failed poll VkSystemError.
size_t SelectReady(VkEventList& theList, const base::timeout_duration_t& timeout);

}  // namespace ipc
}  // namespace velka
