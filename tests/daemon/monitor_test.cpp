#include "daemon/monitor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/app_log.h"
#include "daemon/updater.h"
#include "engine/comp_strategy.h"
#include "engine/informer.h"
#include "engine/monitor_state.h"
#include "engine/utils.h"
#include "support/log_capture.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;

namespace {

using vktest::eventually;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A monitor whose end-of-work SIGTERM is only recorded.
class TestMonitor : public Monitor {
public:
    using Monitor::Monitor;
    std::atomic<int> selfTerminations{0};

protected:
    void terminateSelf() override {
        ++selfTerminations;
        setState(false);
    }
};

// A monitor.conf, a meta-configuration of sample components, a mail
// stand-in that appends every letter to a file, and the main loop in a
// thread of its own.
class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        initLogSystem("syslog", "debug", "error", "mail");
        setMonitorState(MONITOR_INIT);
        std::filesystem::create_directories(dir.file("meta"));
        std::filesystem::create_directories(dir.file("run"));
        std::filesystem::create_directories(dir.file("bin"));
    }
    void TearDown() override {
        if (monitor) {
            monitor->setState(false);
            if (loop.joinable()) loop.join();
            monitor->stop();
            monitor.reset();
        }
        EXPECT_TRUE(SenderInformer::waitForWorkers(5000));
        EXPECT_TRUE(Updater::instance().reapScripts() || eventually([] { return Updater::instance().reapScripts(); }));
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // no child left
    }
    void writeConf(const std::string& runList, const std::string& recovery = "1, 1") {
        vktest::writeFile(dir.file("monitor.conf"),
                          "[Logging]\nLevel = debug\nFileName = syslog\n"
                          "[Monitor]\nRunForeground = yes\nMetaConfigDir = " + dir.file("meta") +
                              "\nPidFileDir = " + dir.file("run") + "\nInjectCmd = cat >> " + dir.file("mail.txt") +
                              "\nAgentAddress = local:" + dir.file("agent") + "\nRunAppList = " + runList +
                              "\nRecoveryTimeList = " + recovery + "\n");
    }
    // One application per call: components as "name argv" pairs.
    void writeApp(const std::string& file, const std::string& name, const std::string& depends,
                  const std::vector<std::pair<std::string, std::string>>& components) {
        std::string text = "APPLICATION " + name + "\nFULLNAME \"" + name + " service\"\nPATH \"" +
                           dir.file("bin") + "\"\n";
        if (!depends.empty()) text += "DEPENDS " + depends + "\n";
        text += "COMPONENTS\n";
        for (const auto& c : components) {
            link(c.first);
            text += "\"" + c.first + "\" \"" + c.second + "\" 5 2 MAIL -\n";
        }
        text += "ENDCOMPONENTS\nENDAPPLICATION\n";
        vktest::writeFile(dir.file("meta/" + file), text);
    }
    void link(const std::string& name) {
        if (!std::filesystem::exists(dir.file("bin/" + name)))
            std::filesystem::create_symlink(VK_SAMPLE_COMPONENT, dir.file("bin/" + name));
    }
    void create(const std::string& runList = "") {
        monitor.reset(new TestMonitor(dir.file("monitor.conf"), runList, false));
    }
    // The store belongs to the main loop while it runs: tests read it only
    // before startLoop or after stopLoop.
    void startLoop(bool start = true) {
        if (start) monitor->start();
        loop = std::thread([this] { monitor->mainLoop(); });
        ASSERT_TRUE(eventually([this] { return monitor->isMainLoopRunning(); }));
    }
    void stopLoop() {
        monitor->setState(false);
        if (loop.joinable()) loop.join();
    }
    pid_t pidOf(const std::string& app) { return monitor->getStore().findApp(app)->getPid(); }
    std::string mail() { return vktest::readFile(dir.file("mail.txt")); }
    size_t countLog(const std::string& fragment) {
        const auto texts = log.texts();
        return std::count_if(texts.begin(), texts.end(),
                             [&](const std::string& t) { return t.find(fragment) != std::string::npos; });
    }
    size_t logIndex(const std::string& fragment) {
        const auto texts = log.texts();
        for (size_t i = 0; i < texts.size(); ++i)
            if (texts[i].find(fragment) != std::string::npos) return i;
        return texts.size() + 1000;
    }

    vktest::TempDir dir;
    vktest::SyslogCapture log;
    std::unique_ptr<TestMonitor> monitor;
    std::thread loop;
};

