// The monitor's main loop: reloads, failure detection through the
// management descriptors, due restarts, updates and changed configurations.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "daemon/monitor.h"
#include "daemon/updater.h"
#include "engine/monitor_state.h"

namespace {
// The shortest time between two applications of the changed-configuration
// set. Each application signals components, may reload the monitor and
// scans the .hup files: a client sending requests as fast as it can gets
// them applied at most twice a second, and a request waits at most this
// long.
constexpr std::chrono::milliseconds kChangedConfPace(500);
}  // namespace

void Monitor::mainLoop() {
    logDebug("Monitor::mainLoop()");
    {
        std::lock_guard<std::mutex> guard(m_loopLock);
        m_loopRunning = true;
    }
    m_loopDone.notify_one();

    while (getMonitorState() == MONITOR_STARTED) {
        try {
            // Taken under the lock, so a SIGHUP that arrives during the
            // reload is kept for the next iteration.
            bool reloadNow;
            {
                std::lock_guard<std::mutex> guard(m_reloadLock);
                reloadNow = m_reloadRequested;
                m_reloadRequested = false;
            }
            if (reloadNow) {
                try {
                    reload();
                } catch (...) {
                    setReloadRequested(true);
                    throw;
                }
            }
        } catch (const std::exception& e) {
            logError(std::string("internal error in main loop: ") + e.what());
        }
        size_t running = 1;
        try {
            handleFailedComponents(loopWaitMs());
            if (getMonitorState() == MONITOR_STARTED) runDeferredEvents();
            running = m_store.countRunningApps();
        } catch (const std::exception& e) {
            logError(std::string("internal error in main loop: ") + e.what());
        }
        if (running == 0) {
            logInfo("all applications have stopped, terminate " + programName + " application");
            terminateSelf();
            continue;
        }
        try {
            Updater::instance().run();
            // Requests that come in before the pace allows stay in the set
            // and are applied together when it does.
            if (!hasNoChangedConf() && changedConfWaitMs() == 0) {
                m_changedConfApplied = std::chrono::steady_clock::now();
                changedConfReload();
            }
        } catch (const std::exception& e) {
            logError(std::string("internal error in main loop: ") + e.what());
        }
    }

    {
        std::lock_guard<std::mutex> guard(m_loopLock);
        m_loopRunning = false;
    }
    m_loopDone.notify_one();
}

int Monitor::loopWaitMs() {
    const int64_t loopWait = static_cast<int64_t>(std::max(m_settings.getMainLoopWait(), 0)) * 1000;
    const std::optional<int64_t> due = m_events.msUntilDue();
    int64_t wait = due ? std::min(*due, loopWait) : loopWait;
    if (!hasNoChangedConf()) wait = std::min<int64_t>(wait, changedConfWaitMs());
    return static_cast<int>(wait);
}

int Monitor::changedConfWaitMs() const {
    if (!m_changedConfApplied) return 0;
    const auto left = *m_changedConfApplied + kChangedConfPace - std::chrono::steady_clock::now();
    // Rounded up, so that the wait never ends just before the time.
    return static_cast<int>(std::max<int64_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0));
}

std::list<int> Monitor::waitManagementDescriptors(int waitMs) {
    std::list<int> closed;
    std::vector<struct pollfd> fds;
    for (int fd : m_store.getDescriptors())
        if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    const size_t management = fds.size();
    // A process descriptor tells also of a component that ended while a
    // process it started keeps its socket open.
    std::vector<int> exitOwners;  // the management descriptor of each
    for (const auto& exit : m_store.getExitDescriptors()) {
        fds.push_back({exit.first, POLLIN, 0});
        exitOwners.push_back(exit.second);
    }
    if (m_wake.fd >= 0) fds.push_back({m_wake.fd, POLLIN, 0});
    int rc;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        rc = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (rc < 0 && errno == EINTR) continue;
        break;
    }
    for (size_t i = 0; rc > 0 && i < management; ++i) {
        const struct pollfd& p = fds[i];
        if (!p.revents) continue;
        char buffer[512];
        ssize_t n;
        while ((n = ::read(p.fd, buffer, sizeof buffer - 1)) < 0 && errno == EINTR) {
        }
        if (n == 0) {
            closed.push_back(p.fd);
        } else if (n < 0) {
            logDebug("error reading from management descriptor " + std::to_string(p.fd) + ": " +
                     velka::base::errnoText(errno));
        } else {
            buffer[n] = '\0';
            logDebug("error data in management descriptor " + std::to_string(p.fd) + ": " + buffer);
        }
    }
    uint64_t wakes;
    if (rc > 0 && m_wake.fd >= 0 && fds.back().revents && ::read(m_wake.fd, &wakes, sizeof wakes) < 0) {
        // Nothing to take: another wait took it.
    }
    // A component that ended counts like a closed descriptor; one without
    // a process descriptor is looked at in every pass.
    std::list<int> ended = m_store.getEndedDescriptors();
    for (size_t i = 0; rc > 0 && i < exitOwners.size(); ++i)
        if (fds[management + i].revents) ended.push_back(exitOwners[i]);
    for (int fd : ended)
        if (std::find(closed.begin(), closed.end(), fd) == closed.end()) closed.push_back(fd);
    return closed;
}

