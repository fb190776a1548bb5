// VkMultiEvent: a named meeting point where threads post coded events
// (one taker per set, every thread once per broadcast) and wait for them.
#pragma once

#include <any>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "base/vk_time.h"

namespace velka {
namespace base {

// An event: a code and a value. Code 0 means no event, code 1 is the
// destroy event; every other code belongs to the users.
typedef std::pair<unsigned int, std::any> VkEvent;

extern const std::any kEventEmptyArg;
extern const VkEvent kPoolEventNone;     // (0, int 0)
extern const VkEvent kPoolEventDestroy;  // (1, int 0)

class VkMultiEvent {
public:
    typedef VkEvent Event;

    explicit VkMultiEvent(const char* name);
    explicit VkMultiEvent(const std::string& name);
    // Releases every waiting thread with kPoolEventDestroy and returns only
    // after all of them have let go of the object.
    ~VkMultiEvent();
    VkMultiEvent(const VkMultiEvent&) = delete;
    VkMultiEvent& operator=(const VkMultiEvent&) = delete;

    // Posts an event for exactly one taker; an event not yet taken is
    // overwritten.
    void set(const Event& event);
    // Posts an event that every thread takes once.
    void broadcast(const Event& event);

    // Waits for an event whose code is in codes (null: any code) until the
    // deadline; throws VkTimedOut when the deadline passes first. An
    // eligible event already there is returned at once, whatever the
    // deadline.
    Event timedWait(const std::set<unsigned>* codes, const VkDeadline& deadline);
    Event timedWait(const VkDeadline& deadline);
    Event doTimedWait(const std::set<unsigned>* codes, const VkDeadline& deadline);

private:
    bool eligible(const Event& event, const std::set<unsigned>* codes) const;

    Event m_current;
    unsigned m_waiters = 0;  // threads blocked in a wait right now
    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Signalled when the last waiter has left during destruction.
    std::condition_variable m_left;
    bool m_stop = false;  // destruction has begun
    const std::string m_name;
    Event m_broadcast;
    // Threads that have taken the current broadcast event, by a serial
    // number that is never reused (unlike a thread id).
    std::set<uint64_t> m_takers;
    const bool m_debugChecks;  // VK_DEBUG was set at construction
};

}  // namespace base
}  // namespace velka