TEST_F(MonitorTest, StartsDependenciesFirstAndStopsDependantsFirst) {
    writeConf("TOP");
    writeApp("base.mmc", "BASE", "", {{"based", ""}});
    writeApp("top.mmc", "TOP", "BASE", {{"topd", ""}});
    create();
    startLoop();
    EXPECT_LT(logIndex("application \"BASE\" has been started"), logIndex("application \"TOP\" has been started"));
    EXPECT_TRUE(log.contains("error conect to agent"));
    EXPECT_TRUE(log.contains(" INFO application \"TOP\" started"));
    EXPECT_EQ(MonitorInfo::instance()->getRestartTimes(), (std::vector<uint32_t>{1, 2}));
    // The loop's wait ends with the request, not at the end of its second.
    const auto asked = std::chrono::steady_clock::now();
    monitor->terminate(SIGTERM, "SIGTERM");
    loop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
    EXPECT_FALSE(monitor->isMainLoopRunning());
    monitor->stop();
    EXPECT_LT(logIndex("application \"TOP\" has been stopped"), logIndex("application \"BASE\" has been stopped"));
}

TEST_F(MonitorTest, NothingStartedIsAnInitError) {
    writeConf("LONE");
    vktest::writeFile(dir.file("meta/lone.mmc"),
                      "APPLICATION LONE\nPATH \"" + dir.file("bin") + "\"\nCOMPONENTS\nmissing \"\" 1 1 LOG -\n"
                      "ENDCOMPONENTS\nENDAPPLICATION\n");
    create();
    try {
        monitor->start();
        ADD_FAILURE();
    } catch (const Monitor::InitError& e) {
        EXPECT_STREQ(e.what(), "no applications started");
    }
    writeConf("GHOST");
    create();
    EXPECT_THROW(monitor->verifyFirstRunAppSet(), Monitor::InitError);
}

TEST_F(MonitorTest, KilledComponentIsRestartedOnScheduleWithLetters) {
    writeConf("APP", "1, 1");
    const std::string starts = dir.file("starts");
    writeApp("app.mmc", "APP", "", {{"victim", "--start-file=" + starts}});
    create();
    monitor->start();
    const pid_t pid = pidOf("APP");
    ASSERT_GT(pid, 0);
    startLoop(false);
    const int64_t killedAt = nowMs();
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(eventually([&] { return vktest::readLines(starts).size() == 2; }));
    const int64_t restartedAt = std::stoll(vktest::readLines(starts)[1]);
    EXPECT_GE(restartedAt - killedAt, 1000);
    EXPECT_LT(restartedAt - killedAt, 1500);  // on schedule, not a second recovery step later
    ASSERT_TRUE(eventually([&] { return mail().find("Subject: INFO: Component \"victim\" recovery") != std::string::npos; }));
    EXPECT_THAT(mail(), HasSubstr("To:root\nDate: "));
    EXPECT_THAT(mail(), HasSubstr("Subject: ERROR: Component \"victim\" failed"));
    stopLoop();
    EXPECT_NE(pidOf("APP"), pid);
}

TEST_F(MonitorTest, KilledComponentWhoseChildKeepsItsSocketIsRestarted) {
    writeConf("APP", "0");
    const std::string starts = dir.file("starts");
    writeApp("app.mmc", "APP", "", {{"forker+fork-child=20000", "--start-file=" + starts}});
    create();
    monitor->start();
    const pid_t first = pidOf("APP");
    startLoop(false);
    ::kill(first, SIGKILL);
    EXPECT_TRUE(eventually([&] { return vktest::readLines(starts).size() == 2; }, 5));
    EXPECT_TRUE(eventually([&] { return mail().find("\"forker+fork-child=20000\" failed") != std::string::npos; }));
    stopLoop();
    // The children that kept the sockets go with their process groups.
    ::kill(-first, SIGKILL);
    ::kill(-pidOf("APP"), SIGKILL);
}

TEST_F(MonitorTest, AReusedPidBelongsToTheComponentRunningUnderIt) {
    writeConf("A, B", "0");
    writeApp("a.mmc", "A", "", {{"ad", ""}});
    writeApp("b.mmc", "B", "", {{"bd", ""}});
    create();
    monitor->start();
    Application& a = *monitor->getStore().findApp("A");
    Application& b = *monitor->getStore().findApp("B");
    const pid_t reused = a.getPid();
    a.stop();
    // B starts again under A's old pid: the kernel's next pid is steered
    // where this is allowed (other processes may take it first).
    StandartCompStrategy strategy;
    for (int tries = 0; tries < 50 && b.getPid() != reused; ++tries) {
        b.stop();
        std::ofstream next("/proc/sys/kernel/ns_last_pid");
        if (!(next << reused - 1 << std::flush)) break;
        b.start({}, strategy);
    }
    if (b.getPid() != reused) GTEST_SKIP() << "the next pid cannot be steered here";
    ::kill(reused, SIGKILL);
    // Its failure is seen and its restart is due at once.
    EXPECT_TRUE(eventually([&] {
        monitor->handleFailedComponents(100);
        monitor->runDeferredEvents();
        return b.allComponentsRunning() && b.getPid() != reused;
    }));
    EXPECT_FALSE(log.contains("dropped"));
}

