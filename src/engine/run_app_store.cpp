#include "engine/run_app_store.h"

#include <vector>

#include "base/app_log.h"
#include "engine/start_app_config.h"
#include "engine/utils.h"

RunAppStore::RunAppStore(bool updateMode) : AppStore(updateMode) {}

RunAppStore::~RunAppStore() = default;

void RunAppStore::parseMetaConf(const std::string& directory, AppStore& store) {
    std::vector<std::string> files;
    Utils::listDir(directory, ".mmc", files);
    for (const std::string& file : files) {
        logDebug("parse monitor meta config file \"" + file + "\"");
        StartAppConfig config(file);
        if (!config.parse(store)) throw std::runtime_error("error in *.mmc file \"" + file + "\"");
    }
}

bool RunAppStore::hasApp(const AppName& name) const { return m_apps.count(name) != 0; }

void RunAppStore::verify(const AppNameSet& runSet) const {
    std::string error;
    if (!verifyRunApp(runSet, error) || !verifyDepends(error) || !verifyInterdeps(runSet, error))
        throw VerifyError(error);
}

bool RunAppStore::verifyRunApp(const AppNameSet& runSet, std::string& error) const {
    logDebug("RunAppStore::verifyRunApp()");
    for (const AppName& name : runSet) {
        if (!hasApp(name)) {
            error = "cannot find application \"" + name + "\" in *.mmc files";
            return false;
        }
    }
    return true;
}

bool RunAppStore::verifyDepends(std::string& error) const {
    for (const auto& entry : m_apps) {
        for (const AppName& dependency : entry.second->getDepends()) {
            if (!hasApp(dependency)) {
                error = "application \"" + entry.first + "\", unknown depends \"" + dependency + "\"";
                return false;
            }
        }
    }
    return true;
}

bool RunAppStore::verifyInterdeps(const AppNameSet& runSet, std::string& error) const {
    logDebug("RunAppStore::verifyInterdeps() ");
    AppNameSet clean;
    for (const AppName& name : runSet) {
        logDebug("RunAppStore::verifyInterdeps() check");
        if (hasCycle(name, error, clean)) return false;
    }
    return true;
}

bool RunAppStore::hasCycle(const AppName& name, std::string& error, AppNameSet& clean) const {
    // An explicit stack: each step is an application on the path and the
    // next of its dependencies to look at.
    struct Step {
        const Application* app;
        AppNameSet::const_iterator next;
    };
    std::vector<Step> path;
    AppNameSet onPath;
    auto enter = [&](const AppName& entered) {
        const Application* app = findApp(entered);
        if (!app || clean.count(entered)) return;
        logDebug("RunAppStore::hasCycle() " + entered);
        path.push_back({app, app->getDepends().begin()});
        onPath.insert(entered);
    };
    enter(name);
    while (!path.empty()) {
        Step& top = path.back();
        if (top.next == top.app->getDepends().end()) {
            // No cycle is reachable from here, whatever the path that leads here.
            clean.insert(top.app->getName());
            onPath.erase(top.app->getName());
            path.pop_back();
            continue;
        }
        const AppName& dependency = *top.next++;
        if (onPath.count(dependency)) {
            auto step = path.begin();
            while (!(step->app->getName() == dependency)) ++step;
            error = "interdependence: ";
            for (; step != path.end(); ++step) error += step->app->getName() + " -> ";
            error += dependency;
            return true;
        }
        enter(dependency);
    }
    return false;
}

void RunAppStore::startApps(const AppNameSet& runSet, const std::string& agentAddress,
                            const std::string& pidFileDir) {
    AppStop::start(*this, runSet, m_sleeps, agentAddress, pidFileDir);
}

void RunAppStore::applyRunSet(const AppNameSet& runSet) { AppStore::applyRunSet(runSet, m_sleeps); }

void RunAppStore::diffApps(const AppStore& other, AppNameSet& onlyHere, AppNameSet& onlyThere,
                           AppNameSet& both) const {
    auto here = m_apps.begin();
    auto there = other.getApps().begin();
    while (here != m_apps.end() && there != other.getApps().end()) {
        if (here->first < there->first) {
            onlyHere.insert((here++)->first);
        } else if (there->first < here->first) {
            onlyThere.insert((there++)->first);
        } else {
            both.insert(here->first);
            ++here;
            ++there;
        }
    }
    for (; here != m_apps.end(); ++here) onlyHere.insert(here->first);
    for (; there != other.getApps().end(); ++there) onlyThere.insert(there->first);
}

void RunAppStore::reload(RunAppStore& fresh, const AppNameSet& runSet) {
    // Refused as a whole before anything running is touched.
    fresh.verify(runSet);

    logDebug("monitor meta conf:");
    dump();
    AppNameSet oldApps, newApps, keptApps;
    diffApps(fresh, oldApps, newApps, keptApps);
    for (const AppName& name : oldApps) logInfo("oldApps: " + name);
    for (const AppName& name : newApps) logInfo("newApps: " + name);
    for (const AppName& name : keptApps) logInfo("immutableApps: " + name);

    // Whatever happens below, the dependants index ends up matching the
    // applications that are stored.
    struct Rebuild {
        RunAppStore& store;
        ~Rebuild() { store.buildDependants(); }
    } rebuild{*this};

    for (const AppName& name : oldApps) removeApp(name);
    for (const AppName& name : keptApps) findApp(name)->reconfig(*fresh.findApp(name), m_sleeps);
    for (const AppName& name : newApps) addApp(*fresh.findApp(name));
    buildDependants();
    applyRunSet(runSet);
}
