#include "engine/comp_strategy.h"

#include "engine/component.h"

namespace {
std::string lineOf(const std::string& mode) { return "in " + mode + " mode"; }
}  // namespace

std::string CompStrategy::modeName() const { return std::string(); }
std::string CompStrategy::modeLine() const { return std::string(); }
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
std::string UpdateCompStrategy::modeLine() const { return lineOf(modeName()); }

void CheckOnlyStrategy::start(Component& component, const std::string& path, time_t, int, const std::string&) {
    component.startCheckOnly(*this, path);
}
void CheckOnlyStrategy::addArgs(std::vector<std::string>& args) const { args.push_back("--check-only"); }
std::string CheckOnlyStrategy::modeName() const { return "check-only"; }
std::string CheckOnlyStrategy::modeLine() const { return lineOf(modeName()); }

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
std::string ChangeSocketStrategy::modeLine() const { return lineOf(modeName()); }

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
std::string CheckOnlyWithAlternativeAgentStrategy::modeLine() const { return lineOf(modeName()); }