TEST_F(MonitorTest, SystemTimeChangesNeitherDelayNorHurryARestart) {
    writeConf("APP", "1");
    const std::string starts = dir.file("starts"), pidFile = dir.file("pid");
    writeApp("app.mmc", "APP", "", {{"victim", "--start-file=" + starts + " --pid-file " + pidFile}});
    create();
    std::atomic<int64_t> shiftMs{0};
    monitor->getEvents().setWallClock([&shiftMs] { return nowMs() + shiftMs; });
    startLoop();
    pid_t pid = 0;
    for (const int64_t jumpMs : {-3600 * 1000, 3600 * 1000}) {
        SCOPED_TRACE(jumpMs);
        shiftMs = 0;
        const size_t startsBefore = vktest::readLines(starts).size();
        // The replacement notes its start before it writes its pid file.
        const pid_t previous = pid;
        ASSERT_TRUE(eventually([&] {
            const std::string text = vktest::readFile(pidFile);
            pid = text.empty() || text.back() != '\n' ? 0 : std::stoi(text);
            return pid > 0 && pid != previous;
        }));
        const int64_t killedAt = nowMs();
        ::kill(pid, SIGKILL);
        // The system time jumps by an hour once the failure has been seen.
        const std::string seen = "component \"victim\" fault, pid=" + std::to_string(pid);
        ASSERT_TRUE(eventually([&] { return log.contains(seen); }));
        shiftMs = jumpMs;
        ASSERT_TRUE(eventually([&] { return vktest::readLines(starts).size() == startsBefore + 1; }, 5));
        const int64_t restartedAt = std::stoll(vktest::readLines(starts).back());
        EXPECT_GE(restartedAt - killedAt, 1000);
        EXPECT_LT(restartedAt - killedAt, 1500);
    }
    stopLoop();  // the clock above goes with this scope
    EXPECT_EQ(mail().find("cannot recovery"), std::string::npos);
}

TEST_F(MonitorTest, ComponentThatFailsEveryRestartIsGivenUp) {
    writeConf("APP", "1, 1");
    writeApp("app.mmc", "APP", "", {{"doomed", ""}});
    create();
    monitor->start();
    const pid_t pid = pidOf("APP");
    startLoop(false);
    std::filesystem::remove(dir.file("bin/doomed"));
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(eventually([&] { return mail().find("cannot recovery") != std::string::npos; }));
    EXPECT_THAT(mail(), HasSubstr("Subject: ERROR: Component \"doomed\" cannot recovery"));
    EXPECT_EQ(countLog("Application::startComp( doomed )"), 3u);  // the start and two restarts
    EXPECT_TRUE(eventually([&] { return monitor->selfTerminations > 0; }));
    EXPECT_TRUE(log.contains("all applications have stopped, terminate velka-monitor application"));
}

TEST_F(MonitorTest, ComponentThatExitsByItselfStopsItsApplicationWithoutALetter) {
    writeConf("APP");
    writeApp("app.mmc", "APP", "", {{"quitter+exit-after=300+exit-code=3", ""}});
    create();
    startLoop();
    ASSERT_TRUE(eventually([&] { return monitor->selfTerminations > 0; }));
    EXPECT_TRUE(log.contains("one component from application APP is fault. The application will be stopped"));
    EXPECT_TRUE(log.contains("all applications have stopped, terminate velka-monitor application"));
    EXPECT_EQ(mail().find("Subject:"), std::string::npos);
}

