#include "engine/component.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/app_log.h"
#include "engine/comp_strategy.h"
#include "engine/utils.h"
#include "support/log_capture.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

using vktest::eventually;

std::string procStatus(pid_t pid, const std::string& key) {
    for (const std::string& line : vktest::readLines("/proc/" + std::to_string(pid) + "/status"))
        if (line.compare(0, key.size() + 1, key + ":") == 0) return line.substr(key.size() + 2);
    return "";
}

// Components are links to the sample component program in a directory of
// their own; their names carry the program's options.
class ComponentTest : public ::testing::Test {
protected:
    void SetUp() override {
        initLogSystem("syslog", "debug", "error", "mail");
        path = dir.path() + "/";
        descriptorsBefore = openDescriptors();
    }
    static size_t openDescriptors() {
        size_t n = 0;
        for (auto it = std::filesystem::directory_iterator("/proc/self/fd"); it != std::filesystem::directory_iterator();
             ++it)
            ++n;
        return n;
    }
    Component& make(const std::string& name, const std::string& argv = "") {
        std::filesystem::create_symlink(VK_SAMPLE_COMPONENT, dir.file(name));
        components.emplace_back(new Component(name, true));
        Component& c = *components.back();
        c.setArgv(argv);
        c.setTimeStart(5);
        c.setTimeStop(2);
        c.setLogType(1);
        c.resetInformer();
        return c;
    }
    void TearDown() override {
        for (auto& c : components)
            if (c->isRunning()) c->stop(false);
        components.clear();
        // Every child was reaped and every descriptor closed.
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        EXPECT_EQ(openDescriptors(), descriptorsBefore);
    }
    size_t descriptorsBefore = 0;
    vktest::TempDir dir;
    std::string path;
    vktest::SyslogCapture log;
    std::vector<std::unique_ptr<Component>> components;
    StandartCompStrategy standart;
};

TEST_F(ComponentTest, StandardStartRunsWithTheManagementSocketAndStopsOnTerm) {
    const std::string argvFile = dir.file("argv");
    Component& c = make("comp", "--argv-file=" + argvFile + " 'two words'");
    c.startStandart(standart, path, 0, 0, "App");
    ASSERT_TRUE(c.isRunning());
    EXPECT_GT(c.getPid(), 0);
    std::list<int> fds;
    EXPECT_TRUE(c.getDescriptor(fds));
    EXPECT_THAT(fds, ElementsAre(c.getManagementDescriptor()));
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(argvFile); }));
    EXPECT_THAT(vktest::readLines(argvFile), ElementsAre(path + "comp", "--argv-file=" + argvFile, "two words"));
    EXPECT_TRUE(log.contains("component \"comp\" started <comp name=\"comp\""));
    // The child has a session of its own, an empty signal mask and only
    // descriptors 0 to 2.
    EXPECT_EQ(::getsid(c.getPid()), c.getPid());
    EXPECT_EQ(procStatus(c.getPid(), "SigBlk"), "0000000000000000");
    std::vector<std::string> open;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(c.getPid()) + "/fd"))
        open.push_back(entry.path().filename());
    std::sort(open.begin(), open.end());
    EXPECT_THAT(open, ElementsAre("0", "1", "2"));

    EXPECT_THROW(c.startStandart(standart, path, 0, 0, "App"), std::logic_error);
    EXPECT_TRUE(c.stop(false));  // it exits 0 on SIGTERM
    EXPECT_FALSE(c.isRunning());
    EXPECT_EQ(c.getManagementDescriptor(), -1);
    EXPECT_FALSE(c.getDescriptor(fds));
    EXPECT_FALSE(c.stop(false));
    EXPECT_TRUE(log.contains("cannot stop component \"comp\": is not running"));
}

TEST_F(ComponentTest, SilentComponentIsTerminatedWithNotAnswer) {
    Component& c = make("mute+answer=none+on-term=signal");
    c.setTimeStart(1);
    try {
        c.startStandart(standart, path, 0, 0, "App");
        ADD_FAILURE();
    } catch (const Component::StopedHimself&) {
        ADD_FAILURE() << "died by a signal, not by itself";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "component \"mute+answer=none+on-term=signal\" not answer");
    }
    EXPECT_FALSE(c.isRunning());
    EXPECT_GT(c.getStoppedPid(), 0);
    EXPECT_TRUE(log.contains("terminated by signal 15 (Terminated)"));

    Component& polite = make("polite+answer=none");
    polite.setTimeStart(1);
    EXPECT_THROW(polite.startStandart(standart, path, 0, 0, "App"), Component::StopedHimself);
}

