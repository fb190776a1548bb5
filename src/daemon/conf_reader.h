// The monitor's own settings, read from monitor.conf (groups Logging and
// Monitor); bad or missing values are replaced by defaults with a warning.
#pragma once

#include "engine/app_name.h"

#include <list>
#include <set>
#include <string>
#include <vector>

class ConfReader {
public:
    explicit ConfReader(const std::string& confPath);

    // Reads the file again, reconfigures logging from the Logging group and
    // sets every field that has a key. A file that cannot be read throws
    // conf_store_exception_t before any field changes.
    void reload();

    // Logs 'value of parameter "<name>" <what>. Using default value
    // "<def>"' and marks the configuration check as failed.
    static void warnValue(const std::string& name, const std::string& what, const std::string& def);
    // One of the level words of the configuration, in any case.
    static bool isLevelValid(const std::string& word);

    const std::string& getConfPath() const { return m_confPath; }
    const std::string& getLogFileName() const { return m_logFileName; }
    const std::string& getLogLevel() const { return m_logLevel; }
    const std::string& getIpcLogLevel() const { return m_ipcLogLevel; }
    const std::string& getSyslogFacility() const { return m_syslogFacility; }
    bool isRunForeground() const { return m_runForeground; }
    int getMainLoopWait() const { return m_mainLoopWait; }
    const std::string& getPidFileDir() const { return m_pidFileDir; }
    const std::string& getUser() const { return m_user; }
    const std::string& getGroup() const { return m_group; }
    const std::string& getChDir() const { return m_chDir; }
    const std::string& getMetaConfigDir() const { return m_metaConfigDir; }
    const std::string& getFilterMail() const { return m_filterMail; }
    const std::string& getMta() const { return m_mta; }
    const std::string& getAdminMail() const { return m_adminMail; }
    int getAgentResponseTime() const { return m_agentResponseTime; }
    const std::list<std::string>& getAddresses() const { return m_addresses; }
    int getTimeout() const { return m_timeout; }
    const std::string& getInjectCmd() const { return m_injectCmd; }
    const std::vector<std::string>& getAgentAddresses() const { return m_agentAddresses; }
    const AppNameSet& getRunApps() const { return m_runApps; }
    const AppNameSet& getAgentRunApps() const { return m_agentRunApps; }
    bool isEnterpriseMode() const { return m_enterpriseMode; }
    const std::vector<int>& getRecoveryTimes() const { return m_recoveryTimes; }

    // Filled from the agent; kept across reloads.
    void setFilterMail(const std::string& address) { m_filterMail = address; }
    void setMta(const std::string& mta) { m_mta = mta; }
    void setAdminMail(const std::string& address) { m_adminMail = address; }
    void setAgentRunApps(const AppNameSet& apps) { m_agentRunApps = apps; }

private:
    std::string m_confPath;
    std::string m_logFileName;
    std::string m_logLevel;
    std::string m_ipcLogLevel;
    std::string m_syslogFacility;
    bool m_runForeground = false;
    int m_mainLoopWait = 0;  // seconds
    std::string m_pidFileDir;
    std::string m_user;
    std::string m_group;
    std::string m_chDir;
    std::string m_metaConfigDir;
    std::string m_filterMail;
    std::string m_mta;
    std::string m_adminMail;
    int m_agentResponseTime = 0;  // seconds
    std::list<std::string> m_addresses;
    int m_timeout = 0;  // seconds
    std::string m_injectCmd;
    std::vector<std::string> m_agentAddresses;
    AppNameSet m_runApps;
    AppNameSet m_agentRunApps;
    bool m_enterpriseMode = false;
    std::vector<int> m_recoveryTimes;  // seconds
};
