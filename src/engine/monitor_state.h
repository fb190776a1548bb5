// The process-wide monitor state word and monitor information record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum MonitorState { MONITOR_INIT = 1, MONITOR_STARTED = 2, MONITOR_STOPPED = 3, MONITOR_END = 4 };

int getMonitorState();
void setMonitorState(int state);
// "INIT", "STARTED", "STOPPED", "END", or "unknown" for any other word.
std::string monitorStateName();
std::string monitorStateName(int state);

// What the letters and the mail informer print and send. Readers get
// copies taken under a shared lock.
class MonitorInfo {
public:
    // Creates the record on first use.
    static MonitorInfo* instance();
    // Deletes the record; the next instance() creates a fresh one.
    static void destroy();

    // Stores the texts and the restart delays as running sums: 10, 20, 30
    // become 10, 30, 60 (the offsets of the attempts from the failure).
    void fill(const std::string& programName, const std::string& osName, const std::string& version,
              const std::string& hostName, const std::vector<uint32_t>& restartTimes);
    void setMailAddresses(const std::string& filterMail, const std::string& adminMail);
    void getMailAddresses(std::string& filterMail, std::string& adminMail) const;
    void getSignatureData(std::string& programName, std::string& osName, std::string& version,
                          std::string& hostName) const;
    std::vector<uint32_t> getRestartTimes() const;

private:
    MonitorInfo() = default;

    std::string m_programName;
    std::string m_filterMail;
    std::string m_adminMail;
    std::string m_osName;
    std::string m_version;
    std::string m_hostName;
    std::vector<uint32_t> m_restartTimes;
};
