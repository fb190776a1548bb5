// The control server's request handlers and its life without a start.
#include "control/monitor_server.h"

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/app_log.h"
#include "engine/monitor_state.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

class MonitorServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        initLogSystem("syslog", "debug", "error", "mail");
        setMonitorState(MONITOR_INIT);
        std::filesystem::create_directories(dir.file("meta"));
        vktest::writeFile(dir.file("monitor.conf"), "[Logging]\nLevel = debug\nFileName = syslog\n[Monitor]\n"
                                                    "MetaConfigDir = " + dir.file("meta") + "\nPidFileDir = " +
                                                        dir.path() + "/\nRunAppList = TOP\n");
        server = std::make_unique<MonitorServer>(dir.file("monitor.conf"), "", false);
    }

    vktest::TempDir dir;
    vktest::SyslogCapture log;
    std::unique_ptr<MonitorServer> server;
};

TEST_F(MonitorServerTest, ReloadHandlerPassesEachProcessOnce) {
    EXPECT_TRUE(MonitorServer::reloadCompProcessor({10, 10, 20, 0, -1}));
    std::set<pid_t> pids;
    server->getChangedConf(pids);
    EXPECT_EQ(pids, (std::set<pid_t>{10, 20}));
    EXPECT_TRUE(log.contains("reload component with pid = -1"));
    EXPECT_TRUE(log.contains("reload request for pid 0 dropped: not a process id"));
}

TEST_F(MonitorServerTest, UpdateHandlerRefusesWhatCouldNeverBeApplied) {
    const std::string cache = dir.file("cache");
    std::filesystem::create_directories(cache + "/unix/scripts");
    vktest::writeFile(cache + "/unix/scripts/pre-update.sh", "#!/bin/sh\ntouch " + dir.file("ran") + "\n");
    // No agent read has brought a mail transfer agent yet.
    velka::varno::UpdateAnswer answer = MonitorServer::updateProcessor({cache, "s", "20-vlkunix"});
    EXPECT_FALSE(answer.ok);
    EXPECT_THAT(answer.text, ::testing::StartsWith("pre-update process error because of no mail transfer agent"));
    ThreadSafetyMonitor::Mediator::setSettings("velka", "", "SENDMAIL");
    answer = MonitorServer::updateProcessor({cache, "s", "20-vlkunix;"});
    EXPECT_EQ(answer.text, "pre-update process error because of invalid request: product");
    EXPECT_FALSE(std::filesystem::exists(dir.file("ran")));
    EXPECT_TRUE(std::filesystem::exists(cache));
}

TEST_F(MonitorServerTest, StopWithoutStartAndTwice) {
    server->stop();
    server->stop();
    server.reset();
    EXPECT_TRUE(log.contains("MonitorServer::~MonitorServer()"));
    EXPECT_FALSE(log.contains("joining monitorProtoThread"));
}

}  // namespace
