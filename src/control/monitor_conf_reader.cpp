#include "control/monitor_conf_reader.h"

#include <strings.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>

#include "base/app_log.h"
#include "control/config_client.h"
#include "daemon/conf_reader.h"
#include "engine/utils.h"

namespace {

const char* const kClientName = "velka-monitor";

bool sameName(const std::string& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

// One section read under the response time; a false result is a failure.
void readSection(const MonitorConfReader::Exchange& agent, velka::varno::VkConfigClient& client, int seconds) {
    const velka::base::VkDeadline deadline(velka::base::VkTimeout(seconds, velka::base::VkTimeout::Seconds));
    if (!agent(client, deadline)) throw std::runtime_error("the agent's answer was not accepted");
}

}  // namespace

const char* const MonitorConfReader::kRootMailbox = "root";

int configSectionMonitor() { return 46; }
int configSectionVarno() { return 40; }

MonitorConfReader::MonitorConfReader(ConfReader& settings) : m_settings(settings) {}

void MonitorConfReader::readConfigFromAgent(const Exchange* agent, bool varno) {
    logDebug("MonitorConfReader::readConfigFromAgent()");
    try {
        if (agent == nullptr || !*agent) throw std::runtime_error("agent session is not created");
        if (varno) readVarnoConfigFromAgent(*agent);
        if (m_settings.isEnterpriseMode()) readMonitorConfigFromAgent(*agent);
    } catch (const std::exception& e) {
        logError(e.what());
    }
}

void MonitorConfReader::readMonitorConfigFromAgent(const Exchange& agent) {
    logDebug("MonitorConfReader::readMonitorConfigFromAgent( baseDir )");
    std::string runList;
    try {
        velka::varno::VkConfigClient client(configSectionMonitor(), kClientName, ::getpid(), false);
        readSection(agent, client, m_settings.getAgentResponseTime());
        for (const auto& value : client.GetValues()) {
            if (sameName(value.first, "monitor/runapplist"))
                runList = value.second;
            else
                logWarn("unknown parameter: " + value.first + " = " + value.second);
        }
    } catch (const std::exception& e) {
        // An empty set would stop every application, the agent included:
        // the set that was read last stays.
        if (m_settings.getAgentRunApps().empty()) m_settings.setAgentRunApps(AppNameSet{kAgentAppName});
        throw std::runtime_error(std::string("cannot read monitor data from velka-agent: ") + e.what());
    }
    AppNameSet apps;
    if (runList.empty()) {
        apps.insert(kAgentAppName);
    } else {
        std::vector<std::string> names;
        Utils::split(runList.c_str(), ",", names);
        for (const std::string& name : names) apps.insert(name);
    }
    m_settings.setAgentRunApps(apps);
    logDebug("agent sent run app list: " + runList);
}

void MonitorConfReader::readVarnoConfigFromAgent(const Exchange& agent) {
    logDebug("MonitorConfReader::readVarnoConfigFromAgent( baseDir )");
    std::string admin, filter, mta;
    try {
        velka::varno::VkConfigClient client(configSectionVarno(), kClientName, ::getpid(), false);
        readSection(agent, client, m_settings.getAgentResponseTime());
        for (const auto& value : client.GetValues()) {
            if (sameName(value.first, "notifier/adminmail"))
                admin = value.second;
            else if (sameName(value.first, "notifier/filtermail"))
                filter = value.second;
            else if (sameName(value.first, "monitor/mta"))
                mta = boost::algorithm::to_upper_copy(value.second);
        }
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot read varno data from velka-agent: ") + e.what());
    }
    warnDefault(admin, "/Notifier/AdminMail", kRootMailbox);
    warnDefault(filter, "/Notifier/FilterMail", kRootMailbox);
    m_settings.setFilterMail(filter);
    m_settings.setAdminMail(admin);
    m_settings.setMta(mta);
}

void MonitorConfReader::warnDefault(std::string& field, const std::string& key, const std::string& def) {
    if (!field.empty()) return;
    logWarn("parameter \"" + key + "\" from varno configuration not defined, use default value \"" + def + "\"");
    field = def;
}
