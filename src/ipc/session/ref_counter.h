// RefCounter: a count of activities in progress (a session's Execute calls,
// a pool's handed-out connections) that callers can wait on and cancel.
#pragma once

#include <cstdint>
#include <mutex>

#include <condition_variable>

namespace velka {
namespace base {
class VkDeadline;
}

namespace ipc {

class RefCounter {
public:
    RefCounter() = default;
    RefCounter(const RefCounter&) = delete;
    RefCounter& operator=(const RefCounter&) = delete;

    // Counts one more activity. Throws VkThreadCanceled ("RefCounter")
    // while the counter is canceled. A non-zero limit first waits until the
    // count is below it (canceling ends the wait).
    void Increase(uint32_t limit = 0);
    // Counts one activity out (never below 0) and wakes every waiter.
    void Decrease();
    // Count 0, not canceled.
    void Reset();
    // Sets the canceled flag to cancel, then waits until the count equals
    // target or the deadline passes (an infinite deadline waits without
    // limit). False when the deadline passed first.
    bool WaitFor(uint32_t target, const base::VkDeadline& deadline, bool cancel);

    uint32_t Count() const;
    bool IsCanceled() const;

private:
    std::condition_variable m_changed;
    mutable std::mutex m_mutex;
    uint32_t m_count = 0;
    bool m_canceled = false;
};

}  // namespace ipc
}  // namespace velka
