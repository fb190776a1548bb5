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
    struct Case {
        uint32_t min, max;
        const char* error;  // null: accepted
    } cases[] = {
        {0, 65535, nullptr},
        {0, 65536, "ConnSettings::Check: the 'max number of connections' parameter contains invalid value '65536(too much)'"},
        {7, 0, nullptr},
        {7, 6, "ConnSettings::Check: the 'min is greater than max' parameter contains invalid value '7>6'"},
        {0, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.min) + "/" + std::to_string(c.max));
        try {
            ConnSettings(c.min, c.max, 0, false);
            EXPECT_EQ(c.error, nullptr);
        } catch (const velka::base::VkParameterError& e) {
            ASSERT_NE(c.error, nullptr);
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

TEST_F(PoolParts, ConnectTimeoutFromEnvironment) {
    struct Case {
        const char* text;  // null: unset
        uint32_t ms;
        bool warns;
    } cases[] = {
        {nullptr, 10000, false}, {"30", 30000, false},       {"-1", 0xFFFFFFFFu, false},
        {"99999", 14400000, false}, {"abc", 10000, true},    {"", 10000, true},
        {" 5s", 5000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "unset");
        vktest::SyslogCapture records;
        if (c.text)
            setenv("VK_CONNECT_TIMEOUT", c.text, 1);
        else
            unsetenv("VK_CONNECT_TIMEOUT");
        TestPool pool;
        EXPECT_EQ(pool.GetConnectTimeout().AsUnit(velka::base::VkTimeout::Milliseconds), c.ms);
        EXPECT_EQ(records.contains(" WARN VK_CONNECT_TIMEOUT=\""), c.warns);
    }
    unsetenv("VK_CONNECT_TIMEOUT");
}

// A pool that records what the address hooks were given.
class AddressPool : public TestPool {
public:
    std::vector<std::list<std::string>> removedCalls, addedCalls;

protected:
    void OnAddressesRemoved(const std::list<std::string>& removed) override { removedCalls.push_back(removed); }
    void OnAddressesAdded(const std::list<std::string>& added) override { addedCalls.push_back(added); }
};

TEST_F(PoolParts, AddressLists) {
    AddressPool pool;
    ASSERT_TRUE(pool.Init({"a", "a", "b", "a"}, ConnSettings(), true));
    EXPECT_EQ(pool.GetAddresses(), (std::list<std::string>{"a", "b", "a"}));
    pool.Init({"unix:/x", "inet:1@h"}, ConnSettings(), true);
    EXPECT_EQ(pool.AddressesText(), "unix:/x, inet:1@h");

    struct Case {
        std::list<std::string> before, after, stored, removed, added;
        size_t hookCalls;
    } cases[] = {
        {{"a", "b"}, {"a", "b"}, {"a", "b"}, {}, {}, 0},
        {{"a", "b"}, {"b", "a"}, {"a", "b"}, {}, {}, 1},
        {{"a", "b", "c"}, {"c", "d"}, {"c", "d"}, {"a", "b"}, {"d"}, 1},
        {{"b", "d"}, {"a", "c", "b", "d", "e"}, {"a", "b", "c", "d", "e"}, {}, {"a", "c", "e"}, 1},
    };
    for (const Case& c : cases) {
        AddressPool reinit;
        reinit.Init(c.before, ConnSettings(), true);
        ASSERT_TRUE(reinit.Reinit(c.after, ConnSettings(2), true));
        EXPECT_EQ(reinit.GetAddresses(), c.stored);
        EXPECT_EQ(reinit.GetConnSettings().max, 2u);
        ASSERT_EQ(reinit.removedCalls.size(), c.hookCalls);
        ASSERT_EQ(reinit.addedCalls.size(), c.hookCalls);
        if (c.hookCalls) {
            EXPECT_EQ(reinit.removedCalls[0], c.removed);
            EXPECT_EQ(reinit.addedCalls[0], c.added);
        }
    }
}

TEST_F(PoolParts, ControlPipeQueuesOneBytePerCommand) {
    VkControl control("(T) PoolManager::GControl");
    control.SetCmd(258);
    control.SetCmd(258);
    EXPECT_EQ(pendingBytes(control), 1);
    EXPECT_TRUE(capture.contains("VkControl((T) PoolManager::GControl): skip sending 0x102: already in queue"));
    control.SetCmd(266);
    control.SetCmd(258);
    EXPECT_EQ(pendingBytes(control), 3);
    char bytes[1];
    for (int expected : {258, 266, 258}) EXPECT_EQ(control.ReadCmd(), expected);
    EXPECT_EQ(pendingBytes(control), 0);
    try {
        control.ReadCmd();
        FAIL() << "an empty queue must throw";
    } catch (const velka::base::VkThreadCanceled& e) {
        EXPECT_STREQ(e.what(), "VkPersistentPoolManager::Maintain terminate by emty queue: thread has been canceled");
    }
    control.SetCmd(7);
    ASSERT_EQ(read(control.ReadFd(), bytes, 1), 1);
    EXPECT_EQ(bytes[0], '7');
}

TEST_F(PoolParts, FullControlPipeNeverBlocksAndStaysInStep) {
    getIpcLogger().setLevel(VK_LOG_WARN);
    VkControl strict("strict");
    VkControl lenient("lenient", {258, 266});
    bool threw = false;
    for (int i = 0; i < 70000 && !threw; ++i) {
        try {
            strict.SetCmd(i % 2 ? 258 : 266);
        } catch (const velka::base::VkSystemError& e) {
            threw = true;
            EXPECT_EQ(e.GetErrno(), EAGAIN);
            EXPECT_NE(std::string(e.what()).find("VkControl(strict): - can`t write command to control pipe"),
                      std::string::npos);
        }
        lenient.SetCmd(i % 2 ? 258 : 266);
    }
    EXPECT_TRUE(threw);
    for (VkControl* control : {&strict, &lenient}) {
        const int bytes = pendingBytes(*control);
        EXPECT_GT(bytes, 60000);
        int taken = 0;
        try {
            for (;;) {
                control->ReadCmd();
                ++taken;
            }
        } catch (const velka::base::VkThreadCanceled&) {
        }
        EXPECT_EQ(taken, bytes) << control->Name();
        control->Clear();
    }
}

TEST_F(PoolParts, SelectReady) {
    auto a = vktest::unixPair(), b = vktest::unixPair(), c = vktest::unixPair();
    ASSERT_EQ(write(a->peer, "x", 1), 1);
    ASSERT_EQ(write(b->connection->GetDescriptor(), "y", 1), 1);
    velka::ipc::VkEventList list;  // entries 1 and 3 are readable
    list.Add(c->connection->GetDescriptor(), POLLIN);
    list.Add(a->connection->GetDescriptor(), POLLIN);
    list.Add(c->connection->GetDescriptor(), POLLIN);
    list.Add(b->peer, POLLIN);
    list[2].revents = 0x40;
    EXPECT_EQ(velka::ipc::SelectReady(list, boost::posix_time::seconds(1)), 1u);
    EXPECT_EQ(list[1].revents, POLLIN);
    EXPECT_EQ(list[2].revents, 0x40);  // untouched
    EXPECT_EQ(list[3].revents, 0);
    EXPECT_EQ(velka::ipc::SelectReady(list, boost::posix_time::seconds(1)), 1u);

    velka::ipc::VkEventList silent;
    silent.Add(c->connection->GetDescriptor(), POLLIN);
    EXPECT_EQ(velka::ipc::SelectReady(silent, boost::posix_time::milliseconds(20)), velka::ipc::kSelectTimedOut);
    EXPECT_TRUE(capture.contains("::SelectReady: waiting for 1 connections is timed out (timeout=00:00:00.020000)"));

    velka::ipc::VkEventList empty;
    try {
        velka::ipc::SelectReady(empty, boost::posix_time::pos_infin);
        FAIL();
    } catch (const velka::base::VkParameterError& e) {
        EXPECT_STREQ(e.what(), "::SelectReady: the 'connections for waiting' parameter is invalid");
    }
    EXPECT_TRUE(capture.contains("::SelectReady: nothing for waiting - control fd is invalid and not IPC descriptors"));
}

TEST_F(PoolParts, IsPeerClosed) {
    for (bool tcp : {false, true}) {
        struct Case {
            const char* name;
            bool bytes, closed, expected;
        } cases[] = {
            {"open and silent", false, false, false},  // the peek finds EAGAIN: open
            {"bytes waiting", true, false, false},
            {"closed by the peer", false, true, true},
            {"bytes, then closed", true, true, false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(tcp ? "tcp " : "unix ") + c.name);
            auto pair = tcp ? vktest::tcpPair() : vktest::unixPair();
            if (c.bytes) {
                ASSERT_EQ(write(pair->peer, "z", 1), 1);
            }
            if (c.closed) pair->closePeer();
            if (c.closed || c.bytes) {
                pollfd entry{pair->connection->GetDescriptor(), POLLIN, 0};
                ASSERT_EQ(poll(&entry, 1, 1000), 1);
            }
            std::shared_ptr<velka::ipc::VkIPC> connection = pair->connection;
            EXPECT_EQ(velka::ipc::IsPeerClosed(connection), c.expected);
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

    // Surplus: donors first, then the established connections.
    for (int i = 1; i <= 2; ++i) pool.AddDonor(pairs[i]->connection);
    for (int i = 3; i <= 6; ++i) pool.Place(pairs[i]->connection);
    pool.CloseSurplus(0);
    EXPECT_EQ(pool.DonorCount() + pool.EstablishedCount(), 6u);
    pool.CloseSurplus(3);
    EXPECT_EQ(pool.DonorCount(), 0u);
    EXPECT_EQ(pool.EstablishedCount(), 3u);
    EXPECT_TRUE(vktest::readsEof(pairs[3]->peer));

    // An idle connection the pool closes by itself is not a handed-out one:
    // the count stays, the closing is counted and the maintainer is told.
    pool.Connections().Increase();
    pool.Connections().Increase();
    pool.CloseIdleConnection(pairs[4]->connection);
    EXPECT_EQ(pool.Connections().Count(), 2u);
    EXPECT_TRUE(vktest::readsEof(pairs[4]->peer));
    std::ostringstream report;
    pool.WriteStatistics(report, 1);
    EXPECT_EQ(report.str(), "closed: 1 (1 num/sec)\n");
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
    const std::regex report(std::string(70, '=') +
                            "\nstart:  [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\n"
                            "curr:   [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\n"
                            "period: 0d 0h 0m [01]s\n\nclosed: 2 \\(2 num/sec\\)\n");
    EXPECT_TRUE(std::regex_match(vktest::readFile(dir.file("stats.txt")), report))
        << vktest::readFile(dir.file("stats.txt"));
    EXPECT_TRUE(capture.contains("Success append ipc statistic to " + dir.file("stats.txt") + " file"));

    pool.AppendStatistics(dir.path() + "/missing/x.txt");
    EXPECT_TRUE(capture.contains("Error in open file " + dir.path() + "/missing/x.txt for writing: No such file"));
}

}  // namespace
