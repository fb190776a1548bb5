#include "daemon/monitor_factory.h"

#include "control/session_agent_link.h"

std::unique_ptr<Monitor> createMonitorObject(const std::string& confPath, const std::string& runList,
                                             bool updateMode) {
    return std::make_unique<Monitor>(confPath, runList, updateMode, std::make_unique<SessionAgentLink>());
}
