// Threaded cases of the pool machinery: the counter and the pause gate, the
// control pipe under load, the maintain loop, and the waits, wake-ups and
// cancels of caller threads. All run with the real multi-event.
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/session/control.h"
#include "ipc/session/pool_codes.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "test_pool.h"

namespace {

using velka::base::kDeadlineInfinite;
using velka::ipc::VkIPC;
using vktest::TestPool;
using vktest::thrown;
using vktest::Clock;
using vktest::in;
using vktest::secondsSince;
using vktest::Waiter;
using std::chrono::milliseconds;

double cpuSeconds(clockid_t clock) {
    timespec time{};
    clock_gettime(clock, &time);
    return time.tv_sec + time.tv_nsec / 1e9;
}

class PoolThreads : public ::testing::Test {
protected:
    void SetUp() override { getIpcLogger().setLevel(VK_LOG_DEBUG); }
    vktest::SyslogCapture capture;
};

TEST_F(PoolThreads, CounterAndPauseGate) {
    velka::ipc::RefCounter counter;
    counter.Increase();
    EXPECT_FALSE(counter.WaitFor(0, in(50), false));
    Waiter closing([&] { counter.WaitFor(0, kDeadlineInfinite, true); });
    ASSERT_TRUE(vktest::eventually([&] { return counter.IsCanceled(); }, 5));
    EXPECT_EQ(thrown([&] { counter.Increase(); }), "RefCounter: thread has been canceled");
    counter.Decrease();
    EXPECT_EQ(closing.get(), "");

    TestPool pool;
    ASSERT_TRUE(pool.Open());
    pool.Suspend();
    Waiter paused([&] { pool.Pause(); });
    EXPECT_TRUE(paused.blocked());
    pool.Resume();
    EXPECT_EQ(paused.get(), "");
    pool.Suspend();
    Waiter canceled([&] { pool.Pause(); });
    EXPECT_TRUE(canceled.blocked());
    pool.StopMaintainer();  // cancels the pause
    EXPECT_EQ(canceled.get(), "VkSessionPoolManager::Pause: thread has been canceled");
    pool.Resume();  // canceled, but no longer suspended: the gate is open
    EXPECT_EQ(thrown([&] { pool.Pause(); }), "");
    pool.Close();  // closed while suspended, then opened again: the gate is open
    ASSERT_TRUE(pool.Open());
    EXPECT_EQ(thrown([&] { pool.Pause(); }), "");
}

TEST_F(PoolThreads, ControlPipeUnderLoadNeverDeadlocks) {
    getIpcLogger().setLevel(VK_LOG_WARN);
    const int commands[] = {velka::ipc::kControlRefresh, velka::ipc::kControlReleased, velka::ipc::kControlClosed};
    velka::base::VkControl control("load", std::set<int>(std::begin(commands), std::end(commands)));
    std::atomic<bool> writing{true};
    std::thread reader([&] {
        std::this_thread::sleep_for(milliseconds(300));  // stalled while the pipe fills
        for (bool more = true; more || writing;) more = thrown([&] { control.ReadCmd(); }).empty();
    });
    const auto start = Clock::now();
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 12500; ++i) control.SetCmd(commands[(i + t) % 3]);
        });
    for (std::thread& writer : writers) writer.join();
    EXPECT_LT(secondsSince(start), 20.0);
    writing = false;
    reader.join();
    int bytes = -1;
    ioctl(control.ReadFd(), FIONREAD, &bytes);
    EXPECT_EQ(bytes, 0);  // the queue is empty too: the reader stopped on it
}

