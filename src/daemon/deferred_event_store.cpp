#include "daemon/deferred_event_store.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "base/app_log.h"

namespace {

bool laterDue(const DeferredEvent& a, const DeferredEvent& b) { return a.dueMs > b.dueMs; }

}  // namespace

void DeferredEventStore::setRecoveryTimes(const std::vector<int>& seconds) { m_recoveryTimes = seconds; }

void DeferredEventStore::pushFault(DeferredEvent event) {
    const unsigned tries = event.tries + 1;
    if (tries > m_recoveryTimes.size()) throw TimeoutError();
    std::int64_t delayMs = 0;
    for (unsigned i = 0; i < tries; ++i) delayMs += static_cast<std::int64_t>(m_recoveryTimes[i]) * 1000;
    event.tries = tries;
    event.dueMs = event.faultMs + delayMs;
    insert(event);
}

void DeferredEventStore::insert(const DeferredEvent& event) {
    const auto same = std::find_if(m_events.begin(), m_events.end(),
                                   [&event](const DeferredEvent& e) { return e.pid == event.pid; });
    if (same != m_events.end()) {
        m_events.erase(same);
        std::make_heap(m_events.begin(), m_events.end(), laterDue);
        logWarn("equal pid error, pid=" + std::to_string(event.pid));
    }
    m_events.push_back(event);
    std::push_heap(m_events.begin(), m_events.end(), laterDue);
}

std::optional<DeferredEvent> DeferredEventStore::popDue() { return popDue(nowMs()); }

std::optional<DeferredEvent> DeferredEventStore::popDue(std::int64_t now) {
    if (m_events.empty() || now < m_events.front().dueMs) return std::nullopt;
    std::pop_heap(m_events.begin(), m_events.end(), laterDue);
    const DeferredEvent event = m_events.back();
    m_events.pop_back();
    return event;
}

std::optional<std::int64_t> DeferredEventStore::msUntilDue() const { return msUntilDue(nowMs()); }

std::optional<std::int64_t> DeferredEventStore::msUntilDue(std::int64_t now) const {
    if (m_events.empty()) return std::nullopt;
    return std::max<std::int64_t>(0, m_events.front().dueMs - now);
}

std::int64_t DeferredEventStore::nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t DeferredEventStore::wallNowMs() const {
    using namespace std::chrono;
    if (m_wallClock) return m_wallClock();
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
