#include "engine/run_app_store.h"

#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/app_log.h"
#include "engine/monitor_state.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using ::testing::ElementsAre;

namespace {

// Meta-configuration files of sample components in a temporary directory.
class RunAppStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        initLogSystem("syslog", "debug", "error", "mail");
        setMonitorState(MONITOR_STARTED);
        MonitorInfo::instance()->fill("velka-monitor", "Linux", "1", "host", {});
        std::filesystem::create_directories(dir.file("meta"));
        std::filesystem::create_directories(dir.file("bin"));
    }
    void TearDown() override {
        store.stop();
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        MonitorInfo::destroy();
    }
    void app(const std::string& name, const std::string& depends,
             const std::vector<std::pair<std::string, std::string>>& components) {
        std::string text = "APPLICATION " + name + "\nPATH \"" + dir.file("bin") + "\"\n";
        if (!depends.empty()) text += "DEPENDS " + depends + "\n";
        text += "COMPONENTS\n";
        for (const auto& c : components) {
            if (!std::filesystem::exists(dir.file("bin/" + c.first)))
                std::filesystem::create_symlink(VK_SAMPLE_COMPONENT, dir.file("bin/" + c.first));
            text += c.first + " \"" + c.second + "\" 5 2 LOG -\n";
        }
        vktest::writeFile(dir.file("meta/" + name + ".mmc"), text + "ENDCOMPONENTS\nENDAPPLICATION\n");
    }
    std::string verifyError(RunAppStore& s, const AppNameSet& runSet) {
        try {
            s.verify(runSet);
        } catch (const RunAppStore::VerifyError& e) {
            return e.what();
        }
        return "";
    }
    vktest::TempDir dir;
    vktest::SyslogCapture log;
    RunAppStore store{false};
};

TEST_F(RunAppStoreTest, VerificationNamesWhatIsWrong) {
    RunAppStore::parseMetaConf(dir.file("meta/"), store);
    EXPECT_TRUE(store.getApps().empty());
    EXPECT_EQ(verifyError(store, {"a", "b"}), "cannot find application \"a\" in *.mmc files");

    app("a", "b", {});
    RunAppStore::parseMetaConf(dir.file("meta/"), store);
    EXPECT_EQ(verifyError(store, {"a"}), "application \"a\", unknown depends \"b\"");

    RunAppStore cycles(false);
    app("b", "c", {});
    app("c", "b", {});
    app("self", "self", {});
    app("x", "", {});
    RunAppStore::parseMetaConf(dir.file("meta/"), cycles);
    EXPECT_EQ(verifyError(cycles, {"x"}), "");  // cycles nobody reaches are not reported
    EXPECT_EQ(verifyError(cycles, {"a"}), "interdependence: b -> c -> b");
    EXPECT_EQ(verifyError(cycles, {"self"}), "interdependence: self -> self");
    app("z", "m", {});
    app("m", "a0", {});
    app("a0", "z", {});
    RunAppStore ordered(false);
    RunAppStore::parseMetaConf(dir.file("meta/"), ordered);
    EXPECT_EQ(verifyError(ordered, {"z"}), "interdependence: z -> m -> a0 -> z");  // in the cycle's order
    EXPECT_TRUE(cycles.hasApp("SELF"));

    RunAppStore diamond(false);
    for (const char* f : {"a", "b", "c", "self", "x", "z", "m", "a0"})
        std::filesystem::remove(dir.file(std::string("meta/") + f + ".mmc"));
    app("top", "l, r", {});
    app("l", "d", {});
    app("r", "d", {});
    app("d", "", {});
    RunAppStore::parseMetaConf(dir.file("meta/"), diamond);
    EXPECT_EQ(verifyError(diamond, {"top"}), "");
}

