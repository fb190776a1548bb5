#include "engine/application.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "base/app_log.h"
#include "engine/comp_strategy.h"
#include "engine/monitor_state.h"
#include "engine/regenerator.h"

const AppName kAgentAppName("AGENT");
const AppName kVarnoAppName("VARNO");

Application::Application(Regenerator* monitor) : m_monitor(monitor) {}

void Application::setPath(const std::string& path) {
    m_path = path;
    if (m_path.empty() || m_path.back() != '/') m_path += '/';
}

void Application::addDepend(const AppName& name) { m_depends.insert(name); }

bool Application::dependsOn(const AppName& name) const { return m_depends.count(name) != 0; }

void Application::addComponent(const Component& component) { m_components.push_back(component); }

bool Application::isAgent(const AppName& name) {
    static const AppName agent("AGENT");
    return name == agent;
}

bool Application::isAgent() const { return isAgent(m_name); }

bool Application::isStoppedPid(pid_t pid) const {
    for (const Component& c : m_components)
        if (c.ownsPid(pid)) return c.isStoppedPid(pid);
    return false;
}

pid_t Application::getPidByDescriptor(int descriptor) const {
    for (const Component& c : m_components)
        if (c.getManagementDescriptor() == descriptor) return c.getPid();
    return -1;
}

pid_t Application::getPid() const { return m_components.empty() ? 0 : m_components.front().getPid(); }

std::string Application::getSingleCompArgs() const {
    return m_components.size() == 1 ? m_components.front().getArgv() : std::string();
}

std::string Application::getUserGroups() const {
    std::set<std::string> texts;
    for (const Component& c : m_components) texts.insert(c.getUserGroup());
    std::string joined;
    for (const std::string& text : texts) joined += (joined.empty() ? "" : ",") + text;
    return joined;
}

bool Application::allComponentsRunning() const {
    for (const Component& c : m_components)
        if (!c.isRunning()) return false;
    return true;
}

bool Application::hasNotRunningComponent() const { return !allComponentsRunning(); }

void Application::getDescriptors(std::list<int>& descriptors) const {
    for (const Component& c : m_components) c.getDescriptor(descriptors);
}

void Application::sendSignal(int signal) {
    for (Component& c : m_components) c.sendSignal(signal);
}

void Application::signalPids(std::set<pid_t>& pids, int signal) {
    for (Component& c : m_components) c.signalIfPidIn(pids, signal);
}

bool Application::fault(pid_t pid, time_t failureTime, const std::list<std::string>& affected,
                        bool* stoppedHimself) {
    if (!m_running) return false;
    for (Component& c : m_components) {
        // Only a running component's child can end; an old pid may have
        // been reused by another process.
        if (!c.isRunning() || c.getPid() != pid) continue;
        const bool himself = c.fault(pid, failureTime, m_fullName, m_path, affected);
        if (stoppedHimself) *stoppedHimself = himself;
        return true;
    }
    return false;
}

bool Application::informCannotRecovery(pid_t pid, time_t failureTime) {
    for (Component& c : m_components) {
        if (!c.ownsPid(pid)) continue;
        c.informCannotRecovery(failureTime, m_fullName, m_path);
        return true;
    }
    return false;
}

std::string Application::componentText(const Component& component) const {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "component \"%s\" from application \"%s\"", component.getName().c_str(),
                  m_name.c_str());
    return buffer;
}

bool Application::startComp(Component& component, time_t failureTime, int attempt, CompStrategy& strategy) {
    logDebug("Application::startComp( " + component.getName() + " )");
    if (m_monitor) m_monitor->regenerate(m_depends);
    try {
        component.resetInformer();
        strategy.start(component, m_path, failureTime, attempt, m_fullName);
    } catch (const std::runtime_error& e) {
        logError("cannot start " + componentText(component) + ": " + e.what());
        return false;
    }
    // The monitor's pass over due events (regenerate) may have stopped this
    // application meanwhile; a component must not run outside it.
    if (!m_running) {
        logInfo("application \"" + m_name + "\" was stopped while " + componentText(component) +
                " started; it is stopped again");
        component.stop(false);
        return false;
    }
    logInfo(componentText(component) + " has been started " + strategy.modeLine());
    return true;
}

