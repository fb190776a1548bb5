// The application store the monitor owns: reads the meta-configuration,
// verifies run sets, starts them, and takes over a re-read configuration
// without restarting what did not change.
#pragma once

#include <stdexcept>
#include <string>

#include "engine/app_store.h"

class RunAppStore : public AppStore {
public:
    class VerifyError : public std::runtime_error {
    public:
        explicit VerifyError(const std::string& text) : std::runtime_error(text) {}
    };

    explicit RunAppStore(bool updateMode);
    ~RunAppStore() override;

    // Every "*.mmc" file of the directory, in listing order, into the store.
    static void parseMetaConf(const std::string& directory, AppStore& store);
    bool hasApp(const AppName& name) const;
    void verify(const AppNameSet& runSet) const;
    bool verifyRunApp(const AppNameSet& runSet, std::string& error) const;
    bool verifyDepends(std::string& error) const;
    bool verifyInterdeps(const AppNameSet& runSet, std::string& error) const;
    // Walks the dependencies from the application on one path; a cycle is
    // described in its own order ("interdependence: a -> b -> a").
    // Applications in clean reach no cycle and are skipped; every one
    // found so is added, so a web of shared dependencies is walked once.
    bool hasCycle(const AppName& name, std::string& error, AppNameSet& clean) const;
    void startApps(const AppNameSet& runSet, const std::string& agentAddress, const std::string& pidFileDir);
    void applyRunSet(const AppNameSet& runSet);
    void diffApps(const AppStore& other, AppNameSet& onlyHere, AppNameSet& onlyThere, AppNameSet& both) const;
    // Verifies the run set against the new store first: a configuration
    // that fails is refused and nothing running changes.
    void reload(RunAppStore& fresh, const AppNameSet& runSet);

    const SleepList& getSleepList() const { return m_sleeps; }

private:
    SleepList m_sleeps;
};
