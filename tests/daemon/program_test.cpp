// End-to-end runs of the velka-monitor program on a temporary directory
// with sample components and a stand-in mail command.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/utils.h"
#include "support/eventually.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;

namespace {

using vktest::eventually;

using vktest::Result;

// Runs the program to its end and collects its output.
Result run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{VK_MONITOR_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return vktest::runProgram(argv);
}

// True once the program with this pid has ended (other tests may run the
// same program meanwhile).
bool ended(pid_t pid) {
    const std::vector<int> running = vktest::processesStartingWith(VK_MONITOR_BINARY);
    return std::find(running.begin(), running.end(), pid) == running.end();
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sub : {"meta", "run", "bin"}) std::filesystem::create_directories(dir.file(sub));
        writeConf("TOP");
        writeApp("base.mmc", "BASE", "", "based", "--hup-file=" + dir.file("base.hups"));
        writeApp("top.mmc", "TOP", "BASE", "topd", "--hup-file=" + dir.file("top.hups"));
        writeApp("extra.mmc", "EXTRA", "BASE", "extrad", "");
    }
    void TearDown() override {
        if (daemon > 0) {
            ::kill(daemon, SIGKILL);
            ::waitpid(daemon, nullptr, 0);
        }
        // No component outlives the test.
        EXPECT_TRUE(eventually([&] { return vktest::processesStartingWith(dir.file("bin/")).empty(); }, 5));
    }
    // A complete monitor.conf (every key given, so a check run passes);
    // entries of "overrides" replace or add keys of the Monitor group.
    void writeConf(const std::string& runList, const std::map<std::string, std::string>& overrides = {}) {
        std::map<std::string, std::string> monitor{{"RunForeground", "yes"},
                                                   {"User", ""},
                                                   {"Group", ""},
                                                   {"ChDir", ""},
                                                   {"AgentResponseTime", "5"},
                                                   {"Timeout", "5"},
                                                   {"UseEnterpriseMode", "no"},
                                                   {"MetaConfigDir", dir.file("meta")},
                                                   {"PidFileDir", dir.file("run")},
                                                   {"InjectCmd", "cat >> " + dir.file("mail.txt")},
                                                   {"AgentAddress", "local:" + dir.file("agent")},
                                                   {"RunAppList", runList},
                                                   {"RecoveryTimeList", "1, 2"}};
        for (const auto& entry : overrides) monitor[entry.first] = entry.second;
        std::string text = "[Logging]\nLevel = debug\nIPCLevel = error\nSyslogFacility = daemon\nFileName = " +
                           dir.file("monitor.log") + "\n[Monitor]\n";
        for (const auto& entry : monitor) text += entry.first + " = " + entry.second + "\n";
        vktest::writeFile(dir.file("monitor.conf"), text);
    }
    void writeApp(const std::string& file, const std::string& name, const std::string& depends,
                  const std::string& component, const std::string& argv) {
        if (!std::filesystem::exists(dir.file("bin/" + component)))
            std::filesystem::create_symlink(VK_SAMPLE_COMPONENT, dir.file("bin/" + component));
        vktest::writeFile(dir.file("meta/" + file),
                          "APPLICATION " + name + "\nPATH \"" + dir.file("bin") + "\"\n" +
                              (depends.empty() ? "" : "DEPENDS " + depends + "\n") + "COMPONENTS\n" + component +
                              " \"" + argv + "\" 5 2 MAIL -\nENDCOMPONENTS\nENDAPPLICATION\n");
    }
    void startDaemon() {
        daemon = Utils::spawn({VK_MONITOR_BINARY, "-c", dir.file("monitor.conf")}, -1, -1, -1);
        ASSERT_TRUE(eventually([&] { return logHas("Velka (R) Components Monitor started"); }));
    }
    int stopDaemon(int signal = SIGTERM) {
        ::kill(daemon, signal);
        int status = 0;
        ::waitpid(daemon, &status, 0);
        daemon = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string logText() { return vktest::readFile(dir.file("monitor.log")); }
    bool logHas(const std::string& fragment) { return logText().find(fragment) != std::string::npos; }
    size_t logAt(const std::string& fragment) { return logText().find(fragment); }
    pid_t componentPid(const std::string& app) {
        // "component "<name>" started <comp ... pid="N"/>"
        const std::string text = logText();
        const size_t at = text.rfind("from application \"" + app + "\" has been started");
        if (at == std::string::npos) return -1;
        const size_t line = text.rfind("pid=\"", at);
        return line == std::string::npos ? -1 : std::atoi(text.c_str() + line + 5);
    }

    vktest::TempDir dir;
    pid_t daemon = -1;
};

