#include "daemon/conf_reader.h"

#include <syslog.h>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "engine/conf_parser.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// Each case runs in a process of its own: logging and the check-failed
// flag start fresh.
class ConfReaderTest : public ::testing::Test {
protected:
    ConfReaderTest() : reader(dir.file("monitor.conf")) {}
    void TearDown() override { initLogSystem("syslog", "info", "error", "daemon"); }  // closes a log file
    void reload(const std::string& text) {
        vktest::writeFile(reader.getConfPath(), text);
        reader.reload();
    }
    bool warned(const std::string& text) const { return capture.contains(" WARN " + text); }

    vktest::SyslogCapture capture;
    vktest::TempDir dir;
    ConfReader reader;
};

TEST_F(ConfReaderTest, EmptyFileGivesEveryDefaultWithTheEmptyListWarnings) {
    reload("[Logging]\n");
    EXPECT_EQ(reader.getLogLevel(), "info");
    EXPECT_EQ(reader.getIpcLogLevel(), "error");
    EXPECT_EQ(reader.getSyslogFacility(), "daemon");
    EXPECT_EQ(reader.getLogFileName(), "syslog");
    EXPECT_EQ(appLogger.getLevel(), VK_LOG_INFO);
    EXPECT_EQ(ipcLogger.getLevel(), VK_LOG_ERROR);
    EXPECT_EQ(appLogger.getFacility(), LOG_DAEMON);
    EXPECT_EQ(LogClass::currentFile(), "");
    EXPECT_FALSE(reader.isRunForeground());
    EXPECT_EQ(reader.getMainLoopWait(), 1);
    EXPECT_EQ(reader.getUser() + reader.getGroup() + reader.getChDir(), "");
    EXPECT_EQ(reader.getMetaConfigDir(), "/etc/velka/monitor.meta/");
    EXPECT_EQ(reader.getPidFileDir(), "/var/velka/run/");
    EXPECT_EQ(reader.getInjectCmd(), "/usr/sbin/sendmail -t");
    EXPECT_EQ(reader.getAgentResponseTime(), 30);
    EXPECT_EQ(reader.getTimeout(), 30);
    EXPECT_EQ(reader.getAgentAddresses(), std::vector<std::string>{"local:/var/velka/ipc/.agent"});
    EXPECT_TRUE(reader.getAddresses().empty());
    EXPECT_EQ(reader.getRunApps(), AppNameSet{"AGENT"});
    EXPECT_FALSE(reader.isEnterpriseMode());
    EXPECT_TRUE(reader.getRecoveryTimes().empty());
    EXPECT_EQ(reader.getAdminMail() + reader.getFilterMail() + reader.getMta(), "");
    EXPECT_TRUE(warned("value of parameter \"/Monitor/AgentAddress\" is empty. "
                       "Using default value \"local:/var/velka/ipc/.agent\""));
    EXPECT_TRUE(warned("value of parameter \"/Monitor/RunAppList\" is empty. Using default value \"AGENT\""));
    EXPECT_TRUE(warned("undefined parameter \"/Monitor/RecoveryTimeList\" in config file. Used value \"\""));
    EXPECT_TRUE(isCheckFailed());
}

