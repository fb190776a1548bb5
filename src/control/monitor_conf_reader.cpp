#include "control/monitor_conf_reader.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include "base/app_log.h"
#include "control/config_client.h"
#include "daemon/conf_reader.h"
#include "engine/utils.h"

namespace {

const char* const kClientName = "velka-monitor";

// The whole name, without regard to case: "monitor/runapplist\0junk" is
// another name.
bool sameName(const std::string& a, const char* b) { return boost::algorithm::iequals(a, std::string(b)); }

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

std::string hexByte(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", c);
    return text;
}

// An agent's text for a log record: control characters escaped, so that a
// record stays one line.
std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        out += byte == '\n' ? std::string("\\n") : isControl(byte) ? hexByte(byte) : std::string(1, c);
    }
    return out;
}

// An address or word with a control character would end a mail header or
// a command argument early and start another: true, with an error record
// naming the setting, for such a value.
bool refused(const char* key, const std::string& value) {
    for (size_t i = 0; i < value.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(value[i]);
        if (!isControl(byte)) continue;
        logError(std::string("value of \"") + key + "\" from velka-agent refused: control character " + hexByte(byte) +
                 " at byte " + std::to_string(i) + "; the previous value stays");
        return true;
    }
    return false;
}

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
                logWarn("unknown parameter: " + printable(value.first) + " = " + printable(value.second));
        }
    } catch (const std::exception& e) {
        // An empty set would stop every application, the agent included:
        // the set that was read last stays.
        if (m_settings.getAgentRunApps().empty()) m_settings.setAgentRunApps(AppNameSet{kAgentAppName});
        throw std::runtime_error(std::string("cannot read monitor data from velka-agent: ") + e.what());
    }
    std::vector<std::string> names;
    Utils::split(runList.c_str(), ",", names);
    AppNameSet apps;
    for (const std::string& name : names) apps.insert(name);
    // A list without a name ("", ",") is an empty one: the agent alone.
    if (apps.empty() || (apps.size() == 1 && apps.begin()->empty())) apps = AppNameSet{kAgentAppName};
    m_settings.setAgentRunApps(apps);
    logDebug("agent sent run app list: " + printable(runList));
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
    if (refused("notifier/adminmail", admin)) admin = m_settings.getAdminMail();
    if (refused("notifier/filtermail", filter)) filter = m_settings.getFilterMail();
    if (refused("monitor/mta", mta)) mta = m_settings.getMta();
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
