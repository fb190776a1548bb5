// End-to-end runs of the velka-monitor program against the stand-in agent:
// the run list in enterprise mode, the mail settings, the start and stop
// reports, failed and hostile answers, and an agent that is not there.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/utils.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using vktest::eventually;

struct Component {
    std::string name, argv, user;
};

class AgentLinkProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::chmod(dir.path().c_str(), 0755);  // components of another user reach their program
        for (const char* sub : {"meta", "run", "bin"}) std::filesystem::create_directories(dir.file(sub));
        std::filesystem::create_symlink(VK_STAND_IN_AGENT, dir.file("bin/agentd"));
    }
    void TearDown() override {
        if (daemon > 0) stopDaemon();
        if (agent > 0) {
            ::kill(agent, SIGTERM);
            ::waitpid(agent, nullptr, 0);
        }
        EXPECT_TRUE(eventually([&] { return vktest::processesStartingWith(dir.file("bin/")).empty(); }, 5));
    }
    void writeConf(const std::string& runList, bool enterprise = false, int responseTime = 1,
                   const std::string& agentAddress = "") {
        vktest::writeFile(dir.file("monitor.conf"),
                          "[Logging]\nLevel = debug\nFileName = " + dir.file("monitor.log") +
                              "\n[Monitor]\nRunForeground = yes\nRecoveryTimeList = 1\nMetaConfigDir = " + dir.file("meta") +
                              "\nPidFileDir = " + dir.file("run") + "\nInjectCmd = cat >> " + dir.file("mail.txt") +
                              "\nAgentAddress = " + (agentAddress.empty() ? "local:" + dir.file("agent") : agentAddress) +
                              "\nRunAppList = " + runList + "\nUseEnterpriseMode = " + (enterprise ? "yes" : "no") +
                              "\nAgentResponseTime = " + std::to_string(responseTime) + "\n");
    }
    void writeApp(const std::string& name, const std::vector<Component>& components) {
        std::string text = "APPLICATION " + name + "\nPATH \"" + dir.file("bin") + "\"\nCOMPONENTS\n";
        for (const Component& c : components) {
            if (!std::filesystem::exists(dir.file("bin/" + c.name)))
                std::filesystem::create_symlink(VK_SAMPLE_COMPONENT, dir.file("bin/" + c.name));
            text += c.name + " \"" + c.argv + "\" 5 2 MAIL " + c.user + "\n";
        }
        vktest::writeFile(dir.file("meta/" + name + ".mmc"), text + "ENDCOMPONENTS\nENDAPPLICATION\n");
    }
    // The agent's options; as the AGENT component, or run by the test.
    std::string agentArgs(const std::string& options) {
        return "--socket local:" + dir.file("agent") + " --log " + dir.file("agent.log") + " --pid-file " +
               dir.file("agent.pid") + (options.empty() ? "" : " " + options);
    }
    void startAgent(const std::string& options) {
        std::vector<std::string> argv{VK_STAND_IN_AGENT};
        Utils::splitArgs(VK_STAND_IN_AGENT, agentArgs(options), argv);
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        agent = Utils::spawn(argv, -1, devNull, -1);
        ::close(devNull);
        ASSERT_TRUE(eventually([&] { return std::filesystem::exists(dir.file("agent.pid")); }));
    }
    void startDaemon() {
        daemon = Utils::spawn({VK_MONITOR_BINARY, "-c", dir.file("monitor.conf")}, -1, -1, -1);
        ASSERT_TRUE(eventually([&] { return logHas("Velka (R) Components Monitor started"); }));
    }
    void stopDaemon() {
        ::kill(daemon, SIGTERM);
        int status = -1;
        ::waitpid(daemon, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        daemon = -1;
    }
    std::string logText() { return vktest::readFile(dir.file("monitor.log")); }
    bool logHas(const std::string& fragment) { return logText().find(fragment) != std::string::npos; }
    size_t logCount(const std::string& fragment) {
        const auto lines = vktest::readLines(dir.file("monitor.log"));
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(fragment) != std::string::npos; });
    }
    std::vector<std::string> agentLog(const std::string& kind) {
        std::vector<std::string> lines;
        for (const std::string& line : vktest::readLines(dir.file("agent.log")))
            if (line == kind || line.compare(0, kind.size() + 1, kind + " ") == 0) lines.push_back(line);
        return lines;
    }
    bool running(const std::string& component) { return !vktest::processesStartingWith(dir.file("bin/" + component)).empty(); }
    long rssKiB(pid_t pid) {
        for (const std::string& line : vktest::readLines("/proc/" + std::to_string(pid) + "/status"))
            if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
        return -1;
    }

    vktest::TempDir dir;
    pid_t daemon = -1;
    pid_t agent = -1;  // when the test runs it
};

