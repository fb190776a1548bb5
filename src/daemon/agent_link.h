// The monitor's link to the suite's configuration agent: a session that
// is opened on the agent's address, reads the settings the agent holds
// for the monitor, and reports application starts and stops.
#pragma once

#include <memory>
#include <string>

class Application;
class ConfReader;

class AgentLink {
public:
    virtual ~AgentLink() = default;
    // Opens the session; throws a std::exception when it cannot.
    virtual void open(const std::string& address) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Reads the mail daemon's settings (when varno is set) and, in
    // enterprise mode, the run list into the settings. Logs its failures
    // and passes none on.
    virtual void readConfig(ConfReader& settings, bool varno) = 0;
    // One report exchange each, within responseSeconds; throw on failure.
    virtual void reportStarted(const Application& application, int responseSeconds) = 0;
    virtual void reportStopped(const Application& application, int responseSeconds) = 0;
};

// The link used while the program has no IPC sessions: no connection can
// be made, so the monitor logs starts and stops instead of reporting them.
class UnreachableAgentLink : public AgentLink {
public:
    void open(const std::string& address) override;
    void close() override {}
    bool isOpen() const override { return false; }
    void readConfig(ConfReader& settings, bool varno) override;
    void reportStarted(const Application& application, int responseSeconds) override;
    void reportStopped(const Application& application, int responseSeconds) override;
};
