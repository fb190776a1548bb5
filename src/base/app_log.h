// The application's log facade, the two process-wide loggers and the
// flags of a check run.
#pragma once

#include <string>

#include "base/log_class.h"

extern const std::string programName;
extern const std::string productBanner;
extern const std::string logLayoutPattern;

// The application's logger (empty name until initLogSystem) and the IPC
// library's (named "ipc" until initLogSystem).
LogClass& getAppLogger();
LogClass& getIpcLogger();
// The same two loggers by name (bound at static initialisation; code that
// runs before main uses the functions above).
extern LogClass& appLogger;
extern LogClass& ipcLogger;

void logFatal(const std::string& text);
void logError(const std::string& text);
void logWarn(const std::string& text);
void logInfo(const std::string& text);
void logDebug(const std::string& text);
bool isDebugLogging();

// Stores the check-run flag (also the stderr echo) and the check-all flag,
// then runs initLogSystem.
bool configureLogging(const std::string& target, const std::string& appLevel, const std::string& ipcLevel,
                      const std::string& facility, bool stderrEcho, bool checkAll);
// Points both loggers at the target with their levels and the facility.
// False, with the check-failed flag raised, when a step failed; the steps
// done before the failure stay done.
bool initLogSystem(const std::string& target, const std::string& appLevel, const std::string& ipcLevel,
                   const std::string& facility);

void setCheckFailed();
bool isCheckFailed();
bool isCheckAllMode();
bool isCheckRunMode();
