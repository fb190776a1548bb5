#include "engine/app_store.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/app_log.h"
#include "engine/comp_strategy.h"
#include "engine/monitor_state.h"
#include "engine/regenerator.h"
#include "support/log_capture.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

using vktest::eventually;

// Records what the applications tell their monitor.
struct RecordingMonitor : Regenerator {
    std::vector<std::string> events;
    bool regenerate(const AppNameSet&) override { return false; }
    void applicationStarted(Application& app) override { events.push_back("started " + app.getName()); }
    void applicationStopped(Application& app) override { events.push_back("stopped " + app.getName()); }
};

// Stores of applications whose components are links to the sample
// component; a component's name carries its options.
class AppStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        initLogSystem("syslog", "debug", "error", "mail");
        setMonitorState(MONITOR_STARTED);
        MonitorInfo::instance()->fill("velka-monitor", "Linux", "1", "host", {});
    }
    void TearDown() override {
        setMonitorState(MONITOR_STARTED);
        store.stop();
        // Every child was reaped.
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        MonitorInfo::destroy();
    }
    Component component(const std::string& name, bool link = true) {
        if (link && !std::filesystem::exists(dir.file(name)))
            std::filesystem::create_symlink(VK_SAMPLE_COMPONENT, dir.file(name));
        Component c(name, true);
        c.setTimeStart(5);
        c.setTimeStop(2);
        c.setLogType(1);
        return c;
    }
    Application& add(const std::string& name, const std::vector<std::string>& depends,
                     const std::vector<std::string>& components) {
        Application app(&monitor);
        app.setName(name);
        app.setFullName(name + " full");
        app.setPath(dir.path());
        for (const std::string& d : depends) app.addDepend(d);
        for (const std::string& c : components) app.addComponent(component(c));
        store.addApp(app);
        return *store.findApp(name);
    }
    size_t indexOf(const std::string& event) const {
        auto it = std::find(monitor.events.begin(), monitor.events.end(), event);
        return it == monitor.events.end() ? 1000 : static_cast<size_t>(it - monitor.events.begin());
    }
    size_t count(const std::string& event) const {
        return std::count(monitor.events.begin(), monitor.events.end(), event);
    }
    vktest::TempDir dir;
    vktest::SyslogCapture log;
    RecordingMonitor monitor;
    AppStore store{false};
    SleepList noSleeps;
};

TEST(ApplicationBasics, QueriesAndTexts) {
    Application app(nullptr);
    app.setName("agent");
    EXPECT_TRUE(app.isAgent());
    EXPECT_TRUE(Application::isAgent("Agent"));
    EXPECT_FALSE(Application::isAgent("AGENTS"));
    app.setPath("/opt/x");
    EXPECT_EQ(app.getPath(), "/opt/x/");
    app.setPath("/opt/x/");
    EXPECT_EQ(app.getPath(), "/opt/x/");
    EXPECT_EQ(app.getPid(), 0);
    EXPECT_EQ(app.getSingleCompArgs(), "");
    EXPECT_EQ(app.getUserGroups(), "");
    EXPECT_TRUE(app.allComponentsRunning());
    Component one("one", true);
    one.setArgv("-a 1");
    one.setUser("u");
    one.setGroup("g");
    app.addComponent(one);
    EXPECT_EQ(app.getSingleCompArgs(), "-a 1");
    Component two("two", true);
    two.setUser("u");
    two.setGroup("g");
    app.addComponent(two);
    Component three("three", true);
    three.setUser("a");
    app.addComponent(three);
    EXPECT_EQ(app.getSingleCompArgs(), "");
    EXPECT_EQ(app.getUserGroups(), "a:,u:g");
    EXPECT_EQ(app.getPid(), -1);
    app.addDepend("B");
    app.addDepend("b");
    app.addDepend("A");
    EXPECT_EQ(app.getDepends().size(), 2u);
    std::string xml;
    app.setFullName("Full");
    Application bare(nullptr);
    bare.setName("N");
    bare.setPath("/p");
    bare.addDepend("X");
    bare.addDepend("Y");
    bare.toXml(xml, false);
    EXPECT_EQ(xml, "<app name=\"N\"\nfullName=\"\"\npath=\"/p/\"\ndeps=\"X,Y\"><comps></comps></app>");
}