AppNameSet Monitor::runSetForStops() {
    AppNameSet runSet;
    try {
        getRunAppSet(runSet);
    } catch (const std::exception& e) {
        logError(std::string("cannot read the run app list: ") + e.what());
        runSet = m_lastRunSet;
    }
    return runSet;
}

void Monitor::cannotRecover(pid_t pid, int64_t faultWallMs) {
    m_store.informCannotRecovery(pid, static_cast<time_t>(faultWallMs / 1000));
    m_store.stopFaultApps(runSetForStops());
}

void Monitor::handleFailedComponents(int waitMs) {
    const std::list<int> closed = waitManagementDescriptors(waitMs);
    const int64_t nowMs = DeferredEventStore::nowMs();
    const int64_t wallMs = m_events.wallNowMs();
    if (getMonitorState() != MONITOR_STARTED) return;
    for (int fd : closed) {
        const pid_t pid = m_store.getPidByDescriptor(fd);
        if (pid < 0) {
            logError("internal error: pid error");
            continue;
        }
        if (pid == 0) {
            // The application is not running: the child is stopped and
            // reaped, so its closed descriptor cannot wake the loop again.
            m_store.stopByDescriptor(fd);
            continue;
        }
        bool recoverable = true;
        DeferredEvent event;
        event.faultMs = nowMs;
        event.faultWallMs = wallMs;
        event.pid = pid;
        try {
            m_events.pushFault(event);
        } catch (const DeferredEventStore::TimeoutError&) {
            recoverable = false;
        }
        m_store.fault(pid, static_cast<time_t>(wallMs / 1000));
        if (!recoverable) cannotRecover(pid, wallMs);
    }
}

void Monitor::superviseDuringScan() {
    try {
        handleFailedComponents(0);
        if (getMonitorState() == MONITOR_STARTED) runDeferredEvents();
    } catch (const std::exception& e) {
        logError(std::string("internal error in main loop: ") + e.what());
    }
}

void Monitor::runDeferredEvents() { processDeferredEvents(AppNameSet()); }

void Monitor::processDeferredEvents(const AppNameSet& names) {
    std::vector<DeferredEvent> putBack;
    while (std::optional<DeferredEvent> event = m_events.popDue()) {
        if (getMonitorState() != MONITOR_STARTED) break;
        Application* owner = m_store.findAppByPid(event->pid);
        if (!owner || !owner->isRunning()) {
            logDebug("restart of pid " + std::to_string(event->pid) + " dropped: its application is not running");
            continue;
        }
        if (!names.empty() && !names.count(owner->getName())) {
            putBack.push_back(*event);  // not this pass's concern; its time is unchanged
            continue;
        }
        if (!owner->isStoppedPid(event->pid)) {
            // The child ended by itself: it is not restarted.
            m_store.stopFaultApps(runSetForStops());
            continue;
        }
        const time_t faultTime = static_cast<time_t>(event->faultWallMs / 1000);
        if (m_store.recovery(event->pid, faultTime, static_cast<int>(event->tries), names)) continue;
        try {
            m_events.pushFault(*event);
        } catch (const DeferredEventStore::TimeoutError&) {
            cannotRecover(event->pid, event->faultWallMs);
        }
    }
    for (const DeferredEvent& event : putBack) m_events.insert(event);
}
