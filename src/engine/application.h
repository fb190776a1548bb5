// One named group of components: started, stopped, recovered and
// reconfigured as a whole.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/app_name.h"
#include "engine/component.h"

class CompStrategy;
class Regenerator;

// Pauses, in seconds, between the retries of one component's start.
typedef std::vector<int> SleepList;

class Application {
public:
    typedef std::list<Component> Components;

    explicit Application(Regenerator* monitor);

    const AppName& getName() const { return m_name; }
    void setName(const AppName& name) { m_name = name; }
    const std::string& getFullName() const { return m_fullName; }
    void setFullName(const std::string& fullName) { m_fullName = fullName; }
    const std::string& getPath() const { return m_path; }
    void setPath(const std::string& path);
    const AppNameSet& getDepends() const { return m_depends; }
    void addDepend(const AppName& name);
    bool dependsOn(const AppName& name) const;
    Components& getComponents() { return m_components; }
    const Components& getComponents() const { return m_components; }
    void addComponent(const Component& component);
    void setMonitor(Regenerator* monitor) { m_monitor = monitor; }
    Regenerator* getMonitor() const { return m_monitor; }

    bool isAgent() const;
    static bool isAgent(const AppName& name);
    bool isRunning() const { return m_running; }
    // Asks the component that owns the pid whether its child was seen to
    // end by a signal.
    bool isStoppedPid(pid_t pid) const;
    pid_t getPidByDescriptor(int descriptor) const;
    pid_t getPid() const;
    std::string getSingleCompArgs() const;
    std::string getUserGroups() const;
    bool allComponentsRunning() const;
    bool hasNotRunningComponent() const;
    void getDescriptors(std::list<int>& descriptors) const;
    void sendSignal(int signal);
    void signalPids(std::set<pid_t>& pids, int signal);
    // The component that owns the pid reaps it and reports; true when one
    // did. stoppedHimself tells whether the child ended by a normal exit.
    bool fault(pid_t pid, time_t failureTime, const std::list<std::string>& affected,
               bool* stoppedHimself = nullptr);
    bool informCannotRecovery(pid_t pid, time_t failureTime);

    bool start(const SleepList& sleeps, CompStrategy& strategy);
    bool startComp(Component& component, time_t failureTime, int attempt, CompStrategy& strategy);
    bool startComp(Component& component, CompStrategy& strategy);
    void stop();
    bool recovery(pid_t pid, time_t failureTime, int attempt);
    bool reconfig(const Application& fresh, const SleepList& sleeps);
    void reconfigDeps(const AppNameSet& depends);
    bool reconfigComponents(const Application& fresh);
    void sleep(int seconds);
    void dump() const;
    void toXml(std::string& text, bool withState) const;

private:
    std::string componentText(const Component& component) const;

    AppName m_name;
    std::string m_fullName;
    std::string m_path;
    AppNameSet m_depends;
    Components m_components;
    Regenerator* m_monitor;
    bool m_running = false;
};