TEST_F(RunAppStoreTest, DependencyWalksAreLinear) {
    // 24 layers of two applications, each depending on both of the next
    // layer: 2^24 paths, but each application is looked at once.
    for (int layer = 0; layer < 24; ++layer) {
        for (int side = 0; side < 2; ++side) {
            Application app(nullptr);
            app.setName("L" + std::to_string(layer) + "_" + std::to_string(side));
            if (layer < 23) {
                app.addDepend("L" + std::to_string(layer + 1) + "_0");
                app.addDepend("L" + std::to_string(layer + 1) + "_1");
            }
            store.addApp(app);
        }
    }
    // And a chain 5,000 deep, closed into a cycle at its end.
    for (int i = 0; i < 5000; ++i) {
        Application app(nullptr);
        app.setName("C" + std::to_string(i));
        app.addDepend(i < 4999 ? "C" + std::to_string(i + 1) : std::string("C4997"));
        store.addApp(app);
    }
    initLogSystem("syslog", "info", "error", "mail");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(verifyError(store, {"L0_0", "L0_1"}), "");
    EXPECT_EQ(verifyError(store, {"C0"}), "interdependence: C4997 -> C4998 -> C4999 -> C4997");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(RunAppStoreTest, AFileWithASyntaxErrorStopsTheReading) {
    vktest::writeFile(dir.file("meta/bad.mmc"), "APPLICATION x\nFOO bar\nENDAPPLICATION\n");
    try {
        RunAppStore::parseMetaConf(dir.file("meta/"), store);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "error in *.mmc file \"" + dir.file("meta/bad.mmc") + "\"");
    }
    EXPECT_TRUE(log.contains("config file \"" + dir.file("meta/bad.mmc") + "\":2:unknown application parameter: string 'FOO'"));
}

TEST_F(RunAppStoreTest, ReloadRestartsOnlyWhatChanged) {
    app("keep", "", {{"keepd", ""}});
    app("change", "", {{"changed", "--a"}});
    app("gone", "", {{"goned", ""}});
    app("idle", "", {{"idled", ""}});
    RunAppStore::parseMetaConf(dir.file("meta/"), store);
    store.startApps({"keep", "change", "gone"}, "", "");
    const pid_t keepPid = store.findApp("keep")->getPid();
    const pid_t changePid = store.findApp("change")->getPid();

    std::filesystem::remove(dir.file("meta/gone.mmc"));
    app("change", "", {{"changed", "--b"}});
    app("fresh", "", {{"freshd", ""}});
    app("wanted", "", {{"wantedd", ""}});
    RunAppStore next(false);
    RunAppStore::parseMetaConf(dir.file("meta/"), next);
    store.reload(next, {"keep", "change", "wanted"});

    EXPECT_FALSE(store.hasApp("gone"));
    EXPECT_TRUE(log.contains("oldApps: gone"));
    EXPECT_TRUE(log.contains("newApps: fresh"));
    EXPECT_TRUE(log.contains("immutableApps: keep"));
    EXPECT_EQ(store.findApp("keep")->getPid(), keepPid);
    EXPECT_TRUE(log.contains("component \"changed\" changed argv \"--a\" to \"--b\""));
    EXPECT_FALSE(store.findApp("fresh")->isRunning());   // not in the run set
    EXPECT_TRUE(store.findApp("wanted")->isRunning());
    EXPECT_FALSE(store.findApp("idle")->isRunning());
    ASSERT_TRUE(store.findApp("change")->isRunning());
    EXPECT_NE(store.findApp("change")->getPid(), changePid);  // restarted with its new argv
}

TEST_F(RunAppStoreTest, RefusedReloadLeavesTheRunningStoreAlone) {
    app("a", "", {{"ad", ""}});
    RunAppStore::parseMetaConf(dir.file("meta/"), store);
    store.startApps({"a"}, "", "");
    const pid_t pid = store.findApp("a")->getPid();
    app("a", "ghost", {{"ad", "--changed"}});
    RunAppStore next(false);
    RunAppStore::parseMetaConf(dir.file("meta/"), next);
    EXPECT_THROW(store.reload(next, {"a"}), RunAppStore::VerifyError);
    EXPECT_EQ(store.findApp("a")->getPid(), pid);
    EXPECT_TRUE(store.findApp("a")->getDepends().empty());
    EXPECT_EQ(store.findApp("a")->getComponents().front().getArgv(), "");
}

}  // namespace