TEST_F(PoolThreads, MaintainLoopWatchesReleasedConnections) {
    TestPool pool;
    pool.throwsLeft = 1;  // the first pass fails; the loop is entered again
    ASSERT_TRUE(pool.Open());
    EXPECT_TRUE(vktest::eventually(
        [&] { return capture.contains(" FATAL (Test) MaintainThread::run exception(prepare failed on purpose)"); }, 5));
    struct Case {
        bool tcp, hangUp;  // else stray bytes
        short expected;
    } cases[] = {{false, true, POLLHUP}, {true, true, POLLIN}, {false, false, POLLIN}, {true, false, POLLIN}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.tcp) + std::to_string(c.hangUp));
        auto pair = c.tcp ? vktest::tcpPair() : vktest::unixPair();
        pool.Release(pair->connection);  // watched from the next pass on
        if (c.hangUp)
            pair->closePeer();
        else
            ASSERT_EQ(::write(pair->peer, "stale", 5), 5);
        ASSERT_TRUE(vktest::eventually([&] { return pool.closedWith(pair->connection) != 0; }, 5));
        EXPECT_TRUE(pool.closedWith(pair->connection) & c.expected);
        EXPECT_EQ(pair->connection->GetDescriptor(), -1);
    }
    EXPECT_TRUE(capture.contains(" has unsolicited bytes while idle make pause..."));
    EXPECT_EQ(pool.Connections().Count(), 0u);

    pool.Control()->SetCmd(268);
    auto after = vktest::unixPair();
    pool.Release(after->connection);
    after->closePeer();
    EXPECT_TRUE(vktest::eventually([&] { return pool.closedWith(after->connection) != 0; }, 5));
    EXPECT_TRUE(capture.contains(" ERROR Maintain: unknown control command -> 268"));

    const auto start = Clock::now();
    pool.StopMaintainer();
    EXPECT_LT(secondsSince(start), 0.1);
    EXPECT_TRUE(capture.contains("VkMaintainThread: catch stop thread"));
}