TEST_F(ComponentTest, StopKillsAComponentThatIgnoresTerm) {
    Component& c = make("stubborn+on-term=ignore");
    c.setTimeStop(1);
    c.startStandart(standart, path, 0, 0, "App");
    const pid_t pid = c.getPid();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.stop(false));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(c.getStoppedPid(), pid);
    EXPECT_TRUE(log.contains(" ERROR component \"stubborn+on-term=ignore\" terminated by signal 9 (Killed)"));
}

TEST_F(ComponentTest, StopsWaitForTheExitItself) {
    // Twenty components that exit on SIGTERM, stopped one after another:
    // each stop ends with the exit, not at the next tick of a poll. Under
    // the address sanitizer each exit would first look for leaks, which is
    // not what is measured here.
    ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    for (int i = 0; i < 20; ++i) make("quick" + std::to_string(i)).startStandart(standart, path, 0, 0, "App");
    const auto start = std::chrono::steady_clock::now();
    for (auto& c : components) EXPECT_TRUE(c->stop(false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(ComponentTest, FailedRestartKeepsTheRecoveryKey) {
    Component& c = make("flaky");
    c.startStandart(standart, path, 0, 0, "App");
    const pid_t first = c.getPid();
    ::kill(first, SIGKILL);
    c.fault(first, ::time(nullptr), "App", path, {});
    EXPECT_EQ(c.getRecoveryKey(), first);
    EXPECT_TRUE(c.ownsPid(first));
    std::filesystem::remove(dir.file("flaky"));  // the restart fails
    EXPECT_THROW(c.startStandart(standart, path, ::time(nullptr), 1, "App"), std::runtime_error);
    EXPECT_TRUE(c.ownsPid(first));
    std::filesystem::create_symlink(VK_SAMPLE_COMPONENT, dir.file("flaky"));
    c.startStandart(standart, path, ::time(nullptr), 2, "App");
    EXPECT_EQ(c.getRecoveryKey(), -1);
    EXPECT_FALSE(c.ownsPid(first));
    const pid_t second = c.getPid();
    EXPECT_TRUE(c.ownsPid(second));
    c.stop(false);
    EXPECT_FALSE(c.ownsPid(second));  // the kernel may give it to another process
}

TEST_F(ComponentTest, WrongAnswersFailTheStart) {
    struct Case {
        const char* name;
        const char* message;
    } cases[] = {{"e+answer=E+on-term=signal", "starting error"},
                 {"lf+answer=lf+on-term=signal", "stopped"},
                 {"x+answer=x+on-term=signal", "wrong answer"}};
    for (const Case& k : cases) {
        Component& c = make(k.name);
        try {
            c.startStandart(standart, path, 0, 0, "App");
            ADD_FAILURE() << k.name;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "component \"" + std::string(k.name) + "\" " + k.message);
        }
        EXPECT_FALSE(c.isRunning());
    }
}

TEST_F(ComponentTest, ChildThatEndsEarlyIsReported) {
    Component& quits = make("quits+answer=none+exit-after=0+exit-code=3");
    EXPECT_THROW(
        {
            try {
                quits.startStandart(standart, path, 0, 0, "App");
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "stopped untimely");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(quits.getPid(), -1);

    Component& killed = make("killed+answer=none+kill-after=0");
    try {
        killed.startStandart(standart, path, 0, 0, "App");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "signal 9 (Killed) was catching");
    }
}

TEST_F(ComponentTest, MissingExecutableAndUnknownUser) {
    components.emplace_back(new Component("absent", true));
    Component& absent = *components.back();
    EXPECT_THROW(absent.startStandart(standart, path, 0, 0, "App"), std::runtime_error);
    EXPECT_TRUE(log.contains(" ERROR exec( " + path + "absent ) error: No such file or directory"));
    EXPECT_FALSE(absent.isRunning());

    vktest::writeFile(dir.file("plain"), "#!/bin/sh\n");
    components.emplace_back(new Component("plain", true));
    EXPECT_THROW(components.back()->startStandart(standart, path, 0, 0, "App"), std::runtime_error);
    EXPECT_TRUE(log.contains(" ERROR exec( " + path + "plain ) error: Permission denied"));

    Component& stranger = make("stranger");
    stranger.setUser("no-such-user-x");
    try {
        stranger.startStandart(standart, path, 0, 0, "App");
        ADD_FAILURE();
    } catch (const Utils::error& e) {
        EXPECT_STREQ(e.what(), "getpwnam( \"no-such-user-x\" ) error");
    }
    EXPECT_FALSE(stranger.isRunning());
    EXPECT_EQ(stranger.getPid(), -1);
}

TEST_F(ComponentTest, RunsUnderItsUserWithTheUsersGroupsOnly) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    ::chmod(dir.path().c_str(), 0755);
    Component& c = make("owned");
    c.setUser("nobody");
    c.setGroup("nogroup");
    c.startStandart(standart, path, 0, 0, "App");
    ASSERT_TRUE(c.isRunning());
    const std::string uid = std::to_string(Utils::getUid("nobody"));
    const std::string gid = std::to_string(Utils::getGid("nogroup"));
    EXPECT_THAT(procStatus(c.getPid(), "Uid"), ::testing::StartsWith(uid + "\t" + uid));
    EXPECT_THAT(procStatus(c.getPid(), "Gid"), ::testing::StartsWith(gid + "\t" + gid));
    const std::string groups = procStatus(c.getPid(), "Groups");
    EXPECT_EQ((" " + groups + " ").find(" 0 "), std::string::npos) << groups;
    EXPECT_EQ(c.getUserGroup(), "nobody:nogroup");
    EXPECT_TRUE(c.hasUser());

    // A user without a group runs in the user's own group, not root's.
    Component& userOnly = make("user-only");
    userOnly.setUser("nobody");
    userOnly.startStandart(standart, path, 0, 0, "App");
    const std::string primary = std::to_string(Utils::getPrimaryGid("nobody"));
    EXPECT_THAT(procStatus(userOnly.getPid(), "Gid"), ::testing::StartsWith(primary + "\t" + primary));
}

TEST_F(ComponentTest, FaultSendsALetterOnlyForAChildKilledByASignal) {
    Component& c = make("victim");
    c.startStandart(standart, path, 0, 0, "Victim App");
    const pid_t pid = c.getPid();
    EXPECT_FALSE(c.fault(pid + 1, ::time(nullptr), "Victim App", path, {}));
    EXPECT_TRUE(c.isRunning());
    ::kill(pid, SIGKILL);
    EXPECT_FALSE(c.fault(pid, ::time(nullptr), "Victim App", path, {"Other"}));
    EXPECT_FALSE(c.isRunning());
    EXPECT_TRUE(log.contains(" INFO component \"victim\" fault, pid=" + std::to_string(pid)));
    EXPECT_TRUE(log.contains("LogInform: Date: "));
    EXPECT_TRUE(log.contains("Subject: ERROR: Component \"victim\" failed"));
    EXPECT_TRUE(log.contains("following application(s): \"Other\""));

    Component& quitter = make("quitter+exit-after=100+exit-code=3");
    quitter.setLogType(4);
    quitter.resetInformer();
    quitter.startStandart(standart, path, 0, 0, "Q");
    ::usleep(300000);
    EXPECT_TRUE(quitter.fault(quitter.getPid(), ::time(nullptr), "Q", path, {}));
    EXPECT_TRUE(log.contains("component \"quitter+exit-after=100+exit-code=3\" stopped himself, do not sending report"));
    EXPECT_FALSE(log.contains("cannot inform"));

    quitter.informCannotRecovery(::time(nullptr), "Q", path);  // no informer for log type 4
    EXPECT_TRUE(log.contains(" ERROR cannot inform. Message=Date: "));
}

TEST_F(ComponentTest, RecoveryStartSendsTheRecoveryLetterAndSignalsReachTheChild) {
    const std::string hups = dir.file("hups");
    Component& c = make("back", "--hup-file=" + hups);
    c.startStandart(standart, path, ::time(nullptr) - 5, 2, "App");
    ASSERT_TRUE(c.isRunning());
    EXPECT_TRUE(log.contains("Subject: INFO: Component \"back\" recovery"));
    EXPECT_TRUE(log.contains("component \"back\" recovery <comp"));
    std::set<pid_t> pids{c.getPid(), 99999};
    c.signalIfPidIn(pids, SIGHUP);
    EXPECT_THAT(pids, ElementsAre(99999));
    ASSERT_TRUE(eventually([&] { return vktest::readLines(hups).size() == 1; }));
    c.sendSignal(SIGHUP);
    EXPECT_TRUE(eventually([&] { return vktest::readLines(hups).size() == 2; }));
    EXPECT_TRUE(log.contains("send signal (num=1) to \"back\" pid=" + std::to_string(c.getPid())));
}

TEST_F(ComponentTest, StrategiesAddTheirWords) {
    const std::string argvFile = dir.file("argv");
    Component& c = make("upd", "--argv-file=" + argvFile + " W2");
    UpdateCompStrategy update;
    c.startStandart(update, path, 0, 0, "App");
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(argvFile); }));
    EXPECT_THAT(vktest::readLines(argvFile), ElementsAre(path + "upd", "--argv-file=" + argvFile, "W2", "--update"));
    c.stop(false);

    std::vector<std::string> words{"prog", "W1", "W2"};
    CheckOnlyWithAlternativeAgentStrategy("local:/tmp/a").addArgs(words);
    EXPECT_THAT(words, ElementsAre("prog", "W1", "--check-only", "local:/tmp/a"));
    words = {"prog"};
    CheckOnlyWithAlternativeAgentStrategy("A").addArgs(words);
    EXPECT_THAT(words, ElementsAre("prog", "--check-only", "A"));  // the program is never dropped
    words = {"prog"};
    ChangeSocketStrategy("local:/s", "/p.pid").addArgs(words);
    EXPECT_THAT(words, ElementsAre("prog", "--socket", "local:/s", "--pid-file", "/p.pid"));
    EXPECT_EQ(StandartCompStrategy().modeName(), "");
    EXPECT_EQ(StandartCompStrategy().modeLine(), "");
    EXPECT_EQ(UpdateCompStrategy().modeLine(), "in update mode");
    EXPECT_EQ(CheckOnlyStrategy().modeLine(), "in check-only mode");
    EXPECT_EQ(ChangeSocketStrategy("a", "b").modeLine(), "in change-socket mode");
    EXPECT_EQ(CheckOnlyWithAlternativeAgentStrategy("a").modeLine(), "in check-only mode");
}