TEST_F(AppStoreTest, DependenciesStartFirstAndAFailedOneStopsItsDependant) {
    add("a", {}, {"a1"});
    add("b", {"a"}, {"b1"});
    StandartCompStrategy standart;
    store.buildDependants();
    EXPECT_TRUE(store.startApp("b", noSleeps, standart));
    EXPECT_LT(indexOf("started a"), indexOf("started b"));
    EXPECT_EQ(monitor.events.size(), 2u);
    store.stop();
    EXPECT_THAT(monitor.events, ElementsAre("started a", "started b", "stopped b", "stopped a"));

    std::filesystem::remove(dir.file("a1"));
    monitor.events.clear();
    EXPECT_FALSE(store.startApp("b", noSleeps, standart));
    EXPECT_EQ(count("started b"), 0u);
    EXPECT_TRUE(log.contains("application \"b\" cannot start, because of depends application \"a\" not started"));
    EXPECT_TRUE(log.contains("application \"a\" cannot start"));
    EXPECT_THROW(store.startApp("nothing", noSleeps, standart), AppStore::BadAppName);
    setMonitorState(MONITOR_STOPPED);
    EXPECT_THROW(store.startApp("a", noSleeps, standart), AppStore::StartError);
}

TEST_F(AppStoreTest, SharedDependencyStartsOnceAndStopsLast) {
    add("a", {"c"}, {"a1"});
    add("b", {"c"}, {"b1"});
    add("c", {}, {"c1", "c2"});
    AppStop::start(store, {"a", "b"}, noSleeps, "local:/x", dir.path() + "/");
    EXPECT_EQ(count("started c"), 1u);
    EXPECT_LT(indexOf("started c"), indexOf("started a"));
    EXPECT_LT(indexOf("started c"), indexOf("started b"));
    EXPECT_EQ(store.countRunningApps(), 3u);
    EXPECT_EQ(store.getDescriptors().size(), 4u);
    monitor.events.clear();
    store.stop();
    EXPECT_THAT(monitor.events, ElementsAre("stopped a", "stopped b", "stopped c"));
    // Components of one application stop last first.
    const auto texts = log.texts();
    auto at = [&](const std::string& f) {
        return std::find_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(f) != std::string::npos; });
    };
    EXPECT_LT(at("Component::stop() # c2"), at("Component::stop() # c1"));
}

TEST_F(AppStoreTest, RunSetNamingAnUnknownApplicationFails) {
    add("a", {}, {"a1"});
    EXPECT_THROW(AppStop::start(store, {"a", "ghost"}, noSleeps, "", ""), AppStore::BadAppName);
}

TEST_F(AppStoreTest, SleepListRetriesThenStopsWhatStarted) {
    Application& app = add("s", {}, {"first", "mute+answer=none+on-term=signal"});
    for (Component& c : app.getComponents()) c.setTimeStart(1);
    StandartCompStrategy standart;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(app.start({2, 10}, standart));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    const auto texts = log.texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.find("Application::startComp( mute") != std::string::npos; }),
              3);
    EXPECT_TRUE(log.contains(" DEBUG sleep 2"));
    EXPECT_TRUE(log.contains(" DEBUG sleep 10"));
    EXPECT_FALSE(app.getComponents().front().isRunning());
    EXPECT_TRUE(log.contains("component \"first\" fault"));
    EXPECT_TRUE(app.isRunning());  // the caller decides what happens to it
    EXPECT_EQ(count("started s"), 0u);
}

TEST_F(AppStoreTest, ApplyRunSetStopsDependantsFirstAndStartsDependenciesFirst) {
    add("a", {}, {"a1"});
    add("b", {"c"}, {"b1"});
    add("c", {}, {"c1"});
    add("d", {"a"}, {"d1"});
    AppStop::start(store, {"d"}, noSleeps, "", "");
    monitor.events.clear();
    store.applyRunSet({"b"}, noSleeps);
    EXPECT_THAT(monitor.events, ElementsAre("stopped d", "stopped a", "started c", "started b"));
    EXPECT_TRUE(log.contains("application \"a\" must be stopped"));
    EXPECT_TRUE(log.contains("application \"b\" must be started"));
    EXPECT_TRUE(log.contains("application \"c\" must be started"));
}

TEST_F(AppStoreTest, CyclesEndWithAnErrorInsteadOfRecursingForever) {
    add("x", {"y"}, {"x1"});
    add("y", {"x"}, {"y1"});
    StandartCompStrategy standart;
    EXPECT_FALSE(store.startApp("x", noSleeps, standart));
    EXPECT_TRUE(log.contains("application \"x\" cannot start, because it depends on itself"));
    AppNameSet all;
    store.collectDeps({"x"}, all);
    EXPECT_EQ(all.size(), 2u);
    store.buildDependants();
    store.buildDependants();
    EXPECT_EQ(store.getDependants().size(), 2u);  // rebuilt, not doubled
}