TEST_F(PoolThreads, StrayBytesAndPollingFailuresDoNotSpin) {
    for (bool pollingFails : {false, true}) {
        SCOPED_TRACE(pollingFails ? "polling failure" : "stray bytes");
        TestPool pool;
        ASSERT_TRUE(pool.Open());
        ASSERT_TRUE(vktest::eventually([&] { return pool.threadClock != 0; }, 5));
        auto pair = vktest::unixPair();
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        const double before = cpuSeconds(pool.threadClock);
        if (pollingFails) {
            rlimit low{64, saved.rlim_max};  // fewer descriptors than entries: poll fails (EINVAL)
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
            pool.extraEntries = 100;
            pool.Refresh();
        } else {
            pool.Release(pair->connection);
            EXPECT_EQ(write(pair->peer, "leftover", 8), 8);
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double used = cpuSeconds(pool.threadClock) - before;
        pool.extraEntries = 0;
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_LT(used, 0.1) << "the maintain thread used " << used << " s of CPU in 2 s";
        EXPECT_TRUE(pollingFails ? capture.contains(" WARN Maintain: polling exception - multiplexor fails")
                                 : vktest::readsEof(pair->peer));
    }
}

TEST_F(PoolThreads, WaitsEndAtTheirDeadlineAndNotBefore) {
    TestPool pool;
    ASSERT_TRUE(pool.Open());
    struct Case {
        int ms;
        double low, high;
    } cases[] = {{200, 0.15, 0.8}, {3000, 2.9, 4.5}};
    std::vector<std::future<double>> waits;
    for (const Case& c : cases)
        waits.push_back(std::async(std::launch::async, [&pool, c] {
            const auto start = Clock::now();
            const std::string text = thrown([&] { pool.GetReady(in(c.ms)); });
            return text.find(": timed out (deadline=") != std::string::npos ? secondsSince(start) : -1.0;
        }));
    std::shared_ptr<VkIPC> taken;
    Waiter infinite([&] { taken = pool.GetReady(kDeadlineInfinite); });
    for (size_t i = 0; i < waits.size(); ++i) {
        const double elapsed = waits[i].get();
        EXPECT_GE(elapsed, cases[i].low);
        EXPECT_LE(elapsed, cases[i].high);
    }
    EXPECT_TRUE(infinite.blocked());
    auto pair = vktest::unixPair();
    pool.Release(pair->connection);
    EXPECT_EQ(infinite.get(), "");
    EXPECT_EQ(taken, pair->connection);
    EXPECT_EQ(pool.Connections().Count(), 1u);
}

TEST_F(PoolThreads, WaiterFindsAConnectionWhoseSetWasOverwritten) {
    TestPool pool;
    ASSERT_TRUE(pool.Open());
    Waiter first([&] { pool.GetReady(kDeadlineInfinite); }), second([&] { pool.GetReady(kDeadlineInfinite); });
    EXPECT_TRUE(first.blocked() && second.blocked());
    auto a = vktest::unixPair(), b = vktest::unixPair();
    pool.Place(a->connection);
    pool.Place(b->connection);
    // Two connections, one event: the second set overwrote the first.
    pool.PoolEvent().set(velka::base::VkEvent(velka::ipc::kPoolEventConnectionReady, std::any(0)));
    EXPECT_EQ(first.get(2500), "");
    EXPECT_EQ(second.get(2500), "");
}

TEST_F(PoolThreads, WaitersLeaveOnStateChangeCloseAndCancel) {
    struct Case {
        std::function<void(TestPool&, pthread_t)> act;
        const char* text;
    } cases[] = {
        {[](TestPool& pool, pthread_t) { pool.Wakeup(); }, "function should be recalled"},
        {[](TestPool& pool, pthread_t) { pool.StopMaintainer(), pool.Close(); }, "function should be recalled"},
        {[](TestPool& pool, pthread_t waiter) {
             static_assert(sizeof(pthread_t) == 8, "pthread_t is an address here");
             EXPECT_NE(static_cast<uint64_t>(waiter) >> 32, 0u);  // a 32-bit copy would never match
             const auto start = Clock::now();
             EXPECT_TRUE(pool.Cancel(waiter));
             EXPECT_LT(secondsSince(start), 1.5);
         },
         "PP-Manager::GetReady: thread has been canceled"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TestPool pool;
        ASSERT_TRUE(pool.Open());
        Waiter waiter([&] { pool.GetReady(kDeadlineInfinite); });
        const pthread_t thread = waiter.id.get_future().get();
        EXPECT_TRUE(waiter.blocked());
        c.act(pool, thread);
        EXPECT_EQ(waiter.get(), c.text);
    }
    TestPool pool;
    EXPECT_TRUE(pool.Cancel(pthread_t()));
}

TEST_F(PoolThreads, SleepersAndWakeUpAll) {
    TestPool pool;
    ASSERT_TRUE(pool.Open());
    const auto quick = Clock::now();
    pool.WakeUpAll();  // nobody sleeps
    EXPECT_LT(secondsSince(quick), 0.1);

    // A sleeper that cannot take its caller's lock back does not hold
    // WakeUpAll forever. Its first Sleep takes the broadcast just made.
    std::mutex callerMutex;
    Waiter stuck([&] {
        std::unique_lock<std::mutex> lock(callerMutex);
        pool.Sleep(kDeadlineInfinite, lock);
        pool.Sleep(kDeadlineInfinite, lock);
    });
    EXPECT_TRUE(stuck.blocked());
    {
        std::lock_guard<std::mutex> hold(callerMutex);
        const auto start = Clock::now();
        pool.WakeUpAll();
        EXPECT_GE(secondsSince(start), 2.5);
        EXPECT_LT(secondsSince(start), 5.0);
    }
    EXPECT_EQ(stuck.get(), "");
    EXPECT_TRUE(capture.contains(" WARN WakeUpAll: 1 thread(s) still sleep in the (Test) pool after 3 s"));
}

TEST_F(PoolThreads, DestroyingAnOpenPoolReleasesAWaiter) {
    TestPool* pool = new TestPool;
    ASSERT_TRUE(pool->Open());
    std::vector<std::unique_ptr<vktest::SocketPair>> pairs;
    for (int i = 0; i < 3; ++i) {
        pairs.push_back(vktest::unixPair());
        pool->Place(pairs.back()->connection);
    }
    Waiter waiter([pool] { pool->_WaitReady(velka::base::kTimeoutInfinite); });
    EXPECT_TRUE(waiter.blocked());
    delete pool;  // the loop runs hooks of the derived part until it is stopped
    EXPECT_EQ(waiter.get(), "PP-Manager::GetReady - destroy: thread has been canceled");
    for (auto& pair : pairs) EXPECT_TRUE(vktest::readsEof(pair->peer));
}

TEST_F(PoolThreads, ReleaseRacesStopMaintainer) {
    getIpcLogger().setLevel(VK_LOG_WARN);
    TestPool pool;
    ASSERT_TRUE(pool.Open());
    std::atomic<bool> running{true};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&] {
            auto pair = vktest::unixPair();
            while (running) {
                pool.Release(pair->connection);
                thrown([&] { pool.GetReady(in(5)); });
                pool.CloseConnection(nullptr);
            }
        });
    for (int round = 0; round < 20; ++round) {
        std::this_thread::sleep_for(milliseconds(5));
        pool.StopMaintainer();
        pool.RunMaintainer();
    }
    running = false;
    for (std::thread& caller : callers) caller.join();
}

}  // namespace
