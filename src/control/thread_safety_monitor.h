// ThreadSafetyMonitor and its Mediator: the request handlers' one way to the
// monitor, with copies of the settings they need under a reader-writer lock.
#pragma once

#include <sys/types.h>

#include <memory>
#include <set>
#include <shared_mutex>
#include <stdexcept>
#include <string>

#include "daemon/agent_link.h"
#include "daemon/monitor.h"

class ThreadSafetyMonitor : public Monitor {
public:
    // The one bridge from the static request handlers to the monitor.
    class Mediator {
    public:
        class Error : public std::logic_error {
        public:
            explicit Error(const std::string& message) : std::logic_error(message) {}
        };

        // Registers the monitor; a second registration throws Error
        // "mediator re-initialization".
        static void init(Monitor* monitor);
        // Undoes the registration of this monitor (another is left alone).
        static void release(Monitor* monitor);
        static void setSettings(const std::string& user, const std::string& group, const std::string& mta);
        static std::string getMta();
        // "" when user and group are both empty, else user + ":" + group.
        static std::string getUserGroup();
        // Hands the pids to the registered monitor's changed-configuration
        // set; throws Error when no monitor is registered.
        static void addChangedConf(const std::set<pid_t>& pids);

    private:
        Mediator() = default;
        static Mediator& instance();

        Monitor* m_monitor = nullptr;
        std::string m_user;
        std::string m_group;
        std::string m_mta;
        std::shared_mutex m_lock;
    };

    ThreadSafetyMonitor(const std::string& confPath, const std::string& runList, bool updateMode,
                        std::unique_ptr<AgentLink> agent = nullptr);
    ~ThreadSafetyMonitor() override;

    void reloadData() override;

protected:
    // Every agent read refreshes the mediator's copies, so an update never
    // sees a mail transfer agent older than the latest read.
    void readConfigFromAgent() override;

private:
    void publishSettings();
};