TEST_F(AppStoreTest, UpdateModeStartsOnlyTheAgentAndItsDependencies) {
    AppStore update(true);
    for (const char* name : {"AGENT", "base", "other"}) {
        Application app(&monitor);
        app.setName(name);
        app.setPath(dir.path());
        if (std::string(name) == "AGENT") app.addDepend("base");
        app.addComponent(component(std::string(name) + "1", true));
        update.addApp(app);
    }
    AppStop::start(update, {"other", "AGENT"}, noSleeps, "", "");
    EXPECT_THAT(monitor.events, ElementsAre("started base", "started AGENT"));
    EXPECT_TRUE(log.contains("component \"AGENT1\" from application \"AGENT\" has been started in update mode"));
    update.stop();
}

TEST_F(AppStoreTest, CheckAllRunsTheAgentStepsOnce) {
    // Quiet enough that no record echoed on stderr splits a check line.
    configureLogging("syslog", "error", "error", "mail", true, true);
    add("AGENT", {}, {"agentd"});
    add("web", {}, {"webd"});
    testing::internal::CaptureStderr();
    AppStop::start(store, {"AGENT", "web"}, noSleeps, "inet:1@host", dir.path() + "/");
    store.stop();
    AppStop::start(store, {"AGENT", "web"}, noSleeps, "inet:1@host", dir.path() + "/");
    const std::string err = testing::internal::GetCapturedStderr();
    size_t agentChecks = 0;
    for (size_t at = err.find("checking \"agentd\""); at != std::string::npos; at = err.find("checking \"agentd\"", at + 1))
        ++agentChecks;
    EXPECT_EQ(agentChecks, 1u);
    EXPECT_NE(err.find("checking \"webd\" component: OK"), std::string::npos) << err;
    EXPECT_EQ(vktest::readLines(dir.file("velka-agent.tmp.pid")).size(), 1u);
    EXPECT_EQ(AppStop::tempAgentAddress("inet:1@host"), "local:/var/velka/ipc/.agent.tmp");
    EXPECT_EQ(AppStop::tempAgentAddress("local:/run/a"), "local:/run/a.tmp");
}

TEST_F(AppStoreTest, AgentRecoverySignalsEachRunningDependantOnce) {
    const std::string hups = dir.file("web.hups");
    Application& agent = add("AGENT", {}, {"agentd"});
    Application app(&monitor);
    app.setName("web");
    app.setPath(dir.path());
    app.addDepend("AGENT");
    Component web = component("webd");
    web.setArgv("--hup-file=" + hups);
    app.addComponent(web);
    store.addApp(app);
    add("other", {}, {"otherd"});
    AppStop::start(store, {"web", "other"}, noSleeps, "", "");

    const pid_t otherPid = store.findApp("other")->getPid();
    ::kill(otherPid, SIGKILL);
    EXPECT_TRUE(store.fault(otherPid, ::time(nullptr)));
    EXPECT_TRUE(store.isStoppedPid(otherPid));
    EXPECT_TRUE(store.recovery(otherPid, ::time(nullptr), 1, {}));
    EXPECT_FALSE(log.contains("Sending SIGHUP"));

    const pid_t agentPid = agent.getPid();
    ::kill(agentPid, SIGKILL);
    bool himself = true;
    EXPECT_TRUE(store.fault(agentPid, ::time(nullptr), &himself));
    EXPECT_FALSE(himself);
    EXPECT_TRUE(log.contains("following application(s): \"web\""));
    EXPECT_TRUE(store.recovery(agentPid, ::time(nullptr), 1, {}));
    EXPECT_TRUE(log.contains("Sending SIGHUP to application web due to AGENT recovered"));
    EXPECT_TRUE(eventually([&] { return vktest::readLines(hups).size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(vktest::readLines(hups).size(), 1u);
}

TEST_F(AppStoreTest, FailedRestartsKeepTheirKeyUntilTheCannotRecoverLetter) {
    Application& app = add("flaky", {}, {"flakyd"});
    AppStop::start(store, {"flaky"}, noSleeps, "", "");
    const pid_t pid = app.getPid();
    const time_t failed = ::time(nullptr);
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(store.fault(pid, failed));
    std::filesystem::remove(dir.file("flakyd"));  // both restarts fail
    EXPECT_TRUE(store.isStoppedPid(pid));
    EXPECT_FALSE(store.recovery(pid, failed, 1, {}));
    EXPECT_TRUE(store.isStoppedPid(pid));
    EXPECT_FALSE(store.recovery(pid, failed, 2, {}));
    const auto texts = log.texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.find("Application::startComp( flakyd )") != std::string::npos; }),
              3);
    EXPECT_TRUE(store.informCannotRecovery(pid, failed));
    EXPECT_TRUE(log.contains("Subject: ERROR: Component \"flakyd\" cannot recovery"));
    store.stopFaultApps({});
    EXPECT_FALSE(app.isRunning());
    EXPECT_TRUE(log.contains("one component from application flaky is fault. The application will be stopped"));
}

