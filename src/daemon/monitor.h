// The supervisor: owns the application store, the recovery schedule, the
// settings and the agent link; started, stopped and reloaded from the
// program, driven by its main loop.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "daemon/agent_link.h"
#include "daemon/conf_reader.h"
#include "daemon/deferred_event_store.h"
#include "daemon/signal_executor.h"
#include "engine/fd_guard.h"
#include "engine/regenerator.h"
#include "engine/run_app_store.h"

class HupScanRecords;

class Monitor : public Regenerator, public SignalExecutor {
public:
    class InitError : public std::runtime_error {
    public:
        explicit InitError(const std::string& message) : std::runtime_error(message) {}
    };

    // Reads monitor.conf and the meta-configuration. Without a link the
    // monitor uses one that cannot reach the agent.
    Monitor(const std::string& confPath, const std::string& runList, bool updateMode,
            std::unique_ptr<AgentLink> agent = nullptr);
    ~Monitor() override;

    bool regenerate(const AppNameSet& names) override;
    void applicationStarted(Application& application) override;
    void applicationStopped(Application& application) override;

    virtual void mainLoop();
    virtual void start();
    virtual void stop();
    virtual void reload();
    virtual void reloadData();
    virtual void changedConfReload();
    void requestReload(int signal, const std::string& name) override;
    void terminate(int signal, const std::string& name) override;
    void inform(int signal, const std::string& name) override;

    // Adds to the changed-configuration set. The main loop applies the set
    // at a bounded pace: at once after a quiet interval, else when the
    // interval since the last application ends, with every pid that came
    // in meanwhile.
    void addChangedConf(const std::set<pid_t>& pids);
    void getChangedConf(std::set<pid_t>& pids);
    void setState(bool started);
    bool isStarted() const;
    // verify: check the set against the running store (a reload checks it
    // against the newly read one instead).
    void getRunAppSet(AppNameSet& out, bool verify = true);
    void getFirstRunAppSet(AppNameSet& out);
    void verifyFirstRunAppSet();
    void applyNotifierSettings();
    void connectToAgent();
    void reconnectToAgent();
    void setOwnPid(pid_t pid) { m_ownPid = pid; }
    pid_t getOwnPid() const { return m_ownPid; }
    std::string getLogFileName() const;
    unsigned getFirstNotRootUID() const;
    unsigned getFirstNotRootGID() const;

    // Main-loop steps.
    // Waits up to waitMs for a management descriptor to close, a component
    // to end, or the main loop to be woken; returns the descriptors of the
    // components that ended.
    std::list<int> waitManagementDescriptors(int waitMs);
    // Ends the main loop's current wait: a stop, a reload or a changed
    // configuration is taken at once.
    void wakeMainLoop();
    void handleFailedComponents(int waitMs);
    void processDeferredEvents(const AppNameSet& names);
    void runDeferredEvents();
    bool isReloadRequested();
    void setReloadRequested(bool requested);
    bool hasNoChangedConf();
    // The ".hup" files of the pid file directory: SIGHUP to each requested
    // pid whose file that very pid holds write-locked (the pid is then
    // taken out of the set), a warning for a requested pid whose file
    // another process holds, and removal of files that nobody locks. A
    // badly named file costs no system call; the scans write at most a few
    // records of each kind in a period, and a scan that left records out
    // one count of them; a long scan makes passes of failure detection and
    // due restarts as it goes.
    void processHupFiles(std::set<pid_t>& pids);
    static bool parseHupFileName(const std::string& path, pid_t& pid, std::string& name);
    void sendHup(pid_t pid, const std::string& name);

    RunAppStore& getStore() { return m_store; }
    ConfReader& getSettings() { return m_settings; }
    const ConfReader& getSettings() const { return m_settings; }
    DeferredEventStore& getEvents() { return m_events; }
    AgentLink& getAgentLink() { return *m_agent; }
    bool isMainLoopRunning();

protected:
    // Ends the program when no application runs any more: SIGTERM to the
    // own process, which the signal thread turns into an ordered shutdown.
    virtual void terminateSelf();
    // Reads the agent's settings into the settings holder (start, reload
    // and every read of the run list in enterprise mode).
    virtual void readConfigFromAgent();

private:
    void loadMetaConf(RunAppStore& store);
    void fillMonitorInfo();
    // The start or stop report, or its log record when no agent is reached.
    void reportToAgent(Application& application, bool started);
    std::string agentAddress() const;
    // The smaller of the loop wait, the time until the next restart and,
    // while changed configurations wait, the time until they may be applied.
    int loopWaitMs();
    // Milliseconds until the changed-configuration set may be applied
    // again; 0 when it may be applied now.
    int changedConfWaitMs() const;
    // Reads the run set to stop faulty applications against; an error in
    // reading it falls back on the last good set.
    AppNameSet runSetForStops();
    void cannotRecover(pid_t pid, std::int64_t faultWallMs);
    // One pass of failure detection and due restarts from inside a long
    // step of the main loop; an error is logged as the loop logs its own.
    void superviseDuringScan();

    RunAppStore m_store;
    AppNameSet m_cmdRunSet;
    DeferredEventStore m_events;
    std::mutex m_loopLock;
    std::condition_variable m_loopDone;
    bool m_loopRunning = false;
    bool m_stopped = false;  // guarded by m_loopLock
    FdGuard m_wake;          // an eventfd that wakeMainLoop makes readable
    std::mutex m_reloadLock;
    bool m_reloadRequested = false;
    std::unique_ptr<AgentLink> m_agent;
    std::mutex m_changedLock;
    std::set<pid_t> m_changedConf;
    // When the main loop last applied the changed-configuration set; only
    // the main loop reads and writes it.
    std::optional<std::chrono::steady_clock::time_point> m_changedConfApplied;
    // The records of the .hup scans, bounded across scans.
    std::unique_ptr<HupScanRecords> m_hupRecords;
    pid_t m_ownPid = -1;
    ConfReader m_settings;
    AppNameSet m_lastRunSet;  // the last run set read successfully
};

// Searches the components of the store for the first id that is not root.
template <typename T>
class SearchStrategy {
public:
    virtual ~SearchStrategy() = default;
    virtual bool searchApplication(const Application&) { return true; }
    virtual T idOf(const Component& component) const = 0;
    void visit(const Component& component) {
        if (m_found) return;
        const T id = idOf(component);
        if (id != 0) {
            m_value = id;
            m_found = true;
        }
    }
    bool found() const { return m_found; }
    T value() const { return m_value; }

private:
    bool m_found = false;
    T m_value = static_cast<T>(-1);
};

class FirstNotRootUIDStrategy : public SearchStrategy<unsigned int> {
public:
    unsigned int idOf(const Component& component) const override { return component.getUid(); }
};

class FirstNotRootGIDStrategy : public SearchStrategy<unsigned int> {
public:
    unsigned int idOf(const Component& component) const override { return component.getGid(); }
};
