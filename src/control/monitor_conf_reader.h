// MonitorConfReader: reads the monitor's settings that the configuration
// agent holds (the run list in enterprise mode, the mail daemon's addresses
// and mail transfer agent) into the monitor's settings holder.
#pragma once

#include <functional>
#include <string>

#include "base/vk_time.h"

class ConfReader;

namespace velka {
namespace ipc {
class VkClientProtocol;
}
}  // namespace velka

// The agent's section codes: the monitor's settings and the mail daemon's.
int configSectionMonitor();
int configSectionVarno();

class MonitorConfReader {
public:
    // One exchange with the agent under the deadline; the agent link runs
    // it over its session.
    typedef std::function<bool(velka::ipc::VkClientProtocol&, const velka::base::VkDeadline&)> Exchange;

    // The local root mailbox, for addresses the agent leaves empty.
    static const char* const kRootMailbox;

    explicit MonitorConfReader(ConfReader& settings);

    // Without an agent, "agent session is not created". Otherwise section
    // 40 when varno is set, then section 46 in enterprise mode; a failure
    // of the first skips the second. Failures are logged, never thrown.
    void readConfigFromAgent(const Exchange* agent, bool varno);
    // Replaces the agent run-application set only after a successful read
    // ({AGENT} for a list without a name); a failed one keeps it ({AGENT}
    // when it was never filled) and throws std::runtime_error "cannot read
    // monitor data from velka-agent: ...". Setting names are compared whole,
    // without regard to case.
    void readMonitorConfigFromAgent(const Exchange& agent);
    // Replaces the mail fields after a successful read (an address left
    // empty gets the root mailbox with a warning; a value with a control
    // character is refused with an error record and its field keeps its
    // value); a failed read leaves them and throws "cannot read varno data
    // from velka-agent: ...".
    void readVarnoConfigFromAgent(const Exchange& agent);
    // An empty field takes the default, with a warning naming the key.
    static void warnDefault(std::string& field, const std::string& key, const std::string& def);

private:
    ConfReader& m_settings;
};
