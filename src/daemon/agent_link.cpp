#include "daemon/agent_link.h"

#include <stdexcept>

#include "base/app_log.h"

void UnreachableAgentLink::open(const std::string& address) {
    throw std::runtime_error("cannot connect to the agent at \"" + address + "\"");
}

void UnreachableAgentLink::readConfig(ConfReader&, bool) { logError("agent session is not created"); }

void UnreachableAgentLink::reportStarted(const Application&, int) {
    throw std::runtime_error("agent session is not created");
}

void UnreachableAgentLink::reportStopped(const Application&, int) {
    throw std::runtime_error("agent session is not created");
}
