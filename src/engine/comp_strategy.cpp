#include "engine/comp_strategy.h"

#include "engine/component.h"

std::string CompStrategy::modeName() const { return std::string(); }
// "in <mode> mode", or nothing for the standard start, whose mode has no name.
std::string CompStrategy::modeLine() const {
    const std::string mode = modeName();
    return mode.empty() ? std::string() : "in " + mode + " mode";
}
CompStrategy::~CompStrategy() = default;

void StandartCompStrategy::start(Component& component, const std::string& path, time_t failureTime, int attempt,
                                 const std::string& appName) {
    component.startStandart(*this, path, failureTime, attempt, appName);
}
void StandartCompStrategy::addArgs(std::vector<std::string>&) const {}

void UpdateCompStrategy::start(Component& component, const std::string& path, time_t failureTime, int attempt,
                               const std::string& appName) {
    component.startStandart(*this, path, failureTime, attempt, appName);
}
void UpdateCompStrategy::addArgs(std::vector<std::string>& args) const { args.push_back("--update"); }
std::string UpdateCompStrategy::modeName() const { return "update"; }

void CheckOnlyStrategy::start(Component& component, const std::string& path, time_t, int, const std::string&) {
    component.startCheckOnly(*this, path);
}
void CheckOnlyStrategy::addArgs(std::vector<std::string>& args) const { args.push_back("--check-only"); }
std::string CheckOnlyStrategy::modeName() const { return "check-only"; }

ChangeSocketStrategy::ChangeSocketStrategy(const std::string& socketAddress, const std::string& pidFile)
    : m_socketAddress(socketAddress), m_pidFile(pidFile) {}
void ChangeSocketStrategy::start(Component& component, const std::string& path, time_t failureTime, int attempt,
                                 const std::string& appName) {
    component.startStandart(*this, path, failureTime, attempt, appName);
}
void ChangeSocketStrategy::addArgs(std::vector<std::string>& args) const {
    args.push_back("--socket");
    args.push_back(m_socketAddress);
    args.push_back("--pid-file");
    args.push_back(m_pidFile);
}
std::string ChangeSocketStrategy::modeName() const { return "change-socket"; }

CheckOnlyWithAlternativeAgentStrategy::CheckOnlyWithAlternativeAgentStrategy(const std::string& agentAddress)
    : m_agentAddress(agentAddress) {}
void CheckOnlyWithAlternativeAgentStrategy::start(Component& component, const std::string& path, time_t, int,
                                                  const std::string&) {
    component.startCheckOnly(*this, path);
}
void CheckOnlyWithAlternativeAgentStrategy::addArgs(std::vector<std::string>& args) const {
    // The program itself (the first word) is never dropped.
    if (args.size() > 1) args.pop_back();
    args.push_back("--check-only");
    args.push_back(m_agentAddress);
}
std::string CheckOnlyWithAlternativeAgentStrategy::modeName() const { return "check-only"; }
