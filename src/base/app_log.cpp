#include "base/app_log.h"

#include <atomic>
#include <exception>
#include <sstream>

const std::string programName = "velka-monitor";
const std::string productBanner = "Velka (R) Components Monitor";
const std::string logLayoutPattern = "%-7r %-5p %x %m%n";

namespace {

std::atomic<bool> checkRunFlag{false};
std::atomic<bool> checkAllFlag{false};
std::atomic<bool> checkFailedFlag{false};

void write(int level, const std::string& text) {
    std::ostringstream stream;
    stream << text;
    getAppLogger().log(level, stream.str());
}

}  // namespace

// Never destroyed: threads that still log while the process exits find
// the loggers intact.
LogClass& getAppLogger() {
    static LogClass* logger = new LogClass("");
    return *logger;
}

LogClass& getIpcLogger() {
    static LogClass* logger = new LogClass("ipc");
    return *logger;
}

LogClass& appLogger = getAppLogger();
LogClass& ipcLogger = getIpcLogger();

void logFatal(const std::string& text) {
    if (getAppLogger().isFatalEnabled()) write(VK_LOG_FATAL, text);
}
void logError(const std::string& text) {
    if (getAppLogger().isErrorEnabled()) write(VK_LOG_ERROR, text);
}
void logWarn(const std::string& text) {
    if (getAppLogger().isWarnEnabled()) write(VK_LOG_WARN, text);
}
void logInfo(const std::string& text) {
    if (getAppLogger().isInfoEnabled()) write(VK_LOG_INFO, text);
}
void logDebug(const std::string& text) {
    if (getAppLogger().isDebugEnabled()) write(VK_LOG_DEBUG, text);
}
bool isDebugLogging() { return getAppLogger().isDebugEnabled(); }

bool configureLogging(const std::string& target, const std::string& appLevel, const std::string& ipcLevel,
                      const std::string& facility, bool stderrEcho, bool checkAll) {
    checkRunFlag = stderrEcho;
    checkAllFlag = checkAll;
    return initLogSystem(target, appLevel, ipcLevel, facility);
}

bool initLogSystem(const std::string& target, const std::string& appLevel, const std::string& ipcLevel,
                   const std::string& facility) {
    LogClass& app = getAppLogger();
    LogClass& ipc = getIpcLogger();
    try {
        app.setName("monitor");
        if (!app.init(target, appLevel, facility, checkRunFlag, false, logLayoutPattern)) {
            logError("error init log system");
            setCheckFailed();
            return false;
        }
        ipc.setName("monitor");
        if (!ipc.init(target, ipcLevel, facility, checkRunFlag, false, logLayoutPattern)) {
            logError("error init ipcLog system");
            setCheckFailed();
            return false;
        }
        app.setStderrEcho(checkRunFlag);
        return true;
    } catch (const std::exception& e) {
        logError(std::string("error init log system: ") + e.what());
        setCheckFailed();
        return false;
    }
}

void setCheckFailed() { checkFailedFlag = true; }
bool isCheckFailed() { return checkFailedFlag; }
bool isCheckAllMode() { return checkAllFlag; }
bool isCheckRunMode() { return checkRunFlag; }