bool Application::startComp(Component& component, CompStrategy& strategy) {
    return startComp(component, 0, 0, strategy);
}

bool Application::start(const SleepList& sleeps, CompStrategy& strategy) {
    logDebug("Application::start() name=" + m_name);
    m_running = true;
    auto failedAt = m_components.end();
    // Components already running (a partly running application) are left
    // as they are; only those started here are undone on a failure.
    std::set<const Component*> startedHere;
    for (auto it = m_components.begin(); it != m_components.end(); ++it) {
        if (getMonitorState() != MONITOR_STARTED || !m_running) {
            failedAt = it;
            break;
        }
        if (it->isRunning()) continue;
        bool started = startComp(*it, strategy);
        for (auto pause = sleeps.begin(); !started && m_running && pause != sleeps.end(); ++pause) {
            if (getMonitorState() == MONITOR_STOPPED) break;
            logDebug("sleep " + std::to_string(*pause));
            sleep(*pause);
            if (getMonitorState() != MONITOR_STOPPED && m_running) started = startComp(*it, strategy);
        }
        if (started) startedHere.insert(&*it);
        // The application may have been stopped meanwhile (see startComp).
        if (!started || !m_running || getMonitorState() != MONITOR_STARTED) {
            failedAt = it;
            break;
        }
    }
    if (failedAt == m_components.end()) {
        if (m_monitor) {
            try {
                m_monitor->applicationStarted(*this);
            } catch (const std::exception& e) {
                logError("application \"" + m_name + "\" start report failed: " + e.what());
            }
        }
        logInfo("application \"" + m_name + "\" has been started");
        return true;
    }
    // Undo: the failed component and every one before it that this call
    // started, last first.
    for (auto it = std::next(failedAt);;) {
        --it;
        if (it == failedAt || startedHere.count(&*it)) {
            try {
                it->stop(true);
            } catch (const std::exception&) {
            }
        }
        if (it == m_components.begin()) break;
    }
    return false;
}

void Application::sleep(int seconds) {
    // The pause ends early when the monitor is told to stop; the state is
    // looked at ten times a second.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
    while (getMonitorState() != MONITOR_STOPPED) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(100)));
    }
}

void Application::stop() {
    logDebug("Application::stop() name=" + m_name);
    if (!m_running) {
        // A stopped application has no process left behind.
        for (auto it = m_components.rbegin(); it != m_components.rend(); ++it) {
            if (!it->isRunning()) continue;
            try {
                it->stop(false);
            } catch (const std::exception& e) {
                logError("cannot stop " + componentText(*it) + ": " + e.what());
            }
        }
        return;
    }
    m_running = false;
    for (auto it = m_components.rbegin(); it != m_components.rend(); ++it) {
        // An ordered stop ends any recovery of the component.
        it->clearRecoveryKey();
        try {
            it->stop(false);
        } catch (const std::exception& e) {
            logError("cannot stop " + componentText(*it) + ": " + e.what());
        }
    }
    if (m_monitor) {
        try {
            m_monitor->applicationStopped(*this);
        } catch (const std::exception& e) {
            logError("application \"" + m_name + "\" stop report failed: " + e.what());
        }
    }
    m_running = false;
    logInfo("application \"" + m_name + "\" has been stopped");
}

bool Application::recovery(pid_t pid, time_t failureTime, int attempt) {
    logDebug("Application::recovery() name=" + m_name);
    logDebug("Application::recovery() pid=" + std::to_string(pid));
    bool recovered = false;
    for (Component& c : m_components) {
        if (!c.ownsPid(pid) || c.isRunning()) continue;
        StandartCompStrategy strategy;
        if (startComp(c, failureTime, attempt, strategy)) recovered = true;
    }
    return recovered;
}

