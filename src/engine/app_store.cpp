#include "engine/app_store.h"

#include <signal.h>

#include <atomic>

#include "base/app_log.h"
#include "engine/comp_strategy.h"
#include "engine/monitor_state.h"

namespace {
// Set once the check-all procedure has run its agent steps in this process.
std::atomic<bool> checkAllAgentDone{false};
const char* const kDefaultAgentAddress = "local:/var/velka/ipc/.agent";
}  // namespace

AppStore::AppStore(bool updateMode) : m_updateMode(updateMode) {}

AppStore::~AppStore() = default;

Application* AppStore::findApp(const AppName& name) const {
    auto it = m_apps.find(name);
    return it == m_apps.end() ? nullptr : it->second.get();
}

Application* AppStore::findAppByPid(pid_t pid) const {
    for (const auto& entry : m_apps)
        for (const Component& c : entry.second->getComponents())
            if (c.ownsPid(pid)) return entry.second.get();
    return nullptr;
}

bool AppStore::stopByDescriptor(int descriptor) {
    for (auto& entry : m_apps)
        for (Component& c : entry.second->getComponents())
            if (c.getManagementDescriptor() == descriptor) {
                c.stop(false);
                return true;
            }
    return false;
}

bool AppStore::addApp(const Application& application) {
    if (m_apps.count(application.getName())) return false;
    m_apps[application.getName()] = std::make_shared<Application>(application);
    return true;
}

bool AppStore::removeApp(const AppName& name) {
    auto it = m_apps.find(name);
    if (it == m_apps.end()) return false;
    it->second->stop();
    m_apps.erase(it);
    return true;
}

void AppStore::setMonitor(Regenerator* monitor) {
    for (auto& entry : m_apps) entry.second->setMonitor(monitor);
}

void AppStore::buildDependants() {
    m_dependants.clear();
    for (const auto& entry : m_apps)
        for (const AppName& dependency : entry.second->getDepends())
            m_dependants.insert(std::make_pair(dependency, entry.first));
}

std::list<std::string> AppStore::dependantsOf(const AppName& name) const {
    std::list<std::string> names;
    auto range = m_dependants.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) names.push_back(it->second);
    return names;
}

void AppStore::collectDeps(const AppNameSet& names, AppNameSet& result) const {
    for (const AppName& name : names) {
        // The result doubles as the visited set, so a cycle ends here.
        if (!result.insert(name).second) continue;
        if (const Application* app = findApp(name)) collectDeps(app->getDepends(), result);
    }
}

size_t AppStore::countRunningApps() const {
    size_t count = 0;
    for (const auto& entry : m_apps)
        if (entry.second->isRunning()) ++count;
    return count;
}

AppNameSet AppStore::getRunningApps() const {
    AppNameSet names;
    for (const auto& entry : m_apps)
        if (entry.second->allComponentsRunning()) names.insert(entry.first);
    return names;
}

bool AppStore::isStoppedPid(pid_t pid) const {
    const Application* owner = findAppByPid(pid);
    return owner && owner->isStoppedPid(pid);
}

pid_t AppStore::getPidByDescriptor(int descriptor) const {
    for (const auto& entry : m_apps) {
        const pid_t pid = entry.second->getPidByDescriptor(descriptor);
        if (pid != -1) return entry.second->isRunning() ? pid : 0;
    }
    return -1;
}

std::list<int> AppStore::getDescriptors() const {
    std::list<int> descriptors;
    for (const auto& entry : m_apps) entry.second->getDescriptors(descriptors);
    return descriptors;
}

std::list<std::pair<int, int>> AppStore::getExitDescriptors() const {
    std::list<std::pair<int, int>> descriptors;
    for (const auto& entry : m_apps)
        for (const Component& c : entry.second->getComponents())
            if (c.isRunning() && c.getExitDescriptor() >= 0 && c.getManagementDescriptor() >= 0)
                descriptors.emplace_back(c.getExitDescriptor(), c.getManagementDescriptor());
    return descriptors;
}

std::list<int> AppStore::getEndedDescriptors() const {
    std::list<int> descriptors;
    for (const auto& entry : m_apps)
        for (const Component& c : entry.second->getComponents())
            if (c.getManagementDescriptor() >= 0 && c.getExitDescriptor() < 0 && c.hasEnded())
                descriptors.push_back(c.getManagementDescriptor());
    return descriptors;
}

bool AppStore::fault(pid_t pid, time_t failureTime, bool* stoppedHimself) {
    for (auto& entry : m_apps)
        if (entry.second->fault(pid, failureTime, dependantsOf(entry.first), stoppedHimself)) return true;
    return false;
}