TEST_F(MonitorTest, ReloadAppliesTheNewRunListAndSignalsEveryComponent) {
    writeConf("A");
    const std::string hupsA = dir.file("a.hups"), hupsB = dir.file("b.hups"), hupsC = dir.file("c.hups");
    writeApp("a.mmc", "A", "", {{"ad", "--hup-file=" + hupsA}});
    writeApp("b.mmc", "B", "C", {{"bd", "--hup-file=" + hupsB}});
    writeApp("c.mmc", "C", "", {{"cd", "--hup-file=" + hupsC}});
    create();
    startLoop();
    writeConf("B");
    monitor->requestReload(SIGHUP, "SIGHUP");
    ASSERT_TRUE(eventually([&] { return log.contains("application \"B\" has been started"); }));
    EXPECT_TRUE(log.contains("application \"A\" has been stopped"));
    EXPECT_LT(logIndex("application \"C\" has been started"), logIndex("application \"B\" has been started"));
    EXPECT_LT(logIndex("application \"A\" has been stopped"), logIndex("application \"C\" has been started"));
    EXPECT_TRUE(eventually([&] { return vktest::readLines(hupsB).size() == 1 && vktest::readLines(hupsC).size() == 1; }));
    EXPECT_TRUE(vktest::readLines(hupsA).empty());

    // An application added to the files and to the run list in one reload.
    writeApp("d.mmc", "D", "", {{"dd", ""}});
    writeConf("B, D");
    monitor->requestReload(SIGHUP, "SIGHUP");
    ASSERT_TRUE(eventually([&] { return log.contains("application \"D\" has been started"); }));

    // A cycle in the new files changes nothing.
    stopLoop();
    const pid_t pidB = pidOf("B"), pidC = pidOf("C");
    monitor->setState(true);
    startLoop(false);
    writeApp("c.mmc", "C", "B", {{"cd", "--hup-file=" + hupsC}});
    monitor->requestReload(SIGHUP, "SIGHUP");
    ASSERT_TRUE(eventually([&] { return log.contains("reload error: interdependence: "); }));
    stopLoop();
    EXPECT_EQ(pidOf("B"), pidB);
    EXPECT_EQ(pidOf("C"), pidC);
    EXPECT_TRUE(monitor->getStore().findApp("C")->getDepends().empty());
}

TEST_F(MonitorTest, ReloadStartsWantedApplicationsWhoseStartFailed) {
    writeConf("GOOD, LATE");
    writeApp("good.mmc", "GOOD", "", {{"goodd", ""}});
    writeApp("late.mmc", "LATE", "", {{"lated", ""}});
    std::filesystem::remove(dir.file("bin/lated"));  // missing at start-up
    create();
    startLoop();
    EXPECT_TRUE(log.contains("application \"LATE\" cannot start"));
    const std::string started = " INFO application \"LATE\" has been started";
    auto reloadWith = [&](const std::string& argv) {
        writeApp("late.mmc", "LATE", "", {{"lated", argv}});
        const size_t reloads = countLog("RunAppStore::verifyRunApp()");
        monitor->requestReload(SIGHUP, "SIGHUP");
        ASSERT_TRUE(eventually([&] { return countLog("RunAppStore::verifyRunApp()") > reloads; }));
    };
    reloadWith("");  // the program is back
    ASSERT_TRUE(eventually([&] { return countLog(started) == 1; }));
    reloadWith("--answer=E");  // its new start fails
    ASSERT_TRUE(eventually([&] { return countLog("application \"LATE\" cannot start") == 2; }));
    reloadWith("");
    ASSERT_TRUE(eventually([&] { return countLog(started) == 2; }));
    stopLoop();
    EXPECT_TRUE(monitor->getStore().findApp("LATE")->allComponentsRunning());
}

