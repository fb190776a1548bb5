// The applications of the meta-configuration by name, and the order in
// which they start (dependencies first) and stop (dependants first).
#pragma once

#include <sys/types.h>

#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/application.h"

class AppStore {
public:
    class StartError : public std::logic_error {
    public:
        StartError() : std::logic_error("some of application cannot start") {}
    };
    class BadAppName : public std::runtime_error {
    public:
        explicit BadAppName(const AppName& name) : std::runtime_error("bad application name \"" + name + "\"") {}
    };

    typedef std::map<AppName, std::shared_ptr<Application>> Applications;
    typedef std::multimap<AppName, AppName> Dependants;

    explicit AppStore(bool updateMode);
    virtual ~AppStore();
    AppStore(const AppStore&) = delete;
    AppStore& operator=(const AppStore&) = delete;

    bool addApp(const Application& application);
    bool removeApp(const AppName& name);
    void setMonitor(Regenerator* monitor);
    // Rebuilt from scratch: dependency -> each application that names it.
    void buildDependants();
    void collectDeps(const AppNameSet& names, AppNameSet& result) const;
    size_t countRunningApps() const;
    AppNameSet getRunningApps() const;
    bool isStoppedPid(pid_t pid) const;
    pid_t getPidByDescriptor(int descriptor) const;
    std::list<int> getDescriptors() const;
    // Process descriptor and management descriptor of each running
    // component that has a process descriptor.
    std::list<std::pair<int, int>> getExitDescriptors() const;
    // The management descriptors of the running components without a
    // process descriptor whose child has ended, while its socket may still
    // be open.
    std::list<int> getEndedDescriptors() const;
    // True when an application owned the pid; stoppedHimself tells whether
    // its child ended by a normal exit.
    bool fault(pid_t pid, time_t failureTime, bool* stoppedHimself = nullptr);
    bool informCannotRecovery(pid_t pid, time_t failureTime);
    bool recovery(pid_t pid, time_t failureTime, int attempt, const AppNameSet& runSet);
    void after_app_recovery(const AppName& name);
    void sendSignal(int signal);
    void signalPids(const std::set<pid_t>& pids, int signal);
    bool startApp(const AppName& name, const SleepList& sleeps, CompStrategy& strategy);
    void applyRunSet(const AppNameSet& runSet, const SleepList& sleeps);
    void stop();
    void stopFaultApps(const AppNameSet& runSet);
    void dump() const;
    std::string toXml(bool withState) const;

    bool isUpdateMode() const { return m_updateMode; }
    Applications& getApps() { return m_apps; }
    const Applications& getApps() const { return m_apps; }
    const Dependants& getDependants() const { return m_dependants; }
    Application* findApp(const AppName& name) const;
    // The application with a component that owns the pid (its current pid
    // or the failure it is recovering from).
    Application* findAppByPid(pid_t pid) const;
    // Stops the component that holds the management descriptor, which
    // closes it and reaps the child; false when no component holds it.
    bool stopByDescriptor(int descriptor);
    // Names of the applications that name this one in their DEPENDS.
    std::list<std::string> dependantsOf(const AppName& name) const;

protected:
    Applications m_apps;
    bool m_updateMode;
    Dependants m_dependants;

private:
    // inProgress: the dependency path being walked (a cycle ends there);
    // done: results already known in this walk, so a shared dependency that
    // failed is not tried again on every path to it.
    bool startApp(const AppName& name, const SleepList& sleeps, CompStrategy& strategy, AppNameSet& inProgress,
                  std::map<AppName, bool>& done);
    friend struct AppStop;
};

// The start and stop procedures over a store.
struct AppStop {
    static void start(AppStore& store, const AppNameSet& runSet, const SleepList& sleeps,
                      const std::string& agentAddress, const std::string& pidFileDir);
    static void startStandartMode(AppStore& store, const AppNameSet& runSet, const SleepList& sleeps);
    static void startUpdateMode(AppStore& store, const AppNameSet& runSet, const SleepList& sleeps);
    static void startCheckAllMode(AppStore& store, const AppNameSet& runSet, const SleepList& sleeps,
                                  const std::string& agentAddress, const std::string& pidFileDir);
    static void stopAppAndIDepends(AppStore& store, Application& application);
    static void stopAppAndDepends(AppStore& store, Application& application, const AppNameSet& runSet, bool force);

    // The temporary agent of a check-all run.
    static std::string tempAgentAddress(const std::string& agentAddress);
    static std::string tempAgentPidFile(const std::string& pidFileDir);

private:
    static void stopAppAndIDepends(AppStore& store, Application& application, AppNameSet& visited);
};
