#include "base/app_log.h"

#include <syslog.h>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// Every case runs in a process of its own (one ctest test per case), so the
// process-wide loggers and flags start fresh in each.

TEST(AppLog, BeforeInitTheApplicationLoggerHasNoName) {
    vktest::SyslogCapture capture;
    EXPECT_EQ(appLogger.getName(), "");
    EXPECT_EQ(ipcLogger.getName(), "ipc");
    EXPECT_EQ(&getIpcLogger(), &ipcLogger);
    logInfo("hello %s");
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_NE(capture.texts()[0].find("]  INFO hello %s"), std::string::npos);
    EXPECT_EQ(capture.records()[0].first, LOG_MAIL | LOG_INFO);
}

TEST(AppLog, StartupDefaultsFilterDebugAndIpcBelowError) {
    vktest::SyslogCapture capture;
    ASSERT_TRUE(configureLogging("syslog", "info", "error", "daemon", false, false));
    EXPECT_FALSE(isCheckRunMode());
    EXPECT_FALSE(isCheckAllMode());
    logDebug("not written");
    logInfo("written");
    logWarn("w");
    logError("e");
    logFatal("f");
    EXPECT_FALSE(isDebugLogging());
    EXPECT_FALSE(getIpcLogger().isWarnEnabled());
    EXPECT_TRUE(getIpcLogger().isErrorEnabled());
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_NE(records[0].second.find("] monitor INFO written"), std::string::npos);
    EXPECT_EQ(records[0].first, LOG_DAEMON | LOG_INFO);
    EXPECT_EQ(records[3].first, LOG_DAEMON | LOG_CRIT);
    EXPECT_EQ(getIpcLogger().getName(), "monitor");
    EXPECT_FALSE(isCheckFailed());
}

TEST(AppLog, CheckRunEchoesToStderrAndStoresFlags) {
    vktest::SyslogCapture capture;
    ASSERT_TRUE(configureLogging("syslog", "info", "error", "daemon", true, true));
    EXPECT_TRUE(isCheckRunMode());
    EXPECT_TRUE(isCheckAllMode());
    EXPECT_TRUE(appLogger.getStderrEcho());
    EXPECT_TRUE(ipcLogger.getStderrEcho());
    testing::internal::CaptureStderr();
    logInfo("checked");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("] monitor INFO checked\n"), std::string::npos);
    EXPECT_EQ(err.find("[")+0, 25u);  // the time text comes first
}

TEST(AppLog, BadFacilityLeavesBothLoggersAsTheyWereAndFailsTheCheck) {
    vktest::TempDir dir;
    ASSERT_TRUE(initLogSystem(dir.file("m.log"), "info", "error", "mail"));
    EXPECT_FALSE(isCheckFailed());
    EXPECT_FALSE(initLogSystem("syslog", "debug", "debug", "Local9"));
    EXPECT_TRUE(isCheckFailed());
    EXPECT_EQ(appLogger.getLevel(), 4);
    EXPECT_EQ(appLogger.getFacility(), LOG_MAIL);
    EXPECT_EQ(ipcLogger.getLevel(), 2);
    EXPECT_EQ(appLogger.getName(), "monitor");
    EXPECT_EQ(LogClass::currentFile(), dir.file("m.log"));
    const auto lines = vktest::readLines(dir.file("m.log"));
    // The facility message ends in a newline of its own, so the record
    // closes with an empty line.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "");
    EXPECT_NE(lines[0].find(" monitor ERROR error init log system: Error in SyslogFacility value Local9. "
                            "Use Daemon | Mail | Local0-7"),
              std::string::npos)
        << lines[0];
    initLogSystem("syslog", "info", "error", "mail");
}

TEST(AppLog, UnopenableFileKeepsTargetAppLoggerTakesNewSettings) {
    vktest::SyslogCapture capture;
    ASSERT_TRUE(initLogSystem("syslog", "info", "error", "mail"));
    EXPECT_FALSE(initLogSystem("/nonexistent-dir/x/m.log", "debug", "info", "local1"));
    EXPECT_TRUE(isCheckFailed());
    EXPECT_EQ(LogClass::currentFile(), "");
    EXPECT_EQ(appLogger.getLevel(), 5);
    EXPECT_EQ(appLogger.getFacility(), LOG_LOCAL1);
    EXPECT_EQ(ipcLogger.getLevel(), 2);
    EXPECT_EQ(ipcLogger.getFacility(), LOG_MAIL);
    EXPECT_TRUE(capture.contains(" monitor ERROR error init log system: error in open log file "
                                 "/nonexistent-dir/x/m.log for writing: No such file or directory"));
}

TEST(AppLog, BadIpcLevelKeepsIpcLevelButAppliesApplicationSettings) {
    vktest::SyslogCapture capture;
    ASSERT_TRUE(initLogSystem("syslog", "info", "error", "mail"));
    EXPECT_FALSE(initLogSystem("syslog", "debug", "warn", "daemon"));
    EXPECT_EQ(appLogger.getLevel(), 5);
    EXPECT_EQ(appLogger.getFacility(), LOG_DAEMON);
    EXPECT_EQ(ipcLogger.getLevel(), 2);
    EXPECT_EQ(ipcLogger.getFacility(), LOG_MAIL);
    EXPECT_TRUE(capture.contains("error init log system: Error in level value warn."));
    EXPECT_TRUE(isCheckFailed());
}

TEST(AppLog, ProgramStrings) {
    EXPECT_EQ(programName, "velka-monitor");
    EXPECT_EQ(productBanner, "Velka (R) Components Monitor");
    EXPECT_EQ(logLayoutPattern, "%-7r %-5p %x %m%n");
    setCheckFailed();
    EXPECT_TRUE(isCheckFailed());
}

}  // namespace