// A monitor whose pass over due events stops the application that is
// starting a component (as a fault of another component can).
struct StoppingMonitor : RecordingMonitor {
    Application* victim = nullptr;
    bool regenerate(const AppNameSet&) override {
        if (victim) victim->stop();
        return false;
    }
};

TEST_F(AppStoreTest, AComponentNeverRunsInAnApplicationStoppedWhileItStarted) {
    StoppingMonitor stopping;
    Application& app = add("v", {"dep"}, {"vd"});
    add("dep", {}, {"depd"});
    StandartCompStrategy standart;
    store.buildDependants();
    ASSERT_TRUE(store.startApp("v", noSleeps, standart));
    app.setMonitor(&stopping);
    stopping.victim = &app;
    const pid_t pid = app.getPid();
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(store.fault(pid, ::time(nullptr)));
    EXPECT_FALSE(store.recovery(pid, ::time(nullptr), 1, {}));
    EXPECT_FALSE(app.isRunning());
    EXPECT_FALSE(app.getComponents().front().isRunning());
    EXPECT_TRUE(log.contains("application \"v\" was stopped while component \"vd\" from application \"v\" started"));
}

TEST_F(AppStoreTest, APartlyRunningApplicationStartsOnlyWhatIsMissing) {
    Application& app = add("p", {}, {"p1", "p2"});
    StandartCompStrategy standart;
    ASSERT_TRUE(store.startApp("p", noSleeps, standart));
    const pid_t first = app.getComponents().front().getPid();
    app.getComponents().back().stop(false);
    EXPECT_TRUE(store.startApp("p", noSleeps, standart));
    EXPECT_EQ(app.getComponents().front().getPid(), first);
    EXPECT_TRUE(app.allComponentsRunning());
}

TEST_F(AppStoreTest, StopAppAndDependsKeepsWhatOthersNeed) {
    add("lib", {}, {"libd"});
    add("one", {"lib"}, {"oned"});
    add("two", {"lib"}, {"twod"});
    AppStop::start(store, {"one", "two"}, noSleeps, "", "");
    Application& one = *store.findApp("one");
    AppStop::stopAppAndDepends(store, one, {"one"}, false);
    EXPECT_TRUE(one.isRunning());
    AppStop::stopAppAndDepends(store, one, {"one"}, true);
    EXPECT_FALSE(one.isRunning());
    EXPECT_TRUE(store.findApp("lib")->isRunning());  // "two" still needs it
    AppStop::stopAppAndDepends(store, *store.findApp("two"), {}, true);
    EXPECT_FALSE(store.findApp("lib")->isRunning());
    EXPECT_TRUE(log.contains("application lib going to stop, because no one application depend on it now"));
}

TEST_F(AppStoreTest, ReconfigurationStartsNewComponentsOnlyWhenRunning) {
    Application& app = add("r", {}, {"keep", "gone"});
    Application fresh(&monitor);
    fresh.setName("r");
    fresh.setPath(dir.path());
    fresh.addComponent(component("keep"));
    fresh.addComponent(component("added"));
    EXPECT_FALSE(app.reconfigComponents(fresh));  // not running: nothing starts
    EXPECT_FALSE(app.getComponents().back().isRunning());
    EXPECT_EQ(app.getComponents().back().getName(), "added");

    AppStop::start(store, {"r"}, noSleeps, "", "");
    Application newer(&monitor);
    newer.setName("r");
    newer.setPath(dir.path());
    Component changed = component("keep");
    changed.setArgv("--x");
    newer.addComponent(changed);
    newer.addComponent(component("added"));
    newer.addComponent(component("broken", false));  // no such program: its start fails and is logged
    EXPECT_TRUE(app.reconfig(newer, noSleeps));
    EXPECT_TRUE(log.contains("component \"keep\" from \"r\" has been reconfigured"));
    EXPECT_TRUE(log.contains("new component \"broken\""));
    EXPECT_TRUE(log.contains("cannot start component \"broken\" from application \"r\""));

    Application moved(&monitor);
    moved.setName("r");
    moved.setPath(dir.path() + "/elsewhere");
    app.stop();
    EXPECT_TRUE(app.reconfig(moved, noSleeps));
    EXPECT_FALSE(app.isRunning());  // a stopped application is not restarted by a path change
}

}  // namespace
