// The program's choice of monitor object: the control server with the
// agent link over an IPC session.
#include "daemon/monitor_factory.h"

#include "control/monitor_server.h"
#include "control/session_agent_link.h"

std::unique_ptr<Monitor> createMonitorObject(const std::string& confPath, const std::string& runList,
                                             bool updateMode) {
    return std::make_unique<MonitorServer>(confPath, runList, updateMode, std::make_unique<SessionAgentLink>());
}
