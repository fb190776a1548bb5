// Single-threaded cases of the pool machinery: limits, connect timeout,
// address lists, the control pipe, readiness polling, peer-closed tests,
// the closing helpers and the statistics report.
#include <sys/ioctl.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/session/control.h"
#include "ipc/session/pool_codes.h"
#include "ipc/session/select_ready.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "test_pool.h"

namespace {

using velka::base::VkControl;
using velka::ipc::ConnSettings;
using vktest::TestPool;
using vktest::thrown;

class PoolParts : public ::testing::Test {
protected:
    void SetUp() override { getIpcLogger().setLevel(VK_LOG_DEBUG); }
    vktest::SyslogCapture capture;
};

int pendingBytes(const VkControl& control) {
    int bytes = 0;
    ioctl(control.ReadFd(), FIONREAD, &bytes);
    return bytes;
}

TEST_F(PoolParts, ConnSettingsCheck) {
    const std::string prefix = "ConnSettings::Check: the '";
    struct Case {
        uint32_t min, max;
        std::string error;
    } cases[] = {
        {0, 65535, ""},
        {0, 65536, prefix + "max number of connections' parameter contains invalid value '65536(too much)'"},
        {7, 0, ""},
        {7, 6, prefix + "min is greater than max' parameter contains invalid value '7>6'"},
        {0, 0, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(thrown([&] { ConnSettings(c.min, c.max, 0, false); }), c.error);
}

TEST_F(PoolParts, ConnectTimeoutFromEnvironment) {
    struct Case {
        const char* text;  // null: unset
        uint32_t ms;
        bool warns;
    } cases[] = {{nullptr, 10000, false}, {"30", 30000, false}, {"-1", 0xFFFFFFFFu, false},
                 {"99999", 14400000, false}, {"abc", 10000, true}, {"", 10000, true}, {" 5s", 5000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "unset");
        vktest::SyslogCapture records;
        c.text ? setenv("VK_CONNECT_TIMEOUT", c.text, 1) : unsetenv("VK_CONNECT_TIMEOUT");
        TestPool pool;
        EXPECT_EQ(pool.GetConnectTimeout().AsUnit(velka::base::VkTimeout::Milliseconds), c.ms);
        EXPECT_EQ(records.contains(" WARN VK_CONNECT_TIMEOUT=\""), c.warns);
    }
    unsetenv("VK_CONNECT_TIMEOUT");
}

// Records what the address hooks were given.
class AddressPool : public TestPool {
public:
    std::vector<std::list<std::string>> removed, added;

protected:
    void OnAddressesRemoved(const std::list<std::string>& texts) override { removed.push_back(texts); }
    void OnAddressesAdded(const std::list<std::string>& texts) override { added.push_back(texts); }
};

TEST_F(PoolParts, AddressLists) {
    typedef std::list<std::string> L;
    AddressPool pool;
    pool.Init({"a", "a", "b", "a"}, ConnSettings(), true);
    EXPECT_EQ(pool.GetAddresses(), (L{"a", "b", "a"}));
    pool.Init({"unix:/x", "inet:1@h"}, ConnSettings(), true);
    EXPECT_EQ(pool.AddressesText(), "unix:/x, inet:1@h");

    struct Case {
        L before, after, stored;
        std::vector<L> removed, added;  // the hooks' calls
    } cases[] = {
        {{"a", "b"}, {"a", "b"}, {"a", "b"}, {}, {}},
        {{"a", "b"}, {"b", "a"}, {"a", "b"}, {{}}, {{}}},
        {{"a", "b", "c"}, {"c", "d"}, {"c", "d"}, {{"a", "b"}}, {{"d"}}},  // removed texts leave the list
        // The stored order is the order connections are tried in: kept texts
        // stay in place, new ones follow in the order given, never sorted.
        {{"b", "d"}, {"a", "c", "b", "d", "e"}, {"b", "d", "a", "c", "e"}, {{}}, {{"a", "c", "e"}}},
        {{"unix:/z", "inet:1@h"}, {"local:/y", "inet:1@h", "inet:2@a"}, {"inet:1@h", "local:/y", "inet:2@a"},
         {{"unix:/z"}}, {{"local:/y", "inet:2@a"}}},
    };
    for (const Case& c : cases) {
        AddressPool reinit;
        reinit.Init(c.before, ConnSettings(), true);
        ASSERT_TRUE(reinit.Reinit(c.after, ConnSettings(2), true));
        EXPECT_EQ(reinit.GetAddresses(), c.stored);
        EXPECT_EQ(reinit.GetConnSettings().max, 2u);
        EXPECT_EQ(reinit.removed, c.removed);
        EXPECT_EQ(reinit.added, c.added);
    }
}

TEST_F(PoolParts, ControlPipe) {
    VkControl control("(T) PoolManager::GControl");
    for (int command : {258, 258, 266, 258}) control.SetCmd(command);
    EXPECT_TRUE(capture.contains("VkControl((T) PoolManager::GControl): skip sending 0x102: already in queue"));
    EXPECT_EQ(pendingBytes(control), 3);
    for (int expected : {258, 266, 258}) EXPECT_EQ(control.ReadCmd(), expected);
    EXPECT_EQ(thrown([&] { control.ReadCmd(); }),
              "VkPersistentPoolManager::Maintain terminate by emty queue: thread has been canceled");

    // A full pipe: a command that may not be dropped fails, and the queue
    // keeps one entry per byte.
    getIpcLogger().setLevel(VK_LOG_WARN);
    VkControl full("full");
    std::string error;
    for (int i = 0; i < 70000 && error.empty(); ++i) error = thrown([&] { full.SetCmd(i % 2 ? 258 : 266); });
    EXPECT_EQ(error.find("VkControl(full): - can`t write command to control pipe: [11]"), 0u) << error;
    const int bytes = pendingBytes(full);
    int taken = 0;
    while (thrown([&] { full.ReadCmd(); }).empty()) ++taken;
    EXPECT_EQ(taken, bytes);
    EXPECT_GT(taken, 60000);
}

TEST_F(PoolParts, SelectReady) {
    auto a = vktest::unixPair(), b = vktest::unixPair(), silent = vktest::unixPair();
    ASSERT_EQ(write(a->peer, "x", 1), 1);
    ASSERT_EQ(write(b->peer, "y", 1), 1);
    velka::ipc::VkEventList list;  // entries 1 and 3 are readable
    for (auto* pair : {silent.get(), a.get(), silent.get(), b.get()}) list.Add(pair->connection->GetDescriptor(), POLLIN);
    list[2].revents = 0x40;
    for (int call = 0; call < 2; ++call) EXPECT_EQ(velka::ipc::SelectReady(list, boost::posix_time::seconds(1)), 1u);
    EXPECT_EQ(list[1].revents, POLLIN);
    EXPECT_EQ(list[2].revents, 0x40);
    EXPECT_EQ(list[3].revents, 0);

    list.Get().resize(1);
    EXPECT_EQ(velka::ipc::SelectReady(list, boost::posix_time::milliseconds(20)), velka::ipc::kSelectTimedOut);
    EXPECT_TRUE(capture.contains("::SelectReady: waiting for 1 connections is timed out (timeout=00:00:00.020000)"));
    list.Get().clear();
    EXPECT_EQ(thrown([&] { velka::ipc::SelectReady(list, boost::posix_time::pos_infin); }),
              "::SelectReady: the 'connections for waiting' parameter is invalid");
}

TEST_F(PoolParts, IsPeerClosed) {
    struct Case {
        bool bytes, closed, expected;
    } cases[] = {{false, false, false}, {true, false, false}, {false, true, true}, {true, true, false}};
    for (bool tcp : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(tcp) + std::to_string(c.bytes) + std::to_string(c.closed));
            auto pair = tcp ? vktest::tcpPair() : vktest::unixPair();
            if (c.bytes && ::write(pair->peer, "z", 1) != 1) FAIL();
            if (c.closed) pair->closePeer();
            pollfd entry{pair->connection->GetDescriptor(), POLLIN, 0};
            poll(&entry, 1, c.bytes || c.closed ? 1000 : 0);
            // Open and silent: the peek finds EAGAIN, which means open.
            EXPECT_EQ(velka::ipc::IsPeerClosed(pair->connection), c.expected);
        }
    }
}

TEST_F(PoolParts, ClosingHelpers) {
    TestPool pool;
    pool.Init({"unix:/test"}, ConnSettings(0, 0, 0, true), true);
    std::vector<std::unique_ptr<vktest::SocketPair>> pairs;
    for (int i = 0; i < 7; ++i) pairs.push_back(vktest::unixPair());

    // A counted close at count 0 keeps 0 and still sets the closed event.
    std::shared_ptr<velka::ipc::VkIPC> first = pairs[0]->connection;
    pool.ICloseConnection(first, true);
    EXPECT_FALSE(first);
    EXPECT_EQ(pool.Connections().Count(), 0u);
    EXPECT_EQ(pool.PoolEvent().timedWait(velka::base::VkDeadline(velka::base::kTimeoutNowait)).first,
              velka::ipc::kPoolEventConnectionClosed);
    EXPECT_TRUE(vktest::readsEof(pairs[0]->peer));

    for (int i = 1; i <= 6; ++i) pool.Place(pairs[i]->connection, i <= 2);
    pool.CloseSurplus(0);
    EXPECT_EQ(pool.Count(true) + pool.Count(false), 6u);
    pool.CloseSurplus(3);  // both donors, then the oldest established one
    EXPECT_EQ(pool.Count(true), 0u);
    EXPECT_EQ(pool.Count(false), 3u);
    EXPECT_TRUE(vktest::readsEof(pairs[3]->peer));

    // An idle connection the pool closes itself was not handed out: the
    // handed-out count stays, the closing is counted, the maintainer told.
    pool.Connections().Increase();
    pool.CloseIdleConnection(pairs[4]->connection);
    EXPECT_EQ(pool.Connections().Count(), 1u);
    EXPECT_TRUE(vktest::readsEof(pairs[4]->peer));
    std::ostringstream report;
    pool.WriteStatistics(report, 1);
    pool.WriteStatistics(report, 60);
    EXPECT_EQ(report.str(), "closed: 1 (1 num/sec)\nclosed: 0 (0 num/sec)\n");
}

TEST_F(PoolParts, StatisticsReport) {
    vktest::TempDir dir;
    TestPool off;
    off.Init({"unix:/test"}, ConnSettings(), true);
    off.AppendStatistics(dir.file("off.txt"));
    EXPECT_FALSE(std::ifstream(dir.file("off.txt")).good());

    TestPool pool;
    pool.Init({"unix:/test"}, ConnSettings(0, 0, 0, true), true);
    for (int i = 0; i < 2; ++i) pool.CloseConnection(vktest::unixPair()->connection);
    pool.AppendStatistics(dir.file("stats.txt"));
    const std::string time = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\n";
    const std::regex report(std::string(70, '=') + "\nstart:  " + time + "curr:   " + time +
                            "period: 0d 0h 0m [01]s\n\nclosed: 2 \\(2 num/sec\\)\n");
    const std::string text = vktest::readFile(dir.file("stats.txt"));
    EXPECT_TRUE(std::regex_match(text, report)) << text;
    EXPECT_TRUE(capture.contains("Success append ipc statistic to " + dir.file("stats.txt") + " file"));
    pool.AppendStatistics(dir.path() + "/missing/x");
    EXPECT_TRUE(capture.contains("Error in open file " + dir.path() + "/missing/x for writing: No such file"));
}

}  // namespace