bool AppStore::informCannotRecovery(pid_t pid, time_t failureTime) {
    for (auto& entry : m_apps)
        if (entry.second->informCannotRecovery(pid, failureTime)) return true;
    return false;
}

bool AppStore::recovery(pid_t pid, time_t failureTime, int attempt, const AppNameSet& runSet) {
    for (auto& entry : m_apps) {
        if (!runSet.empty() && !runSet.count(entry.first)) continue;
        if (entry.second->recovery(pid, failureTime, attempt)) {
            after_app_recovery(entry.first);
            return true;
        }
    }
    return false;
}

void AppStore::after_app_recovery(const AppName& name) {
    if (!Application::isAgent(name)) return;
    AppNameSet signalled;
    auto range = m_dependants.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
        if (!signalled.insert(it->second).second) continue;
        Application* dependant = findApp(it->second);
        if (!dependant || !dependant->isRunning()) continue;
        logInfo("Sending SIGHUP to application " + it->second + " due to " + name + " recovered");
        dependant->sendSignal(SIGHUP);
    }
}

void AppStore::sendSignal(int signal) {
    for (auto& entry : m_apps) entry.second->sendSignal(signal);
}

void AppStore::signalPids(const std::set<pid_t>& pids, int signal) {
    for (auto& entry : m_apps) {
        std::set<pid_t> copy = pids;
        entry.second->signalPids(copy, signal);
    }
}

bool AppStore::startApp(const AppName& name, const SleepList& sleeps, CompStrategy& strategy) {
    AppNameSet inProgress;
    std::map<AppName, bool> done;
    return startApp(name, sleeps, strategy, inProgress, done);
}

bool AppStore::startApp(const AppName& name, const SleepList& sleeps, CompStrategy& strategy,
                        AppNameSet& inProgress, std::map<AppName, bool>& done) {
    logDebug("AppStore::startApp( " + name + " )");
    if (getMonitorState() != MONITOR_STARTED) throw StartError();
    Application* app = findApp(name);
    if (!app) throw BadAppName(name);
    auto known = done.find(name);
    if (known != done.end()) return known->second;
    // An application met again on its own dependency path is a cycle.
    if (!inProgress.insert(name).second) {
        logError("application \"" + name + "\" cannot start, because it depends on itself");
        return false;
    }
    for (const AppName& dependency : app->getDepends()) {
        if (!startApp(dependency, sleeps, strategy, inProgress, done)) {
            logError("application \"" + name + "\" cannot start, because of depends application \"" + dependency +
                     "\" not started");
            inProgress.erase(name);
            return done[name] = false;
        }
    }
    inProgress.erase(name);
    if (!app->allComponentsRunning() && !app->start(sleeps, strategy)) {
        logError("application \"" + name + "\" cannot start");
        return done[name] = false;
    }
    return done[name] = true;
}

void AppStore::applyRunSet(const AppNameSet& runSet, const SleepList& sleeps) {
    AppNameSet needed;
    collectDeps(runSet, needed);
    std::list<AppName> toStop, toStart;
    for (const auto& entry : m_apps) {
        const bool wanted = needed.count(entry.first) != 0;
        // A wanted application whose start failed (its flag set, a
        // component not running) is started again as well.
        if (wanted && !entry.second->allComponentsRunning()) {
            logInfo("application \"" + entry.first + "\" must be started");
            toStart.push_back(entry.first);
        } else if (!wanted && entry.second->isRunning()) {
            logInfo("application \"" + entry.first + "\" must be stopped");
            toStop.push_back(entry.first);
        }
    }
    // What is no longer wanted goes first, dependants before what they
    // need; then what is wanted starts, dependencies first.
    for (const AppName& name : toStop)
        if (Application* app = findApp(name)) AppStop::stopAppAndIDepends(*this, *app);
    StandartCompStrategy strategy;
    for (const AppName& name : toStart) {
        Application* app = findApp(name);
        if (!app || app->allComponentsRunning()) continue;
        startApp(name, sleeps, strategy);
    }
}

void AppStore::stop() {
    logDebug("AppStore::stop()");
    for (auto& entry : m_apps) {
        AppStop::stopAppAndIDepends(*this, *entry.second);
        entry.second->stop();
    }
}

void AppStore::stopFaultApps(const AppNameSet& runSet) {
    for (auto& entry : m_apps) {
        Application& app = *entry.second;
        if (!app.isRunning() || !app.hasNotRunningComponent()) continue;
        logWarn("one component from application " + entry.first + " is fault. The application will be stopped");
        AppStop::stopAppAndDepends(*this, app, runSet, true);
    }
}

