// RefCounter: a count of activities in progress that callers can wait on
// and cancel.
#include "ipc/session/ref_counter.h"


#include "base/vk_exception.h"
#include "base/vk_time.h"

namespace velka {
namespace ipc {

void RefCounter::Increase(uint32_t limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_canceled) throw base::VkThreadCanceled("RefCounter");
    while (limit != 0 && m_count >= limit) {
        m_changed.wait(lock);
        if (m_canceled) throw base::VkThreadCanceled("RefCounter");
    }
    ++m_count;
}

void RefCounter::Decrease() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_count != 0) --m_count;
    m_changed.notify_all();
}

void RefCounter::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_count = 0;
    m_canceled = false;
    m_changed.notify_all();
}

bool RefCounter::WaitFor(uint32_t target, const base::VkDeadline& deadline, bool cancel) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_canceled != cancel) {
        m_canceled = cancel;
        m_changed.notify_all();  // a limited Increase re-checks the flag
    }
    while (m_count != target) {
        if (deadline.isInfinite()) {
            m_changed.wait(lock);
            continue;
        }
        const base::VkTimeout left = deadline.remaining();
        if (left.AsUnit(base::VkTimeout::Milliseconds) == 0) return false;
        m_changed.wait_for(lock, std::chrono::milliseconds(left.AsUnit(base::VkTimeout::Milliseconds)));
    }
    return true;
}

uint32_t RefCounter::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

bool RefCounter::IsCanceled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_canceled;
}

}  // namespace ipc
}  // namespace velka
