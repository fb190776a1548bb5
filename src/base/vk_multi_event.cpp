// VkMultiEvent: set, broadcast, timed waits and the release of waiters on
// destruction.
#include "base/vk_multi_event.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>

#include "base/app_log.h"
#include "base/vk_exception.h"

namespace velka {
namespace base {

const std::any kEventEmptyArg;
const VkEvent kPoolEventNone(0u, std::any(0));
const VkEvent kPoolEventDestroy(1u, std::any(0));

namespace {

// A serial number per thread that is never handed out twice, so that a new
// thread never inherits the "already taken" mark of an ended one.
uint64_t threadSerial() {
    static std::atomic<uint64_t> next{1};
    thread_local const uint64_t serial = next++;
    return serial;
}

std::string hex(unsigned code) {
    std::ostringstream text;
    text << std::hex << code;
    return text.str();
}

void debug(const std::string& text) {
    LogClass& logger = getIpcLogger();
    if (logger.isDebugEnabled()) logger.log(VK_LOG_DEBUG, text);
}

// The deadline as a point of the system clock, its nanoseconds rounded to
// the nearest microsecond. Seconds are kept in a range the clock can hold.
std::chrono::system_clock::time_point toSystemTime(const VkDeadline& deadline) {
    const VkTimeValue* value = deadline.value();
    const int64_t kMaxSeconds = int64_t(1) << 33;  // far beyond any four-hour limit
    int64_t seconds = value->tv_sec;
    if (seconds < 0) seconds = 0;
    if (seconds > kMaxSeconds) seconds = kMaxSeconds;
    const int64_t micros = (int64_t(value->tv_nsec) + 500) / 1000;
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::seconds(seconds) +
                                                                        std::chrono::microseconds(micros)));
}

}  // namespace

VkMultiEvent::VkMultiEvent(const char* name) : VkMultiEvent(std::string(name ? name : "")) {}

VkMultiEvent::VkMultiEvent(const std::string& name)
    : m_current(kPoolEventNone),
      m_name(name),
      m_broadcast(kPoolEventNone),
      m_debugChecks(std::getenv("VK_DEBUG") != nullptr) {
    debug("the '" + m_name + "' event has been created");
}

VkMultiEvent::~VkMultiEvent() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_waiters != 0) {
        debug("the '" + m_name + "' event was deleting (waiters=" + std::to_string(m_waiters) + ")...");
        m_stop = true;
        m_current = kPoolEventDestroy;
        m_changed.notify_all();
        // Each waiter takes itself off the count under the mutex before it
        // returns; once the count is 0 no thread touches the object again.
        m_left.wait(lock, [this] { return m_waiters == 0; });
    }
    debug("the '" + m_name + "' event has been deleted");
}

void VkMultiEvent::set(const Event& event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current = event;
        // Waiters select different codes: wake them all so that one that
        // wants this event sees it; only the first taker gets it.
        m_changed.notify_all();
    }
    debug("the '" + m_name + "' event has been set with value = 0x" + hex(event.first));
}

void VkMultiEvent::broadcast(const Event& event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_broadcast = event;
        m_takers.clear();
        m_changed.notify_all();
    }
    debug("the '" + m_name + "' event has been broadcasted with value = 0x" + hex(event.first));
}

VkMultiEvent::Event VkMultiEvent::timedWait(const std::set<unsigned>* codes, const VkDeadline& deadline) {
    return doTimedWait(codes, deadline);
}

VkMultiEvent::Event VkMultiEvent::timedWait(const VkDeadline& deadline) { return doTimedWait(nullptr, deadline); }

bool VkMultiEvent::eligible(const Event& event, const std::set<unsigned>* codes) const {
    return event.first != 0 && (codes == nullptr || codes->count(event.first) != 0);
}

VkMultiEvent::Event VkMultiEvent::doTimedWait(const std::set<unsigned>* codes, const VkDeadline& deadline) {
    const VkTime start;
    const uint64_t self = threadSerial();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stop) return kPoolEventDestroy;

    const bool limited = !deadline.isInfinite();
    const auto until = limited ? toSystemTime(deadline) : std::chrono::system_clock::time_point();
    bool timedOut = false;
    for (;;) {
        const bool broadcastReady = eligible(m_broadcast, codes) && m_takers.count(self) == 0;
        if (m_stop || timedOut || broadcastReady || eligible(m_current, codes)) break;
        ++m_waiters;
        if (limited)
            timedOut = m_changed.wait_until(lock, until) == std::cv_status::timeout;
        else
            m_changed.wait(lock);
        --m_waiters;
        if (m_stop) {
            if (m_debugChecks)
                debug("the '" + m_name + "' event: a waiter woke while the event is being deleted");
            if (m_waiters == 0) m_left.notify_all();
            // The destructor may run to its end as soon as the mutex is
            // released: nothing of the object is touched after this.
            return kPoolEventDestroy;
        }
    }

    if (timedOut) {
        debug("the '" + m_name + "' event has been timed out (wait for = " + (deadline - start).toString() + ")");
        throw VkTimedOut("the '" + m_name + "' event", deadline);
    }
    if (eligible(m_broadcast, codes) && m_takers.count(self) == 0) {
        m_takers.insert(self);
        debug("the broadcast'" + m_name + "' event has been received with value=0x" + hex(m_broadcast.first));
        return m_broadcast;
    }
    Event taken(m_current.first, m_current.second);
    m_current.first = 0;
    debug("the '" + m_name + "' event has been received with value=0x" + hex(taken.first));
    return taken;
}

}  // namespace base
}  // namespace velka
