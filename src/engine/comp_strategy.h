// Start strategies: which extra words go on a component's command line and
// which start procedure runs (the answer byte, or the "Options OK" check).
#pragma once

#include <ctime>
#include <string>
#include <vector>

class Component;

class CompStrategy {
public:
    virtual void start(Component& component, const std::string& path, time_t failureTime, int attempt,
                       const std::string& appName) = 0;
    virtual void addArgs(std::vector<std::string>& args) const = 0;
    // The mode's short name; empty for the standard start.
    virtual std::string modeName() const;
    // "in <mode name> mode", empty when the mode has no name.
    virtual std::string modeLine() const;
    virtual ~CompStrategy();
};

class StandartCompStrategy : public CompStrategy {
public:
    void start(Component& component, const std::string& path, time_t failureTime, int attempt,
               const std::string& appName) override;
    void addArgs(std::vector<std::string>& args) const override;
};

class UpdateCompStrategy : public CompStrategy {
public:
    void start(Component& component, const std::string& path, time_t failureTime, int attempt,
               const std::string& appName) override;
    void addArgs(std::vector<std::string>& args) const override;
    std::string modeName() const override;
};

class CheckOnlyStrategy : public CompStrategy {
public:
    void start(Component& component, const std::string& path, time_t failureTime, int attempt,
               const std::string& appName) override;
    void addArgs(std::vector<std::string>& args) const override;
    std::string modeName() const override;
};

// Starts the component with another management socket and pid file.
class ChangeSocketStrategy : public CompStrategy {
public:
    ChangeSocketStrategy(const std::string& socketAddress, const std::string& pidFile);
    void start(Component& component, const std::string& path, time_t failureTime, int attempt,
               const std::string& appName) override;
    void addArgs(std::vector<std::string>& args) const override;
    std::string modeName() const override;

private:
    std::string m_socketAddress;
    std::string m_pidFile;
};

// Checks the component's options against another agent: its last word is
// replaced by "--check-only" and the agent address.
class CheckOnlyWithAlternativeAgentStrategy : public CompStrategy {
public:
    explicit CheckOnlyWithAlternativeAgentStrategy(const std::string& agentAddress);
    void start(Component& component, const std::string& path, time_t failureTime, int attempt,
               const std::string& appName) override;
    void addArgs(std::vector<std::string>& args) const override;
    std::string modeName() const override;

private:
    std::string m_agentAddress;
};