TEST_F(MonitorTest, HupFilesSignalLockedOwnersAndRemoveStaleOnes) {
    writeConf("APP");
    writeApp("app.mmc", "APP", "", {{"appd", ""}});
    create();
    monitor->setOwnPid(::getpid());
    // A child that holds the lock on its .hup file and reports a SIGHUP.
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        static int reportFd;
        reportFd = report[1];
        signal(SIGHUP, [](int) {
            if (::write(reportFd, "H", 1) < 0) {
            }
        });
        const std::string path = dir.file("run/holder." + std::to_string(::getpid()) + ".hup");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        ::fcntl(fd, F_SETLK, &lock);
        if (::write(ready[1], "R", 1) < 0) {
        }
        for (;;) ::pause();
    }
    ::close(report[1]);
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    vktest::writeFile(dir.file("run/stale.4242.hup"), "");
    vktest::writeFile(dir.file("run/z.hup"), "");
    vktest::writeFile(dir.file("run/x.-1.hup"), "");
    std::filesystem::create_symlink(dir.file("run/stale.4242.hup"), dir.file("run/link.77.hup"));

    std::set<pid_t> pids{holder};
    monitor->processHupFiles(pids);
    ASSERT_EQ(::read(report[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'H');
    EXPECT_TRUE(pids.empty());
    EXPECT_TRUE(log.contains("send HUP signal to component \"holder\" with pid = " + std::to_string(holder)));
    EXPECT_FALSE(std::filesystem::exists(dir.file("run/stale.4242.hup")));
    EXPECT_TRUE(log.contains("unlink not locked hup file \"" + dir.file("run/stale.4242.hup") + "\""));
    EXPECT_TRUE(log.contains("bad hup file format \"" + dir.file("run/z.hup") + "\""));
    EXPECT_TRUE(log.contains("bad hup file format \"" + dir.file("run/x.-1.hup") + "\""));
    EXPECT_TRUE(log.contains("error in open hup file \"" + dir.file("run/link.77.hup") + "\":"));
    EXPECT_TRUE(std::filesystem::exists(dir.file("run/holder." + std::to_string(holder) + ".hup")));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(report[0]);
    ::close(ready[0]);
    ::close(ready[1]);

    pid_t pid = 0;
    std::string name;
    EXPECT_TRUE(Monitor::parseHupFileName("/run/x.123.hup", pid, name));
    EXPECT_EQ(pid, 123);
    EXPECT_EQ(name, "x");
    EXPECT_FALSE(Monitor::parseHupFileName("x.hup", pid, name));
    EXPECT_FALSE(Monitor::parseHupFileName("x.0.hup", pid, name));
    EXPECT_FALSE(Monitor::parseHupFileName("x.12a.hup", pid, name));
}

TEST_F(MonitorTest, OwnPidAmongChangedPidsReloadsTheMonitor) {
    writeConf("APP");
    const std::string hups = dir.file("hups");
    writeApp("app.mmc", "APP", "", {{"appd", "--hup-file=" + hups}});
    create();
    monitor->setOwnPid(999999);
    monitor->start();
    const pid_t pid = pidOf("APP");
    startLoop(false);
    monitor->addChangedConf({999999, pid});
    ASSERT_TRUE(eventually([&] { return log.contains("Monitor::reload()"); }));
    // A SIGHUP for the pid and one from the reload to every component;
    // two that arrive together count once.
    EXPECT_TRUE(eventually([&] { return !vktest::readLines(hups).empty(); }));
    EXPECT_TRUE(log.contains("Monitor::changedConfReload()"));
}

TEST(Update, PreUpdateRunsTheScriptWithOneArgumentPerField) {
    initLogSystem("syslog", "debug", "error", "mail");
    setMonitorState(MONITOR_INIT);  // a stopping monitor refuses updates
    vktest::SyslogCapture log;
    vktest::TempDir dir;
    const std::string cache = dir.file("cache");
    std::filesystem::create_directories(cache + "/unix/scripts");
    std::filesystem::create_directories(cache + "/opt/velka");
    const std::string args = dir.file("pre.args");
    vktest::writeFile(cache + "/unix/scripts/pre-update.sh",
                      "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > " + args + "\n");
    vktest::writeFile(cache + "/opt/velka/post-update.sh",
                      "for a in \"$@\"; do echo \"$a\"; done > " + dir.file("post.args") + ".tmp; mv " +
                          dir.file("post.args") + ".tmp " + dir.file("post.args") + "\n");
    Updater& updater = Updater::instance();
    const std::string marker = dir.file("pwned");
    auto result = updater.PreUpdate(cache, "x; touch " + marker, "20-vlkunix", "MTA", "");
    EXPECT_TRUE(result.first) << result.second;
    EXPECT_EQ(vktest::readLines(args),
              (std::vector<std::string>{cache, "x; touch " + marker, "40", "9", "MTA"}));
    EXPECT_TRUE(updater.isPending());
    updater.run();
    EXPECT_FALSE(updater.isPending());
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(dir.file("post.args")); }));
    EXPECT_EQ(vktest::readLines(dir.file("post.args")), (std::vector<std::string>{cache, "x; touch " + marker}));
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_TRUE(log.contains("update process successful"));
    EXPECT_TRUE(eventually([&] { return updater.reapScripts(); }));

    result = updater.PreUpdate(cache, "s", "other-product", "MTA", "velka:mail");
    EXPECT_TRUE(result.first);
    EXPECT_EQ(vktest::readLines(args), (std::vector<std::string>{cache, "s", "40", "9", "MTA", "velka:mail"}));
    updater.run();
    EXPECT_TRUE(log.contains("cannot update: unknown product \"other-product\""));

    // An update that could never become pending is refused before its
    // script runs, and reported as a failure.
    std::filesystem::remove(args);
    for (const auto& texts : {std::make_pair("", "MTA"), std::make_pair("s", "")}) {
        result = updater.PreUpdate(cache, texts.first, "20-vlkunix", texts.second, "");
        EXPECT_FALSE(result.first);
        EXPECT_THAT(result.second, ::testing::StartsWith("pre-update process error because of "));
        EXPECT_FALSE(updater.isPending());
    }
    EXPECT_FALSE(std::filesystem::exists(args));
    EXPECT_TRUE(std::filesystem::exists(cache));
}

