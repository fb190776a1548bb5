#include "daemon/conf_reader.h"

#include <boost/algorithm/string/predicate.hpp>

#include "base/app_log.h"
#include "engine/conf_parser.h"

namespace {

const char* const kDefaultAgentAddress = "local:/var/velka/ipc/.agent";
const char* const kDefaultRunApp = "AGENT";

}  // namespace

ConfReader::ConfReader(const std::string& confPath) : m_confPath(confPath) {}

void ConfReader::warnValue(const std::string& name, const std::string& what, const std::string& def) {
    logWarn("value of parameter \"" + name + "\" " + what + ". Using default value \"" + def + "\"");
    setCheckFailed();
}

bool ConfReader::isLevelValid(const std::string& word) {
    for (const char* level : {"info", "debug", "alert", "error", "quiet"})
        if (boost::algorithm::iequals(word, level)) return true;
    return false;
}

void ConfReader::reload() {
    logDebug("ConfReader::reload()");
    conf_store_t store;
    {
        conf_parser_t parser(m_confPath);
        parser.load(store);
    }

    m_logLevel = conf_store_get_str_def(store, "/Logging/Level", "info");
    m_ipcLogLevel = conf_store_get_str_def(store, "/Logging/IPCLevel", "error");
    m_syslogFacility = conf_store_get_str_def(store, "/Logging/SyslogFacility", "daemon");
    m_logFileName = conf_store_get_str_def(store, "/Logging/FileName", "syslog");
    if (!isLevelValid(m_logLevel)) {
        warnValue("/Logging/Level", "is wrong", "Info");
        m_logLevel = "info";
    }
    if (!isLevelValid(m_ipcLogLevel)) {
        warnValue("/Logging/IPCLevel", "is wrong", "Error");
        m_ipcLogLevel = "error";
    }
    // A failure is logged there and fails the check; the reading goes on.
    initLogSystem(m_logFileName, m_logLevel, m_ipcLogLevel, m_syslogFacility);

    m_runForeground = conf_store_get_bool_def(store, "/Monitor/RunForeground", false);
    m_user = conf_store_get_str_def(store, "/Monitor/User", "");
    m_group = conf_store_get_str_def(store, "/Monitor/Group", "");
    m_chDir = conf_store_get_str_def(store, "/Monitor/ChDir", "");
    m_metaConfigDir = conf_store_get_dir_def(store, "/Monitor/MetaConfigDir", "/etc/velka/monitor.meta");
    m_mainLoopWait = 1;
    m_injectCmd = conf_store_get_str_def(store, "/Monitor/InjectCmd", "/usr/sbin/sendmail -t");
    m_agentResponseTime = conf_store_get_int_range_def(store, "/Monitor/AgentResponseTime", 1, 3600, 30);

    // Each list is replaced by what the file holds now. An absent key
    // counts as an empty list; only the keys with a default warn.
    m_agentAddresses.clear();
    try {
        conf_store_get_str_vector(store, "/Monitor/AgentAddress", m_agentAddresses);
    } catch (const conf_store_exception_t&) {
    }
    if (m_agentAddresses.empty()) {
        warnValue("/Monitor/AgentAddress", "is empty", kDefaultAgentAddress);
        m_agentAddresses.push_back(kDefaultAgentAddress);
    }

    m_pidFileDir = conf_store_get_dir_def(store, "/Monitor/PidFileDir", "/var/velka/run/");

    // The control server listens only when addresses are given.
    m_addresses.clear();
    try {
        conf_store_get_str_list(store, "/Monitor/Address", m_addresses);
    } catch (const conf_store_exception_t&) {
    }

    m_timeout = conf_store_get_int_range_def(store, "/Monitor/Timeout", 1, 3600, 30);

    std::vector<std::string> runApps;
    try {
        conf_store_get_str_vector(store, "/Monitor/RunAppList", runApps);
    } catch (const conf_store_exception_t&) {
    }
    m_runApps = AppNameSet(runApps.begin(), runApps.end());
    if (m_runApps.empty()) {
        warnValue("/Monitor/RunAppList", "is empty", kDefaultRunApp);
        m_runApps.insert(kDefaultRunApp);
    }

    m_enterpriseMode = conf_store_get_bool_def(store, "/Monitor/UseEnterpriseMode", false);

    // An empty list is a valid choice (no restarts); a missing key is not.
    try {
        conf_store_get_int_list(store, "/Monitor/RecoveryTimeList", m_recoveryTimes);
    } catch (const conf_store_exception_t& e) {
        m_recoveryTimes.clear();
        conf_store_warning(std::string(e.what()) + ". Used value \"\"");
    }
}