TEST_F(ConfReaderTest, EveryKeyIsReadWithoutRegardToCaseAndRereadsReplaceTheLists) {
    const std::string text =
        "[logging]\nlevel = DEBUG\nIPCLevel = Alert\nSyslogFacility = Local3\nFileName = " + dir.file("m.log") +
        "\n[MONITOR]\nRunForeground = yes\nUser = velka\nGroup = mail\nChDir = /tmp\n"
        "MetaConfigDir = /opt/meta\nInjectCmd = /bin/mail -t\nAgentResponseTime = 3600\n"
        "AgentAddress = local:/a, inet:1@h\nPidFileDir = /run/v\nAddress = local:/c1\n  , inet:2@*\n"
        "Timeout = 1\nRunAppList = VARNO, AGENT, VARNO\nUseEnterpriseMode = YES\nRecoveryTimeList = 10, 20, 30\n";
    reload(text);
    EXPECT_EQ(appLogger.getLevel(), VK_LOG_DEBUG);
    EXPECT_EQ(ipcLogger.getLevel(), VK_LOG_WARN);
    EXPECT_EQ(appLogger.getFacility(), LOG_LOCAL3);
    EXPECT_EQ(LogClass::currentFile(), dir.file("m.log"));
    reader.setAdminMail("admin@x");
    reader.setAgentRunApps({"MAIL"});

    reload(text);  // the second read logs to the file
    EXPECT_NE(vktest::readFile(dir.file("m.log")).find(" DEBUG ConfReader::reload()"), std::string::npos);
    EXPECT_TRUE(reader.isRunForeground());
    EXPECT_EQ(reader.getUser() + ":" + reader.getGroup() + ":" + reader.getChDir(), "velka:mail:/tmp");
    EXPECT_EQ(reader.getMetaConfigDir(), "/opt/meta/");
    EXPECT_EQ(reader.getPidFileDir(), "/run/v/");
    EXPECT_EQ(reader.getInjectCmd(), "/bin/mail -t");
    EXPECT_EQ(reader.getAgentResponseTime(), 3600);
    EXPECT_EQ(reader.getTimeout(), 1);
    EXPECT_EQ(reader.getAgentAddresses(), (std::vector<std::string>{"local:/a", "inet:1@h"}));
    EXPECT_EQ(reader.getAddresses(), (std::list<std::string>{"local:/c1", "inet:2@*"}));
    EXPECT_EQ(reader.getRunApps(), (AppNameSet{"AGENT", "VARNO"}));
    EXPECT_TRUE(reader.isEnterpriseMode());
    EXPECT_EQ(reader.getRecoveryTimes(), (std::vector<int>{10, 20, 30}));
    EXPECT_EQ(reader.getAdminMail(), "admin@x");
    EXPECT_EQ(reader.getAgentRunApps(), AppNameSet{"MAIL"});
    EXPECT_FALSE(isCheckFailed());

    reload("[Monitor]\nRecoveryTimeList =\n");
    EXPECT_TRUE(reader.getAddresses().empty());
    EXPECT_TRUE(reader.getRecoveryTimes().empty());
    EXPECT_FALSE(warned("RecoveryTimeList"));
}

TEST_F(ConfReaderTest, BadValuesAreWarnedAboutAndReplacedByDefaults) {
    reload(
        "[Logging]\nLevel = warn\nIPCLevel = loud\n[Monitor]\nRunForeground = maybe\nAgentResponseTime = 0\n"
        "Timeout = 4000\nAgentAddress = ,\nRunAppList =\nMetaConfigDir =\nRecoveryTimeList = 5\n");
    EXPECT_EQ(reader.getLogLevel(), "info");
    EXPECT_EQ(reader.getIpcLogLevel(), "error");
    EXPECT_EQ(appLogger.getLevel(), VK_LOG_INFO);
    EXPECT_EQ(ipcLogger.getLevel(), VK_LOG_ERROR);
    EXPECT_EQ(reader.getAgentResponseTime(), 30);
    EXPECT_EQ(reader.getTimeout(), 30);
    EXPECT_EQ(reader.getMetaConfigDir(), "/etc/velka/monitor.meta/");
    EXPECT_EQ(reader.getRunApps(), AppNameSet{"AGENT"});
    EXPECT_EQ(reader.getAgentAddresses().size(), 1u);
    for (const char* text :
         {"value of parameter \"/Logging/Level\" is wrong. Using default value \"Info\"",
          "value of parameter \"/Logging/IPCLevel\" is wrong. Using default value \"Error\"",
          "parameter \"/Monitor/RunForeground\" must be \"yes\" or \"no\". Used value \"no\"",
          "wrong parameter \"/Monitor/AgentResponseTime\": value \"0\" isn't in range [1, 3600]. "
          "Used default value 30",
          "wrong parameter \"/Monitor/Timeout\": value \"4000\" isn't in range [1, 3600]. Used default value 30",
          "parameter \"/Monitor/MetaConfigDir\" is empty. Used value \"/etc/velka/monitor.meta/\"",
          "value of parameter \"/Monitor/AgentAddress\" is empty.",
          "value of parameter \"/Monitor/RunAppList\" is empty."})
        EXPECT_TRUE(warned(text)) << text;
    EXPECT_TRUE(isCheckFailed());
}

TEST_F(ConfReaderTest, UnreadableFileThrowsAndKeepsTheSettings) {
    reload("[Monitor]\nTimeout = 7\nRecoveryTimeList = 1\n");
    ::unlink(reader.getConfPath().c_str());
    EXPECT_THROW(reader.reload(), conf_store_exception_t);
    ConfReader onDirectory(dir.path());
    EXPECT_THROW(onDirectory.reload(), conf_store_exception_t);
    EXPECT_EQ(reader.getTimeout(), 7);
    EXPECT_EQ(reader.getRecoveryTimes(), std::vector<int>{1});
}

}  // namespace