void AppStore::dump() const {
    if (!isDebugLogging()) return;
    for (const auto& entry : m_apps) entry.second->dump();
}

std::string AppStore::toXml(bool withState) const {
    std::string text = "<apps>";
    for (const auto& entry : m_apps) entry.second->toXml(text, withState);
    return text + "</apps>";
}

// --- AppStop ---

std::string AppStop::tempAgentAddress(const std::string& agentAddress) {
    const bool local = agentAddress.compare(0, 6, "local:") == 0;
    return (local ? agentAddress : std::string(kDefaultAgentAddress)) + ".tmp";
}

std::string AppStop::tempAgentPidFile(const std::string& pidFileDir) { return pidFileDir + "velka-agent.tmp.pid"; }

void AppStop::start(AppStore& store, const AppNameSet& runSet, const SleepList& sleeps,
                    const std::string& agentAddress, const std::string& pidFileDir) {
    logDebug("AppStop::start()");
    store.buildDependants();
    if (store.isUpdateMode())
        startUpdateMode(store, runSet, sleeps);
    else if (isCheckRunMode())
        startCheckAllMode(store, runSet, sleeps, agentAddress, pidFileDir);
    else
        startStandartMode(store, runSet, sleeps);
}

void AppStop::startStandartMode(AppStore& store, const AppNameSet& runSet, const SleepList& sleeps) {
    logDebug("AppStop::startStandartMode()");
    StandartCompStrategy strategy;
    for (const AppName& name : runSet) store.startApp(name, sleeps, strategy);
}

void AppStop::startUpdateMode(AppStore& store, const AppNameSet&, const SleepList& sleeps) {
    logDebug("AppStop::startUpdateMode()");
    UpdateCompStrategy strategy;
    store.startApp(kAgentAppName, sleeps, strategy);
}

void AppStop::startCheckAllMode(AppStore& store, const AppNameSet& runSet, const SleepList& sleeps,
                                const std::string& agentAddress, const std::string& pidFileDir) {
    logDebug("AppStop::startCheckAllMode()");
    const std::string address = tempAgentAddress(agentAddress);
    CheckOnlyStrategy checkOnly;
    ChangeSocketStrategy changeSocket(address, tempAgentPidFile(pidFileDir));
    CheckOnlyWithAlternativeAgentStrategy alternative(address);
    if (!checkAllAgentDone) {
        store.startApp(kAgentAppName, sleeps, checkOnly);
        store.stop();
        store.startApp(kAgentAppName, sleeps, changeSocket);
        checkAllAgentDone = true;
    }
    for (const AppName& name : runSet)
        if (!Application::isAgent(name)) store.startApp(name, sleeps, alternative);
}

void AppStop::stopAppAndIDepends(AppStore& store, Application& application) {
    AppNameSet visited;
    stopAppAndIDepends(store, application, visited);
}

void AppStop::stopAppAndIDepends(AppStore& store, Application& application, AppNameSet& visited) {
    if (!application.isRunning()) return;
    if (!visited.insert(application.getName()).second) {
        logError("application \"" + application.getName() + "\" depends on itself");
        return;
    }
    logDebug("AppStop::stopAppAndIDepends() name=" + application.getName());
    auto range = store.getDependants().equal_range(application.getName());
    std::list<AppName> dependants;
    for (auto it = range.first; it != range.second; ++it) dependants.push_back(it->second);
    for (const AppName& name : dependants)
        if (Application* dependant = store.findApp(name)) stopAppAndIDepends(store, *dependant, visited);
    if (application.isRunning()) application.stop();
}

void AppStop::stopAppAndDepends(AppStore& store, Application& application, const AppNameSet& runSet, bool force) {
    if (!application.isRunning()) return;
    logDebug("AppStop::stopAppAndDepends() name=" + application.getName());
    if (!force && runSet.count(application.getName())) return;
    if (application.isRunning()) application.stop();
    for (auto& entry : store.getApps()) {
        Application& dependency = *entry.second;
        if (!application.dependsOn(entry.first) || runSet.count(entry.first)) continue;
        bool needed = false;
        for (const auto& other : store.getApps())
            if (other.second.get() != &application && other.second->isRunning() && other.second->dependsOn(entry.first))
                needed = true;
        if (needed) continue;
        logInfo("application " + entry.first + " going to stop, because no one application depend on it now");
        dependency.stop();
    }
}