// Each script runs by its path: it sees that path in $0 and finds the
// files beside it through dirname "$0".
TEST(Update, EachScriptSeesItsOwnPathAndItsArguments) {
    initLogSystem("syslog", "debug", "error", "mail");
    setMonitorState(MONITOR_INIT);  // a stopping monitor refuses updates
    vktest::TempDir dir;
    const std::string cache = dir.file("cache");
    struct Script {
        std::string dir, name;
        std::vector<std::string> args;
    };
    const std::vector<Script> scripts{
        {cache + "/unix/scripts", "pre-update.sh", {cache, "s", "40", "9", "MTA", "velka:mail"}},
        {cache + "/opt/velka", "post-update.sh", {cache, "s"}},
    };
    for (const Script& s : scripts) {
        std::filesystem::create_directories(s.dir);
        vktest::writeFile(s.dir + "/neighbour", "beside " + s.name + "\n");
        vktest::writeFile(s.dir + "/" + s.name,
                          "#!/bin/sh\nhere=$(dirname \"$0\")\n"
                          "{ echo \"$0\"; cat \"$here/neighbour\"; for a in \"$@\"; do echo \"$a\"; done; }"
                          " > \"$here/seen.tmp\" && mv \"$here/seen.tmp\" \"$here/seen\"\n");
    }
    Updater& updater = Updater::instance();
    const auto result = updater.PreUpdate(cache, "s", "20-vlkunix", "MTA", "velka:mail");
    EXPECT_TRUE(result.first) << result.second;
    updater.run();
    for (const Script& s : scripts) {
        std::vector<std::string> expected{s.dir + "/" + s.name, "beside " + s.name};
        expected.insert(expected.end(), s.args.begin(), s.args.end());
        EXPECT_TRUE(eventually([&] { return std::filesystem::exists(s.dir + "/seen"); })) << s.name;
        EXPECT_EQ(vktest::readLines(s.dir + "/seen"), expected);
    }
    EXPECT_TRUE(eventually([&] { return updater.reapScripts(); }));
    // A relative path would be looked up from the working directory, not
    // along the directories checked.
    EXPECT_EQ(updater.PreUpdate(cache.substr(1), "s", "20-vlkunix", "MTA", "").second,
              "pre-update process error because of untrusted path: " + cache.substr(1));
    EXPECT_TRUE(std::filesystem::exists(cache));
}