TEST_F(AgentLinkProgramTest, EnterpriseModeTakesTheRunListFromTheAgent) {
    struct Case {
        const char* name;
        std::string options, record;
        bool app1;
    } cases[] = {
        {"run list", "--runapplist AGENT,APP1", "agent sent run app list: AGENT,APP1\n", true},
        {"no run list", "", "agent sent run app list: \n", false},
        {"extra key", "--runapplist AGENT,APP1 --key monitor/timeout=5", "unknown parameter: monitor/timeout = 5", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* file : {"monitor.log", "agent.log"}) std::filesystem::remove(dir.file(file));
        writeConf("APP1", true);
        writeApp("AGENT", {{"agentd", agentArgs(c.options), "-"}});
        writeApp("APP1", {{"app1d", "", "-"}});
        startDaemon();
        EXPECT_TRUE(logHas(c.record));
        EXPECT_EQ(running("app1d"), c.app1);
        const std::string text = logText();
        EXPECT_LT(text.find("application \"AGENT\" has been started"), text.find("application \"APP1\" has been started"));
        EXPECT_THAT(agentLog("config").at(0), HasSubstr("type=1 section=46 client=\"velka-monitor\" pid=" + std::to_string(daemon) +
                                                         " hex=00 00 20 03 00 00 00 01 00 00 00 2E 00 00 00 0D"));
        stopDaemon();
        EXPECT_FALSE(std::filesystem::exists(dir.file("agent")));  // the monitor stopped the agent too
    }
}

