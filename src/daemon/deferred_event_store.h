// The restarts owed to failed components: one event per failed process,
// due at the fault time plus the recovery delays used so far.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

// Due and fault times are milliseconds of the monotonic clock, so that a
// change of the system time neither delays nor hurries a restart; the
// fault time is kept on the wall clock too, for letters and logs.
struct DeferredEvent {
    std::int64_t dueMs = 0;
    std::int64_t faultMs = 0;
    std::int64_t faultWallMs = 0;  // milliseconds since the epoch
    pid_t pid = 0;
    // Delays already used; 0 for a new fault.
    unsigned tries = 0;
};

class DeferredEventStore {
public:
    class TimeoutError : public std::logic_error {
    public:
        TimeoutError() : std::logic_error("pushFault() error: try number is over") {}
    };

    // Delays in seconds. Events already waiting keep their tries.
    void setRecoveryTimes(const std::vector<int>& seconds);
    const std::vector<int>& getRecoveryTimes() const { return m_recoveryTimes; }

    // Schedules the event's next try, or throws TimeoutError when the
    // delays are used up (the event is then not kept).
    void pushFault(DeferredEvent event);
    // Adds the event, dropping (with a warning) one of the same pid.
    void insert(const DeferredEvent& event);

    // The earliest event when it is due.
    std::optional<DeferredEvent> popDue();
    std::optional<DeferredEvent> popDue(std::int64_t nowMs);
    // Milliseconds until the earliest event is due (0 when it is), or
    // nothing when no event waits.
    std::optional<std::int64_t> msUntilDue() const;
    std::optional<std::int64_t> msUntilDue(std::int64_t nowMs) const;

    bool empty() const { return m_events.empty(); }
    std::size_t size() const { return m_events.size(); }

    // The monotonic clock in milliseconds.
    static std::int64_t nowMs();
    // The wall clock in milliseconds since the epoch, for fault times in
    // letters; tests may replace it.
    std::int64_t wallNowMs() const;
    void setWallClock(std::function<std::int64_t()> clock) { m_wallClock = std::move(clock); }

private:
    std::vector<DeferredEvent> m_events;  // a heap, earliest due on top
    std::vector<int> m_recoveryTimes;
    std::function<std::int64_t()> m_wallClock;
};