TEST(Update, RequestFieldsThatMayNotReachTheScripts) {
    vktest::TempDir dir;
    std::filesystem::create_directories(dir.file("cache"));
    std::filesystem::create_symlink(dir.file("cache"), dir.file("link"));
    vktest::writeFile(dir.file("file"), "x");
    const std::string cache = dir.file("cache");
    struct Case {
        std::string cache, second, product, mta, userGroup, field;
    };
    const std::vector<Case> cases{
        {cache, "x-1.0,b+c/d@e=f:g", "20-vlkunix", "SENDMAIL", "velka:mail", ""},
        {cache + "/", "s", "p", "m", "", ""},
        {"/", "s", "p", "m", "", "cache directory"},
        {"//", "s", "p", "m", "", "cache directory"},
        {"", "s", "p", "m", "", "cache directory"},
        {"cache", "s", "p", "m", "", "cache directory"},
        {"/tmp/x;touch /tmp/pwn", "s", "p", "m", "", "cache directory"},
        {cache + "/..", "s", "p", "m", "", "cache directory"},
        {dir.path() + "/./cache", "s", "p", "m", "", "cache directory"},
        {dir.file("link"), "s", "p", "m", "", "cache directory"},
        {dir.file("file"), "s", "p", "m", "", "cache directory"},
        {dir.file("missing"), "s", "p", "m", "", "cache directory"},
        {"/" + std::string(4095, 'a'), "s", "p", "m", "", "cache directory"},
        {cache, "a b", "p", "m", "", "second text"},
        {cache, "$(id)", "p", "m", "", "second text"},
        {cache, "-rf", "p", "m", "", "second text"},
        {cache, std::string(256, 's'), "p", "m", "", "second text"},
        {cache, std::string(255, 's'), "p;", "m", "", "product"},
        {cache, "s", "p", "m\n", "", "MTA"},
        {cache, "s", "p", "m", "-u:g", "user:group"},
        {cache, "s", "p", "m", "u:g'", "user:group"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Updater::invalidRequestField(c.cache, c.second, c.product, c.mta, c.userGroup), c.field)
            << c.cache.substr(0, 80) << " | " << c.second.substr(0, 20) << " | " << c.product << " | " << c.mta
            << " | " << c.userGroup;
}

TEST(Update, OnlyARegularScriptRunsAndWithinItsTimeLimit) {
    initLogSystem("syslog", "debug", "error", "mail");
    setMonitorState(MONITOR_INIT);  // a stopping monitor refuses updates
    vktest::TempDir dir;
    Updater& updater = Updater::instance();
    // A script that is a link: refused, its target's mode kept, nothing removed.
    const std::string cache = dir.file("cache");
    std::filesystem::create_directories(cache + "/unix/scripts");
    vktest::writeFile(dir.file("elsewhere.sh"), "#!/bin/sh\ntouch " + dir.file("ran") + "\n");
    ::chmod(dir.file("elsewhere.sh").c_str(), 0600);
    std::filesystem::create_symlink(dir.file("elsewhere.sh"), cache + "/unix/scripts/pre-update.sh");
    auto result = updater.PreUpdate(cache, "s", "20-vlkunix", "MTA", "");
    EXPECT_FALSE(result.first);
    EXPECT_EQ(result.second, "pre-update process error because of untrusted path: " + cache +
                                 "/unix/scripts/pre-update.sh");
    struct stat st;
    ASSERT_EQ(::stat(dir.file("elsewhere.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("ran")));
    EXPECT_TRUE(std::filesystem::exists(cache));

    // A script that runs past its limit is killed with what it started.
    const std::string slow = dir.file("slow");
    std::filesystem::create_directories(slow + "/unix/scripts");
    vktest::writeFile(slow + "/unix/scripts/pre-update.sh",
                      "#!/bin/sh\nsleep 30 &\necho $! > " + dir.file("bg.pid") + "\nwait\n");
    updater.setScriptTimeLimit(1);
    result = updater.PreUpdate(slow, "s", "20-vlkunix", "MTA", "");
    updater.setScriptTimeLimit(Updater::kScriptTimeLimitSeconds);
    EXPECT_FALSE(result.first);
    EXPECT_EQ(result.second, "pre-update process error because of \"" + slow +
                                 "/unix/scripts/pre-update.sh\" was killed after the time limit of 1 s");
    EXPECT_FALSE(updater.isPending());
    const pid_t background = std::stoi(vktest::readFile(dir.file("bg.pid")));
    EXPECT_TRUE(eventually([&] { return ::kill(background, 0) != 0; }, 5));
}

TEST(Update, FailingPreUpdateRemovesOnlyASafeCacheDirectory) {
    initLogSystem("syslog", "debug", "error", "mail");
    setMonitorState(MONITOR_INIT);  // a stopping monitor refuses updates
    vktest::TempDir dir;
    const std::string cache = dir.file("cache");
    std::filesystem::create_directories(cache + "/unix/scripts");
    vktest::writeFile(cache + "/unix/scripts/pre-update.sh", "#!/bin/sh\necho disk full >&2\n");
    Updater& updater = Updater::instance();
    auto result = updater.PreUpdate(cache, "s", "20-vlkunix", "MTA", "");
    EXPECT_FALSE(result.first);
    EXPECT_EQ(result.second, "pre-update process error because of disk full\n");
    EXPECT_FALSE(std::filesystem::exists(cache));
    EXPECT_FALSE(updater.isPending());

    result = updater.PreUpdate("/", "s", "20-vlkunix", "MTA", "");
    EXPECT_FALSE(result.first);
    EXPECT_TRUE(std::filesystem::exists("/etc"));
    result = updater.PreUpdate(dir.path() + "/a b", "s", "20-vlkunix", "MTA", "");
    EXPECT_EQ(result.second, "pre-update process error because of path \"" + dir.path() + "/a b\" is not correct. ch= ");
    // A link to a directory is not followed when the cache is removed.
    std::filesystem::create_directories(dir.file("precious/unix/scripts"));
    vktest::writeFile(dir.file("precious/keep"), "x");
    vktest::writeFile(dir.file("precious/unix/scripts/pre-update.sh"), "#!/bin/sh\nexit 1\n");
    std::filesystem::create_directories(dir.file("cache2"));
    std::filesystem::create_symlink(dir.file("precious/unix"), dir.file("cache2/unix"));
    result = updater.PreUpdate(dir.file("cache2"), "s", "20-vlkunix", "MTA", "");
    EXPECT_FALSE(result.first);
    EXPECT_TRUE(std::filesystem::exists(dir.file("precious/keep")));
}

TEST(Update, OnlyATrustedTreeRuns) {
    initLogSystem("syslog", "debug", "error", "mail");
    setMonitorState(MONITOR_INIT);
    vktest::SyslogCapture log;
    vktest::TempDir dir;  // root's, mode 0700
    Updater& updater = Updater::instance();
    const std::string ran = dir.file("ran"), script = "/unix/scripts/pre-update.sh";
    // Each case spoils one step of a good tree with a command ($c: the cache
    // directory): the answer names that step, nothing runs or changes mode.
    // "-": the tree runs.
    const std::vector<std::pair<std::string, std::string>> cases{
        {"chmod 775 $c", ""},
        {"chmod 1777 $c", ""},  // the cache directory itself is never passed
        {"chmod 757 $c/unix/scripts", "/unix/scripts"},
        {"chown nobody $c/unix", "/unix"},
        {"chmod 664 $c" + script, script},
        {"ln $c" + script + " $c/second", script},
        {"rm $c" + script + "; mkfifo $c" + script, script},
        {"chmod 1777 $c/..", "-"},  // a root-owned sticky directory is passed, once
        {"chmod 1777 $c/.. $c/../..", "/.."},
    };
    std::string cache;
    for (size_t i = 0; i < cases.size(); ++i) {
        cache = dir.file(std::to_string(i) + "/x/cache");
        std::filesystem::create_directories(cache + "/unix/scripts");
        std::filesystem::create_directories(cache + "/opt/velka");
        vktest::writeFile(cache + script, "#!/bin/sh\necho pre >> " + ran + "\n");
        vktest::writeFile(cache + "/opt/velka/post-update.sh", "echo post >> " + ran + "\n");
        std::string output;
        ASSERT_TRUE(Utils::runCommand({"/bin/sh", "-c", "c=" + cache + "; " + cases[i].first}, output)) << output;
        struct stat before, after;
        ::lstat((cache + script).c_str(), &before);
        std::filesystem::remove(ran);
        const auto result = updater.PreUpdate(cache, "s", "20-vlkunix", "MTA", "");
        if (cases[i].second == "-") {
            EXPECT_EQ(vktest::readLines(ran), std::vector<std::string>{"pre"}) << result.second;
            continue;
        }
        const std::string step =
            cases[i].second == "/.." ? dir.file(std::to_string(i) + "/x") : cache + cases[i].second;
        EXPECT_EQ(result.second, "pre-update process error because of untrusted path: " + step) << cases[i].first;
        EXPECT_FALSE(std::filesystem::exists(ran)) << cases[i].first;
        ::lstat((cache + script).c_str(), &after);
        EXPECT_EQ(before.st_mode, after.st_mode) << cases[i].first;
    }
    // The post-update script is checked the same way when its turn comes.
    const std::string accepted = dir.file("7/x/cache");
    ::chmod((accepted + "/opt/velka").c_str(), 0775);
    updater.run();
    EXPECT_TRUE(log.contains("update process error because of untrusted path: " + accepted + "/opt/velka"));
    EXPECT_FALSE(std::filesystem::exists(ran));
}

TEST(Update, AStopRefusesScriptsAndReportsAnUpdateLeftPending) {
    initLogSystem("syslog", "debug", "error", "mail");
    setMonitorState(MONITOR_INIT);
    vktest::SyslogCapture log;
    vktest::TempDir dir;
    Updater& updater = Updater::instance();
    const std::string cache = dir.file("cache");
    std::filesystem::create_directories(cache + "/unix/scripts");
    std::filesystem::create_directories(cache + "/opt/velka");
    vktest::writeFile(cache + "/unix/scripts/pre-update.sh", "#!/bin/sh\necho pre >> " + dir.file("ran") + "\n");
    vktest::writeFile(cache + "/opt/velka/post-update.sh", "echo post >> " + dir.file("ran") + "\n");
    // The stop overtakes an accepted update before its post-update script.
    EXPECT_TRUE(updater.PreUpdate(cache, "s", "20-vlkunix", "MTA", "").first);
    setMonitorState(MONITOR_STOPPED);
    updater.run();
    updater.stop();
    EXPECT_FALSE(updater.isPending());
    EXPECT_TRUE(log.contains("update of product \"20-vlkunix\" from cache directory \"" + cache + "\" not done"));
    // While the monitor stops no script starts.
    EXPECT_EQ(updater.PreUpdate(cache, "s", "20-vlkunix", "MTA", "").second,
              "pre-update process error because of monitor stopping");
    setMonitorState(MONITOR_INIT);
    EXPECT_EQ(vktest::readLines(dir.file("ran")), std::vector<std::string>{"pre"});
}

}  // namespace