bool Application::reconfig(const Application& fresh, const SleepList& sleeps) {
    logDebug("Application::reconfig() " + m_name);
    bool result = false;
    if (m_fullName != fresh.m_fullName) {
        logInfo("application \"" + m_name + "\" change full name \"" + m_fullName + "\" to \"" + fresh.m_fullName +
                "\"");
        m_fullName = fresh.m_fullName;
    }
    reconfigDeps(fresh.m_depends);
    if (m_path == fresh.m_path) return reconfigComponents(fresh);

    logInfo("application \"" + m_name + "\" change path \"" + m_path + "\" to \"" + fresh.m_path +
            "\". All components should be restarted");
    m_path = fresh.m_path;
    result = true;
    const bool wasRunning = m_running;
    stop();
    m_components.clear();
    for (const Component& c : fresh.m_components) m_components.push_back(c);
    // Only a running application is started again under its new path.
    if (wasRunning) {
        StandartCompStrategy strategy;
        start(sleeps, strategy);
    }
    return result;
}

void Application::reconfigDeps(const AppNameSet& depends) {
    logDebug("Application::reconfigDeps()" + m_name);
    for (const AppName& old : m_depends)
        if (!depends.count(old)) logInfo("application \"" + m_name + "\" now not depends on \"" + old + "\"");
    for (const AppName& added : depends)
        if (!m_depends.count(added)) logInfo("application \"" + m_name + "\" now depends on \"" + added + "\"");
    m_depends = depends;
}

bool Application::reconfigComponents(const Application& fresh) {
    logDebug("Application::reconfigComponents()" + m_name);
    bool result = false;
    std::set<std::string> removed;
    for (Component& own : m_components) {
        try {
            const Component* match = nullptr;
            for (const Component& c : fresh.m_components)
                if (c.getName() == own.getName()) match = &c;
            if (match) {
                if (own.reconfig(*match)) {
                    logInfo("component \"" + own.getName() + "\" from \"" + m_name + "\" has been reconfigured");
                    result = true;
                    // A new command line or identity takes effect only in a
                    // new process.
                    if (m_running && own.isRunning()) {
                        own.clearRecoveryKey();
                        own.stop(false);
                        StandartCompStrategy strategy;
                        startComp(own, strategy);
                    }
                }
            } else {
                logInfo("component \"" + own.getName() + "\" from application \"" + m_name + "\" must be deleted");
                removed.insert(own.getName());
                own.clearRecoveryKey();
                own.stop(false);
            }
        } catch (const std::exception& e) {
            logError("error reload component \"" + own.getName() + "\": " + e.what());
        }
    }
    m_components.remove_if([&removed](const Component& c) { return removed.count(c.getName()) != 0; });

    for (const Component& c : fresh.m_components) {
        bool known = false;
        for (const Component& own : m_components) known = known || own.getName() == c.getName();
        if (known) continue;
        logInfo("new component \"" + c.getName() + "\"");
        m_components.push_back(c);
        // A stopped application starts its new component with the rest.
        if (m_running) {
            StandartCompStrategy strategy;
            startComp(m_components.back(), strategy);
        }
    }
    return result;
}

void Application::dump() const {
    logDebug("    Application \"" + m_name + "\"");
    logDebug("        FullName \"" + m_fullName + "\"");
    logDebug("        Path \"" + m_path + "\"");
    std::string depends = "        Depends ";
    for (const AppName& d : m_depends) depends += "\"" + d + "\" ";
    logDebug(depends);
    logDebug("        Components");
    for (const Component& c : m_components) c.printInfo();
    logDebug("        EndComponents");
    logDebug("    EndApplication");
}

void Application::toXml(std::string& text, bool withState) const {
    text += "<app name=\"" + m_name + "\"";
    text += "\nfullName=\"" + m_fullName + "\"";
    text += "\npath=\"" + m_path + "\"";
    std::string deps;
    for (const AppName& d : m_depends) deps += (deps.empty() ? "" : ",") + d;
    text += "\ndeps=\"" + deps + "\"";
    text += "><comps>";
    for (const Component& c : m_components) text += c.toText(withState);
    text += "</comps></app>";
}