TEST_F(ComponentTest, CheckOnlyStartJudgesTheAnswerText) {
    CheckOnlyStrategy check;
    Component& good = make("good");
    testing::internal::CaptureStderr();
    good.startCheckOnly(check, path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "checking \"good\" component: OK\n");
    EXPECT_FALSE(isCheckFailed());
    good.stop(false);

    Component& bad = make("bad+check-error=unknown option --x");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bad.startCheckOnly(check, path);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n    unknown option --x\n");
    EXPECT_THAT(err, HasSubstr("checking \"bad+check-error=unknown option --x\" component: "));
    EXPECT_THAT(err, HasSubstr("stopped untimely"));
    EXPECT_TRUE(isCheckFailed());
    bad.stop(false);
    // An answer longer than a captured output may be is cut.
    Component& verbose = make("verbose", "--check-error=" + std::string(100000, 'w'));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    verbose.startCheckOnly(check, path);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n    " + std::string(Utils::kMaxCapturedOutput, 'w') + Utils::kCutMark + "\n");
    verbose.stop(false);
}

TEST_F(ComponentTest, CheckAllEchoesTheErrorOutputAndTimesOut) {
    configureLogging("syslog", "debug", "error", "mail", true, true);
    CheckOnlyStrategy check;
    Component& noisy = make("noisy+check-stderr=warning: old key");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    noisy.startCheckOnly(check, path);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "    warning: old key\n");
    noisy.stop(false);

    Component& slow = make("slow+answer=none");
    slow.setTimeStart(1);
    struct NoCheck : CheckOnlyStrategy {
        void addArgs(std::vector<std::string>&) const override {}  // never answers the check
    } silent;
    testing::internal::CaptureStderr();
    slow.startCheckOnly(silent, path);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("timeout (1 sec) expired\n"));
    EXPECT_TRUE(isCheckFailed());
    slow.stop(false);
}