TEST_F(ProgramTest, HelpVersionAndCommandLineErrors) {
    Result help = run({"-h", "-v"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("Use: velka-monitor [OPTION]"));
    EXPECT_THAT(help.out, HasSubstr("-C [ --check-only ]"));
    EXPECT_THAT(help.out, HasSubstr("use config file"));
    Result version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "velka-monitor for Linux, version " + Utils::getVersion() + "\n");
    Result bad = run({"--bogus"});
    EXPECT_EQ(bad.status, 6);
    EXPECT_EQ(bad.err, "velka-monitor: unrecognised option '--bogus'\nTry 'velka-monitor --help' for more options");
}

TEST_F(ProgramTest, CheckRunsAndConfigurationErrors) {
    Result ok = run({"-C", "-c", dir.file("monitor.conf")});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "Options OK\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("run/velka-monitor.pid")));

    writeConf("TOP", {{"Timeout", "0"}});
    Result bad = run({"--check-only", "-c", dir.file("monitor.conf")});
    EXPECT_EQ(bad.status, 0);
    EXPECT_THAT(bad.err, HasSubstr("Options ERROR\n"));
    EXPECT_EQ(bad.out, "");

    writeConf("GHOST");
    Result unknown = run({"-C", "-c", dir.file("monitor.conf")});
    EXPECT_THAT(unknown.err, HasSubstr("dependences verification error: cannot find application \"GHOST\" in *.mmc files"));
    EXPECT_THAT(unknown.err, HasSubstr("Options ERROR"));

    Result missing = run({"-c", dir.file("nothing.conf")});
    EXPECT_EQ(missing.status, 8);
    EXPECT_THAT(missing.err, HasSubstr("program create error: "));

    // A run that cannot switch to its configured user never goes on as root.
    writeConf("TOP", {{"User", "no-such-user-x"}});
    Result unswitched = run({"-c", dir.file("monitor.conf")});
    EXPECT_EQ(unswitched.status, 8);
    EXPECT_THAT(unswitched.err, HasSubstr("program create error: cannot change permissions"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("run/velka-monitor.pid")));

    writeConf("TOP");
    writeApp("agent.mmc", "AGENT", "", "agentd", "");
    Result all = run({"-A", "-c", dir.file("monitor.conf")});
    EXPECT_EQ(all.status, 0) << all.err;
    // Debug records echoed on stderr come between the check and its "OK".
    EXPECT_THAT(all.err, HasSubstr("checking \"topd\" component: "));
    EXPECT_THAT(all.err, HasSubstr("has been started in check-only mode"));
    EXPECT_THAT(all.err, HasSubstr("has been started in change-socket mode"));
    EXPECT_EQ(all.out, "Options OK\n");
}