// Reads that fail after the start keep every application running; hostile
// answers are refused without the monitor's memory growing.
TEST_F(AgentLinkProgramTest, FailedReadsKeepTheRunSet) {
    const std::string cannot = "cannot read monitor data from velka-agent: ";
    struct Case {
        const char* name;
        std::string fault, record;
    } cases[] = {
        {"code 2", "--code46 2", cannot + "ConfigClient::ParseResponse - invalid response code"},
        {"delay", "--delay 2500", cannot + "a waiting of VkSocket::Receive: timed out"},
        {"silent", "--silent", cannot + "a waiting of VkSocket::Receive: timed out"},
        {"hostile count", "--hostile count", cannot + "ConfigClient::ParseResponse - invalid count of values ->2147483647"},
        {"hostile length", "--hostile length", cannot + "DdpUnit::GetString: length 2147483647 exceeds the limit"},
        {"hostile negative", "--hostile negative", cannot + "ConfigClient::ParseResponse - invalid count of values ->-1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* file : {"monitor.log", "agent.log", "agent.pid"}) std::filesystem::remove(dir.file(file));
        writeConf("APP1", true);
        writeApp("AGENT", {{"agentd", agentArgs("--runapplist AGENT,APP1 --faults-on-usr1 " + c.fault), "-"}});
        writeApp("APP1", {{"app1d", "", "-"}});
        startDaemon();
        ASSERT_TRUE(eventually([&] { return running("app1d"); }));
        const long rss = rssKiB(daemon);
        ::kill(std::stoi(vktest::readFile(dir.file("agent.pid"))), SIGUSR1);
        ASSERT_TRUE(eventually([&] { return !agentLog("signal USR1").empty(); }));
        ::kill(daemon, SIGHUP);
        // The reload reads the run list twice: for the run set, then again
        // after it reconnected.
        EXPECT_TRUE(eventually([&] { return logCount(c.record) == 2; })) << logText();
        EXPECT_TRUE(running("app1d"));
        EXPECT_TRUE(running("agentd"));
        EXPECT_EQ(::kill(daemon, 0), 0);
        EXPECT_LT(rssKiB(daemon) - rss, 8 * 1024);
        stopDaemon();
    }
}

TEST_F(AgentLinkProgramTest, MailSettingsComeFromTheAgentWhenVarnoIsSupervised) {
    writeConf("VARNO");
    writeApp("VARNO", {{"varnod", "", "-"}});
    startAgent("--filter filter@example.org --mta postfix");
    startDaemon();
    EXPECT_TRUE(logHas("parameter \"/Notifier/AdminMail\" from varno configuration not defined, use default value \"root\""));
    EXPECT_FALSE(logHas("/Notifier/FilterMail"));
    EXPECT_THAT(agentLog("config").at(0), HasSubstr("section=40 client=\"velka-monitor\" pid=" + std::to_string(daemon)));
    // The letters carry the addresses the agent gave.
    ::kill(vktest::processesStartingWith(dir.file("bin/varnod")).at(0), SIGKILL);
    EXPECT_TRUE(eventually([&] { return vktest::readFile(dir.file("mail.txt")).find("From:filter@example.org\nTo:root\n") == 0; }))
        << vktest::readFile(dir.file("mail.txt"));
}

TEST_F(AgentLinkProgramTest, ReportsStartsAndStopsToTheAgent) {
    writeConf("AGENT, APP1, SOLO", false, 30);
    writeApp("AGENT", {{"agentstub", "", "-"}});
    writeApp("APP1", {{"first", "", "root:root"}, {"second", "", "nobody:nogroup"}});
    writeApp("SOLO", {{"solo", "--on-term=exit", "-"}});
    startAgent("");
    startDaemon();
    ASSERT_TRUE(eventually([&] { return agentLog("start").size() == 2; }));
    const std::string first = std::to_string(vktest::processesStartingWith(dir.file("bin/first")).at(0));
    const std::vector<std::string> starts = agentLog("start");
    EXPECT_THAT(starts[0], HasSubstr(" name=\"APP1\" pid=" + first + " users=\"nobody:nogroup,root:root\" cmdline=\"\" hex=00 00 20 09"));
    EXPECT_THAT(starts[1], HasSubstr(" name=\"SOLO\" pid="));
    EXPECT_THAT(starts[1], HasSubstr(" users=\":\" cmdline=\"--on-term=exit\""));

    writeConf("AGENT, SOLO", false, 30);
    ::kill(daemon, SIGHUP);
    ASSERT_TRUE(eventually([&] { return logHas("application \"APP1\" has been stopped"); }));
    ASSERT_TRUE(eventually([&] { return agentLog("stop").size() == 1; }));
    EXPECT_THAT(agentLog("stop")[0], HasSubstr(" name=\"APP1\" pid=" + first + " hex=00 00 20 0A"));
    for (const std::string& line : vktest::readLines(dir.file("agent.log"))) EXPECT_THAT(line, Not(HasSubstr("AGENT")));

    // The agent goes away: the next report fails at once, not after the
    // response time.
    ::kill(agent, SIGTERM);
    ::waitpid(agent, nullptr, 0);
    agent = -1;
    writeConf("AGENT", false, 30);
    ::kill(daemon, SIGHUP);
    EXPECT_TRUE(eventually([&] { return logHas("cannot report the stop of application \"SOLO\": the agent does not accept connections"); }, 3));
    stopDaemon();
    EXPECT_EQ(agentLog("stop").size(), 1u);
}

// Nothing listens at a valid address: the monitor starts at once and logs
// every failed report. An address that is none: no session.
TEST_F(AgentLinkProgramTest, AbsentAgentDoesNotStallTheStart) {
    writeConf("APP1,APP2");
    writeApp("APP1", {{"app1d", "", "-"}});
    writeApp("APP2", {{"app2d", "", "-"}});
    const auto start = std::chrono::steady_clock::now();
    startDaemon();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    for (const char* app : {"APP1", "APP2"}) {
        EXPECT_TRUE(logHas("application \"" + std::string(app) + "\" has been started")) << app;
        EXPECT_TRUE(logHas("cannot report the start of application \"" + std::string(app) +
                           "\": the agent does not accept connections (\"local:" + dir.file("agent") + "\": "));
    }
    stopDaemon();

    std::filesystem::remove(dir.file("monitor.log"));
    writeConf("APP1", false, 1, "bogus");
    writeApp("APP1", {{"app1d", "", "-"}});
    startDaemon();
    EXPECT_TRUE(logHas("error conect to agent"));
    EXPECT_TRUE(logHas("agent session is not created"));
    EXPECT_TRUE(logHas("application \"APP1\" started"));
}

}  // namespace