TEST_F(ComponentTest, TextsAndReconfiguration) {
    Component c("name", true);
    EXPECT_EQ(c.toText(false), "<comp name=\"name\" start=\"30\" stop=\"30\" log=\"2\" user=\":\"/>");
    c.setArgv("-x 1");
    c.setUser("u");
    c.setGroup("g");
    c.setLogType(3);
    c.setInformerCommand("cat");
    EXPECT_EQ(c.toText(true), "<comp name=\"name\" argv=\"-x 1\" start=\"30\" stop=\"30\" log=\"3\" "
                              "user=\"u:g\"cmd=\"cat\" fd=\"-1\" pid=\"-1\"/>");
    c.printInfo();
    EXPECT_TRUE(log.contains("    name            \"-x 1\"            30            30            \"cat\"            u:g"));

    Component fresh("name", true);
    fresh.setArgv("-x 1");
    fresh.setUser("u");
    fresh.setGroup("g");
    fresh.setTimeStart(7);
    fresh.setLogType(1);
    EXPECT_FALSE(c.reconfig(fresh));
    EXPECT_EQ(c.getTimeStart(), 7);
    EXPECT_EQ(c.getLogType(), 1);
    ASSERT_NE(c.getInformer(), nullptr);
    EXPECT_EQ(c.getInformer()->type(), 1);
    EXPECT_TRUE(log.contains("component \"name\" changed logType"));
    fresh.setUser("v");
    EXPECT_TRUE(c.reconfig(fresh));
    EXPECT_TRUE(log.contains("component \"name\" changed parmissions \"u:g\" to \"v:g\""));
    fresh.setArgv("-y");
    fresh.setUser("w");
    EXPECT_TRUE(c.reconfig(fresh));
    EXPECT_TRUE(log.contains("component \"name\" changed argv \"-x 1\" to \"-y\""));
    EXPECT_EQ(c.getUserGroup(), "w:g");  // both changes are taken over
}

}  // namespace
