#include "engine/monitor_state.h"

#include <mutex>
#include <shared_mutex>

namespace {

std::shared_mutex stateLock;
int stateWord = MONITOR_INIT;

std::shared_mutex infoLock;  // guards the record and the pointer to it
MonitorInfo* infoRecord = nullptr;

}  // namespace

int getMonitorState() {
    std::shared_lock<std::shared_mutex> guard(stateLock);
    return stateWord;
}

void setMonitorState(int state) {
    std::unique_lock<std::shared_mutex> guard(stateLock);
    stateWord = state;
}

std::string monitorStateName(int state) {
    switch (state) {
        case MONITOR_INIT:
            return "INIT";
        case MONITOR_STARTED:
            return "STARTED";
        case MONITOR_STOPPED:
            return "STOPPED";
        case MONITOR_END:
            return "END";
        default:
            return "unknown";
    }
}

std::string monitorStateName() { return monitorStateName(getMonitorState()); }

MonitorInfo* MonitorInfo::instance() {
    std::unique_lock<std::shared_mutex> guard(infoLock);
    if (!infoRecord) infoRecord = new MonitorInfo;
    return infoRecord;
}

void MonitorInfo::destroy() {
    std::unique_lock<std::shared_mutex> guard(infoLock);
    delete infoRecord;
    infoRecord = nullptr;
}

void MonitorInfo::fill(const std::string& programName, const std::string& osName, const std::string& version,
                       const std::string& hostName, const std::vector<uint32_t>& restartTimes) {
    std::unique_lock<std::shared_mutex> guard(infoLock);
    m_programName = programName;
    m_osName = osName;
    m_version = version;
    m_hostName = hostName;
    m_restartTimes = restartTimes;
    for (size_t i = 1; i < m_restartTimes.size(); ++i) m_restartTimes[i] += m_restartTimes[i - 1];
}

void MonitorInfo::setMailAddresses(const std::string& filterMail, const std::string& adminMail) {
    std::unique_lock<std::shared_mutex> guard(infoLock);
    m_filterMail = filterMail;
    m_adminMail = adminMail;
}

void MonitorInfo::getMailAddresses(std::string& filterMail, std::string& adminMail) const {
    std::shared_lock<std::shared_mutex> guard(infoLock);
    filterMail = m_filterMail;
    adminMail = m_adminMail;
}

void MonitorInfo::getSignatureData(std::string& programName, std::string& osName, std::string& version,
                                   std::string& hostName) const {
    std::shared_lock<std::shared_mutex> guard(infoLock);
    programName = m_programName;
    osName = m_osName;
    version = m_version;
    hostName = m_hostName;
}

std::vector<uint32_t> MonitorInfo::getRestartTimes() const {
    std::shared_lock<std::shared_mutex> guard(infoLock);
    return m_restartTimes;
}
