#include "engine/monitor_state.h"

#include <set>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

TEST(MonitorState, WordAndNames) {
    EXPECT_EQ(getMonitorState(), MONITOR_INIT);
    EXPECT_EQ(monitorStateName(), "INIT");
    setMonitorState(MONITOR_STARTED);
    EXPECT_EQ(monitorStateName(), "STARTED");
    setMonitorState(MONITOR_STOPPED);
    EXPECT_EQ(monitorStateName(), "STOPPED");
    setMonitorState(MONITOR_END);
    EXPECT_EQ(monitorStateName(), "END");
    setMonitorState(7);
    EXPECT_EQ(monitorStateName(), "unknown");
    EXPECT_EQ(monitorStateName(0), "unknown");
}

TEST(MonitorInfo, RunningSumsCopiesAndRecreation) {
    MonitorInfo* info = MonitorInfo::instance();
    EXPECT_TRUE(info->getRestartTimes().empty());
    info->fill("velka-monitor", "Linux", "1.0", "host", {10, 20, 30});
    EXPECT_THAT(info->getRestartTimes(), ::testing::ElementsAre(10u, 30u, 60u));
    info->setMailAddresses("filter@x", "admin@x");
    std::string filter, admin, program, os, version, host;
    info->getMailAddresses(filter, admin);
    EXPECT_EQ(filter, "filter@x");
    EXPECT_EQ(admin, "admin@x");
    info->getSignatureData(program, os, version, host);
    EXPECT_EQ(program + "|" + os + "|" + version + "|" + host, "velka-monitor|Linux|1.0|host");
    MonitorInfo::destroy();
    MonitorInfo* fresh = MonitorInfo::instance();
    fresh->getMailAddresses(filter, admin);
    EXPECT_EQ(filter + admin, "");
    EXPECT_TRUE(fresh->getRestartTimes().empty());
    MonitorInfo::destroy();
}

TEST(MonitorInfo, ConcurrentFirstUseCreatesOneRecord) {
    MonitorInfo::destroy();
    std::vector<MonitorInfo*> seen(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = MonitorInfo::instance(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<MonitorInfo*>(seen.begin(), seen.end()).size(), 1u);
    MonitorInfo::destroy();
}

TEST(MonitorInfo, ReadersAndWritersFromSeveralThreads) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                if (t % 2) {
                    setMonitorState(i % 2 ? MONITOR_STARTED : MONITOR_STOPPED);
                    MonitorInfo::instance()->setMailAddresses("f" + std::to_string(i), "a" + std::to_string(i));
                    MonitorInfo::instance()->fill("p", "o", "v", "h", {1, 2, 3});
                } else {
                    const std::string name = monitorStateName();
                    EXPECT_TRUE(name == "INIT" || name == "STARTED" || name == "STOPPED") << name;
                    std::string f, a;
                    MonitorInfo::instance()->getMailAddresses(f, a);
                    EXPECT_EQ(f.empty() ? "" : f.substr(1), a.empty() ? "" : a.substr(1));
                    const auto times = MonitorInfo::instance()->getRestartTimes();
                    EXPECT_TRUE(times.empty() || times.back() == 6u);
                }
            }
        });
    for (auto& thread : threads) thread.join();
    MonitorInfo::destroy();
}

}  // namespace