TEST_F(ProgramTest, ForegroundRunSupervisesReloadsAndShutsDownInOrder) {
    startDaemon();
    const std::string pidFile = dir.file("run/velka-monitor.pid");
    EXPECT_EQ(vktest::readFile(pidFile), std::to_string(daemon) + "\n");
    EXPECT_LT(logAt("application \"BASE\" has been started"), logAt("application \"TOP\" has been started"));

    // The signals are blocked in every thread and taken by the main thread,
    // which waits for them in sigwait (the kernel shows them unblocked
    // there while it waits).
    EXPECT_THAT(vktest::readFile("/proc/" + std::to_string(daemon) + "/wchan"), HasSubstr("sigtimedwait"));
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(daemon) + "/task")) {
        if (task.path().filename() == std::to_string(daemon)) continue;
        for (const std::string& line : vktest::readLines(task.path().string() + "/status")) {
            if (line.compare(0, 7, "SigBlk:") != 0) continue;
            const unsigned long long mask = std::stoull(line.substr(8), nullptr, 16);
            for (int s : {SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGTTIN, SIGTTOU})
                EXPECT_TRUE(mask & (1ull << (s - 1))) << task.path() << " signal " << s;
        }
    }
    for (int s : {SIGTTOU, SIGTTIN, SIGPIPE, SIGALRM}) ::kill(daemon, s);
    EXPECT_TRUE(eventually([&] { return logHas("Monitor::inform(): arrived SIGTTIN"); }));

    // A killed component comes back, with its letters.
    const pid_t top = componentPid("TOP");
    ASSERT_GT(top, 0);
    ::kill(top, SIGKILL);
    ASSERT_TRUE(eventually([&] {
        return vktest::readFile(dir.file("mail.txt")).find("Subject: INFO: Component \"topd\" recovery") !=
               std::string::npos;
    }));
    EXPECT_THAT(vktest::readFile(dir.file("mail.txt")), HasSubstr("Subject: ERROR: Component \"topd\" failed"));

    // A reload after the run list changed starts EXTRA and signals the rest.
    writeConf("TOP, EXTRA");
    ::kill(daemon, SIGHUP);
    ASSERT_TRUE(eventually([&] { return logHas("application \"EXTRA\" has been started"); }));
    EXPECT_TRUE(eventually([&] { return vktest::readLines(dir.file("base.hups")).size() == 1; }));

    // A second instance is refused on the pid file's lock.
    Result second = run({"-c", dir.file("monitor.conf")});
    EXPECT_EQ(second.status, 1);
    EXPECT_THAT(second.err, HasSubstr("unable to set lock for file \"" + pidFile + "\""));
    EXPECT_EQ(vktest::readFile(pidFile), std::to_string(daemon) + "\n");

    EXPECT_EQ(stopDaemon(SIGTERM), 0);
    EXPECT_LT(logAt("application \"TOP\" has been stopped"), logAt("application \"BASE\" has been stopped"));
    EXPECT_LT(logAt("application \"EXTRA\" has been stopped"), logAt("application \"BASE\" has been stopped"));
    EXPECT_FALSE(std::filesystem::exists(pidFile));
    EXPECT_TRUE(logHas("Velka (R) Components Monitor shutdown"));
}

TEST_F(ProgramTest, DaemonReportsItsStartToTheWaitingParent) {
    writeConf("TOP", {{"RunForeground", "no"}, {"ChDir", dir.path()}});
    Result started = run({"-c", dir.file("monitor.conf")});
    EXPECT_EQ(started.status, 0) << started.err;
    const std::string pidFile = dir.file("run/velka-monitor.pid");
    ASSERT_TRUE(std::filesystem::exists(pidFile));
    const pid_t pid = std::stoi(vktest::readFile(pidFile));
    EXPECT_EQ(::getsid(pid), pid);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd"), dir.path());
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(pidFile); }));
    EXPECT_TRUE(eventually([&] { return ended(pid); }));

    // Started with its standard descriptors closed and a configuration path
    // relative to a directory it leaves: it still logs, reports its start,
    // and reloads.
    writeConf("TOP", {{"RunForeground", "no"}, {"ChDir", "/"}});
    Result closed = run({"-c", "monitor.conf"});  // relative to the test's directory: refused
    EXPECT_EQ(closed.status, 8);
    const pid_t shell = Utils::spawnShell("cd " + dir.path() + " && exec " + VK_MONITOR_BINARY +
                                              " -c monitor.conf <&- >&- 2>&-",
                                          -1, -1, -1);
    int status = 0;
    ::waitpid(shell, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(pidFile); }));
    const pid_t again = std::stoi(vktest::readFile(pidFile));
    ::kill(again, SIGHUP);
    ASSERT_TRUE(eventually([&] { return logHas("Monitor::reload(): arrived SIGHUP"); }));
    EXPECT_TRUE(eventually([&] { return logHas("RunAppStore::verifyRunApp()") && logHas("immutableApps: TOP"); }));
    EXPECT_FALSE(logHas("not found"));
    ::kill(again, SIGTERM);
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(pidFile); }));
    EXPECT_TRUE(eventually([&] { return ended(again); }));

    // A start that fails reaches the parent's exit status and error output.
    writeConf("LONE", {{"RunForeground", "no"}});
    vktest::writeFile(dir.file("meta/lone.mmc"), "APPLICATION LONE\nPATH \"" + dir.file("bin") +
                                                   "\"\nCOMPONENTS\nnone \"\" 1 1 LOG -\nENDCOMPONENTS\nENDAPPLICATION\n");
    Result failed = run({"-c", dir.file("monitor.conf")});
    EXPECT_EQ(failed.status, 1);
    EXPECT_THAT(failed.err, HasSubstr("global error: no applications started"));
}

}  // namespace
