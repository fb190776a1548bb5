// Threaded cases of the pool machinery: the counter and the pause gate, the
// control pipe under load, the maintain loop, and the waits, wake-ups and
// cancels of caller threads. All run with the real multi-event.
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <chrono>
#include <future>
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

using velka::base::VkDeadline;
using velka::base::VkTimeout;
using velka::ipc::ConnSettings;
using velka::ipc::VkIPC;
using vktest::TestPool;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

VkDeadline in(int ms) { return VkDeadline(VkTimeout(ms, VkTimeout::Milliseconds)); }

// The text of what the call throws, or "" when it returns.
template <typename Call>
std::string thrown(Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

double threadCpuSeconds(clockid_t clock) {
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
    auto limited = std::async(std::launch::async, [&] { counter.Increase(1); });
    EXPECT_EQ(limited.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_FALSE(counter.WaitFor(0, in(50), false));
    counter.Decrease();
    limited.get();
    auto closing = std::async(std::launch::async, [&] { return counter.WaitFor(0, velka::base::kDeadlineInfinite, true); });
    ASSERT_TRUE(vktest::eventually([&] { return counter.IsCanceled(); }, 5));
    EXPECT_EQ(thrown([&] { counter.Increase(); }), "RefCounter: thread has been canceled");
    counter.Decrease();
    EXPECT_TRUE(closing.get());

    TestPool pool;
    ASSERT_TRUE(pool.Open());
    pool.Pause();  // not paused: returns
    pool.Suspend();
    auto paused = std::async(std::launch::async, [&] { pool.Pause(); });
    EXPECT_EQ(paused.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    pool.Resume();
    paused.get();
    pool.Suspend();
    auto canceled = std::async(std::launch::async, [&] { return thrown([&] { pool.Pause(); }); });
    EXPECT_EQ(canceled.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    pool.StopMaintainer();  // cancels the pause
    EXPECT_EQ(canceled.get(), "VkSessionPoolManager::Pause: thread has been canceled");
    // Closed while suspended and opened again: the gate is open again.
    pool.Close();
    ASSERT_TRUE(pool.Open());
    EXPECT_EQ(thrown([&] { pool.Pause(); }), "");
}

TEST_F(PoolThreads, ControlPipeUnderLoadNeverDeadlocks) {
    getIpcLogger().setLevel(VK_LOG_WARN);
    velka::base::VkControl control("load", {velka::ipc::kControlRefresh, velka::ipc::kControlReleased,
                                            velka::ipc::kControlClosed});
    std::atomic<bool> writing{true};
    std::atomic<long> taken{0};
    const auto start = Clock::now();
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // stalled while the pipe fills
        for (;;) {
            pollfd entry{control.ReadFd(), POLLIN, 0};
            if (poll(&entry, 1, 20) == 1) {
                control.ReadCmd();
                ++taken;
            } else if (!writing) {
                return;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([&, t] {
            const int commands[] = {velka::ipc::kControlRefresh, velka::ipc::kControlReleased,
                                    velka::ipc::kControlClosed};
            for (int i = 0; i < 12500; ++i) control.SetCmd(commands[(i + t) % 3]);
        });
    for (std::thread& writer : writers) writer.join();
    writing = false;
    reader.join();
    EXPECT_LT(secondsSince(start), 30.0);
    EXPECT_GT(taken.load(), 0);
    int bytes = -1;
    ioctl(control.ReadFd(), FIONREAD, &bytes);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(thrown([&] { control.ReadCmd(); }),
              "VkPersistentPoolManager::Maintain terminate by emty queue: thread has been canceled");
}

TEST_F(PoolThreads, MaintainLoopWatchesReleasedConnections) {
    TestPool pool;
    ASSERT_TRUE(pool.Open());
    struct Case {
        const char* name;
        bool tcp;
        bool hangUp;  // else stray bytes
        short expected;
    } cases[] = {
        {"unix hang-up", false, true, POLLHUP},
        {"tcp hang-up", true, true, POLLIN},
        {"unix stray bytes", false, false, POLLIN},
        {"tcp stray bytes", true, false, POLLIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto pair = c.tcp ? vktest::tcpPair() : vktest::unixPair();
        const int fd = pair->connection->GetDescriptor();
        pool.Release(pair->connection);  // watched from the next pass on
        if (c.hangUp)
            pair->closePeer();
        else
            ASSERT_EQ(write(pair->peer, "stale", 5), 5);
        ASSERT_TRUE(vktest::eventually([&] { return pool.sawFd(fd) && pool.EstablishedCount() == 0; }, 5));
        for (const TestPool::Seen& seen : pool.seen())
            if (seen.fd == fd) {
                EXPECT_TRUE(seen.revents & c.expected) << seen.revents;
            }
        EXPECT_EQ(pair->connection->GetDescriptor(), -1);
    }
    EXPECT_TRUE(capture.contains(" has unsolicited bytes while idle make pause..."));
    EXPECT_EQ(pool.Connections().Count(), 0u);

    pool.Control()->SetCmd(268);
    ASSERT_TRUE(vktest::eventually([&] { return capture.contains(" ERROR Maintain: unknown control command -> 268"); }, 5));
    auto after = vktest::unixPair();
    pool.Release(after->connection);
    ASSERT_EQ(write(after->peer, "x", 1), 1);
    ASSERT_TRUE(vktest::eventually([&] { return pool.sawFd(after->connection->GetDescriptor()) || pool.EstablishedCount() == 0; }, 5));

    const auto start = Clock::now();
    pool.StopMaintainer();
    EXPECT_LT(secondsSince(start), 0.1);
    EXPECT_TRUE(capture.contains("VkMaintainThread: catch stop thread"));
}

TEST_F(PoolThreads, StrayBytesAndPollingFailuresDoNotSpin) {
    struct Case {
        const char* name;
        bool pollingFailure;
        const char* record;
    } cases[] = {
        {"stray bytes", false, " has unsolicited bytes while idle make pause..."},
        {"polling failure", true, " WARN Maintain: polling exception - multiplexor fails"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPool pool;
        ASSERT_TRUE(pool.Open());
        ASSERT_TRUE(vktest::eventually([&] { return pool.threadClock != 0; }, 5));
        auto pair = vktest::unixPair();
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        const double before = threadCpuSeconds(pool.threadClock);
        if (c.pollingFailure) {
            // More entries than descriptors allowed: every poll fails (EINVAL).
            rlimit low = saved;
            low.rlim_cur = 64;
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
            pool.extraEntries = 100;
            pool.Refresh();
        } else {
            pool.Release(pair->connection);
            ASSERT_EQ(write(pair->peer, "leftover", 8), 8);
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double used = threadCpuSeconds(pool.threadClock) - before;
        pool.extraEntries = 0;
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_LT(used, 0.1) << "the maintain thread used " << used << " s of CPU in 2 s";
        EXPECT_TRUE(capture.contains(c.record));
        if (!c.pollingFailure) {
            EXPECT_TRUE(vktest::readsEof(pair->peer));
        }
    }
}

TEST_F(PoolThreads, LoopSurvivesAHookThatThrows) {
    TestPool pool;
    pool.throwsLeft = 1;
    ASSERT_TRUE(pool.Open());
    ASSERT_TRUE(vktest::eventually(
        [&] { return capture.contains(" FATAL (Test) MaintainThread::run exception(prepare failed on purpose)"); }, 5));
    auto pair = vktest::unixPair();
    pool.Release(pair->connection);
    pair->closePeer();
    EXPECT_TRUE(vktest::eventually([&] { return pool.EstablishedCount() == 0; }, 5));
    const auto start = Clock::now();
    pool.StopMaintainer();
    EXPECT_LT(secondsSince(start), 0.1);
}

TEST_F(PoolThreads, WaitsEndAtTheirDeadlineAndNotBefore) {
    TestPool pool;
    ASSERT_TRUE(pool.Open());
    struct Case {
        int ms;
        double low, high;
    } cases[] = {{200, 0.15, 0.8}, {3000, 2.9, 4.5}};
    std::vector<std::future<std::pair<std::string, double>>> waits;
    for (const Case& c : cases)
        waits.push_back(std::async(std::launch::async, [&pool, c] {
            const auto start = Clock::now();
            std::string text = thrown([&] { pool.GetReady(in(c.ms)); });
            return std::make_pair(text, secondsSince(start));
        }));
    std::shared_ptr<VkIPC> taken;
    auto infinite = std::async(std::launch::async, [&] { taken = pool.GetReady(velka::base::kDeadlineInfinite); });
    for (size_t i = 0; i < waits.size(); ++i) {
        const auto result = waits[i].get();
        EXPECT_NE(result.first.find(": timed out (deadline="), std::string::npos) << result.first;
        EXPECT_GE(result.second, cases[i].low);
        EXPECT_LE(result.second, cases[i].high);
    }
    EXPECT_EQ(infinite.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    auto pair = vktest::unixPair();
    pool.Release(pair->connection);
    ASSERT_EQ(infinite.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(taken, pair->connection);
    EXPECT_EQ(pool.Connections().Count(), 1u);
}

TEST_F(PoolThreads, WaiterFindsAConnectionWhoseSetWasOverwritten) {
    TestPool pool;
    ASSERT_TRUE(pool.Open());
    std::vector<std::future<std::shared_ptr<VkIPC>>> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.push_back(std::async(std::launch::async, [&] { return pool.GetReady(velka::base::kDeadlineInfinite); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto a = vktest::unixPair(), b = vktest::unixPair();
    pool.Place(a->connection);
    pool.Place(b->connection);
    // Two connections, one event: the second set overwrote the first.
    pool.PoolEvent().set(velka::base::VkEvent(velka::ipc::kPoolEventConnectionReady, std::any(0)));
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(2500)), std::future_status::ready);
        EXPECT_TRUE(waiter.get());
    }
}

TEST_F(PoolThreads, WaitersLeaveOnStateChangeCloseAndCancel) {
    struct Case {
        const char* name;
        std::function<void(TestPool&, pthread_t)> act;
        const char* text;
    } cases[] = {
        {"state change", [](TestPool& pool, pthread_t) { pool.Wakeup(); }, "function should be recalled"},
        {"close", [](TestPool& pool, pthread_t) { pool.StopMaintainer(), pool.Close(); }, "function should be recalled"},
        {"cancel",
         [](TestPool& pool, pthread_t waiter) {
             static_assert(sizeof(pthread_t) == 8, "pthread_t is an address here");
             EXPECT_NE(static_cast<uint64_t>(waiter) >> 32, 0u);  // a 32-bit copy would never match
             const auto start = Clock::now();
             EXPECT_TRUE(pool.Cancel(waiter));
             EXPECT_LT(secondsSince(start), 1.5);
         },
         "PP-Manager::GetReady: thread has been canceled"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPool pool;
        ASSERT_TRUE(pool.Open());
        std::promise<pthread_t> id;
        auto waiter = std::async(std::launch::async, [&] {
            id.set_value(pthread_self());
            return thrown([&] { pool.GetReady(velka::base::kDeadlineInfinite); });
        });
        const pthread_t thread = id.get_future().get();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.act(pool, thread);
        ASSERT_EQ(waiter.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        EXPECT_EQ(waiter.get(), c.text);
    }
    TestPool pool;
    EXPECT_TRUE(pool.Cancel(pthread_t()));
}

TEST_F(PoolThreads, SleepersAndWakeUpAll) {
    TestPool pool;
    ASSERT_TRUE(pool.Open());
    // A cancelled sleeper leaves. (It comes first: a thread that starts to
    // wait sees the last broadcast, and WakeUpAll broadcasts a state change.)
    std::promise<pthread_t> id;
    auto sleeper = std::async(std::launch::async, [&] {
        id.set_value(pthread_self());
        return thrown([&] { pool.WaitStateChange(velka::base::kDeadlineInfinite); });
    });
    const pthread_t thread = id.get_future().get();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(pool.Cancel(thread));
    EXPECT_EQ(sleeper.get(), "PP-Manager::GetReady: thread has been canceled");

    const auto quick = Clock::now();
    pool.WakeUpAll();  // nobody sleeps
    EXPECT_LT(secondsSince(quick), 0.1);

    // A sleeper that cannot take its caller's lock back does not hold
    // WakeUpAll forever. It first takes the state change broadcast above.
    std::mutex callerMutex;
    std::atomic<bool> left{false};
    std::thread stuck([&] {
        std::unique_lock<std::mutex> lock(callerMutex);
        pool.Sleep(velka::base::kDeadlineInfinite, lock);
        pool.Sleep(velka::base::kDeadlineInfinite, lock);
        left = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        std::lock_guard<std::mutex> hold(callerMutex);
        const auto start = Clock::now();
        pool.WakeUpAll();
        EXPECT_GE(secondsSince(start), 2.5);
        EXPECT_LT(secondsSince(start), 5.0);
        EXPECT_FALSE(left);
    }
    stuck.join();
    EXPECT_TRUE(left);
    EXPECT_TRUE(capture.contains(" WARN WakeUpAll: 1 thread(s) still sleep in the (Test) pool after 3 s"));
}

TEST_F(PoolThreads, DestroyingThePoolReleasesAWaiter) {
    auto pool = std::make_unique<TestPool>();
    ASSERT_TRUE(pool->Open());
    std::vector<std::unique_ptr<vktest::SocketPair>> pairs;
    for (int i = 0; i < 3; ++i) {
        pairs.push_back(vktest::unixPair());
        pool->Place(pairs.back()->connection);
    }
    auto waiter = std::async(std::launch::async, [&] {
        return thrown([&] { pool->_WaitReady(velka::base::kTimeoutInfinite); });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pool.reset();
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
                try {
                    pool.GetReady(in(5));
                } catch (const velka::base::VkException&) {
                }
                pool.CloseConnection(nullptr);
                pool.Refresh();
            }
        });
    for (int round = 0; round < 20; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        pool.StopMaintainer();
        pool.RunMaintainer();
    }
    running = false;
    for (std::thread& caller : callers) caller.join();
}

}  // namespace
