// VkMultiEvent between threads: release on destruction, wake-ups of
// waiters that select different codes, broadcasts taken once per thread.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "base/vk_multi_event.h"
#include "support/eventually.h"
#include "support/log_capture.h"

namespace {

using velka::base::kDeadlineInfinite;
using velka::base::VkDeadline;
using velka::base::VkMultiEvent;
using velka::base::VkTimedOut;
using velka::base::VkTimeout;
using Clock = std::chrono::steady_clock;

VkDeadline after(int ms) { return VkDeadline(VkTimeout(ms, VkTimeout::Milliseconds)); }

// A thread that waits once on the event; its result is the code taken, 0 on
// a timeout.
class Waiter {
public:
    Waiter(VkMultiEvent& event, std::optional<std::set<unsigned>> codes, VkDeadline deadline) {
        m_thread = std::thread([this, &event, codes, deadline] {
            m_tid = static_cast<int>(::syscall(SYS_gettid));
            try {
                const auto got = event.timedWait(codes ? &*codes : nullptr, deadline);
                m_code = got.first;
            } catch (const VkTimedOut&) {
                m_code = 0;
            }
            m_returned = Clock::now();
            m_done = true;
        });
    }
    ~Waiter() { join(); }
    void join() {
        if (m_thread.joinable()) m_thread.join();
    }
    // True once the thread sleeps in a futex wait on a word inside event
    // (its condition, or briefly its mutex): it has entered the wait.
    bool blockedIn(const VkMultiEvent& event) const {
        const int tid = m_tid;
        if (tid == 0) return false;
        std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
        long number = -1;
        std::string address;
        file >> number >> address;
        if (number != SYS_futex) return false;
        const auto word = std::stoull(address, nullptr, 16);
        const auto begin = reinterpret_cast<std::uintptr_t>(&event);
        return word >= begin && word < begin + sizeof event;
    }
    bool done() const { return m_done; }
    unsigned code() const { return m_code; }
    Clock::time_point returned() const { return m_returned; }

private:
    std::atomic<int> m_tid{0};
    std::atomic<bool> m_done{false};
    std::atomic<unsigned> m_code{~0u};
    Clock::time_point m_returned;
    std::thread m_thread;
};

// Destruction releases every waiter with code 1, whatever it selects, and
// returns only after they let go; with VK_DEBUG set this is logged, never
// an abort.
TEST(MultiEventConcurrent, DestructionReleasesEveryWaiterWithCodeOne) {
    for (const bool debugChecks : {false, true}) {
        SCOPED_TRACE(debugChecks ? "VK_DEBUG set" : "VK_DEBUG unset");
        if (debugChecks) ::setenv("VK_DEBUG", "1", 1);
        vktest::SyslogCapture capture;
        getIpcLogger().setLevel(VK_LOG_DEBUG);
        auto event = std::make_unique<VkMultiEvent>("doomed");
        Waiter selective(*event, std::set<unsigned>{259}, kDeadlineInfinite);
        Waiter any(*event, std::nullopt, after(10000));
        ASSERT_TRUE(vktest::eventually([&] { return selective.blockedIn(*event) && any.blockedIn(*event); }));

        const auto start = Clock::now();
        event.reset();
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
        for (Waiter* waiter : {&selective, &any}) {
            waiter->join();
            EXPECT_EQ(waiter->code(), 1u);
            EXPECT_LT(waiter->returned() - start, std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(capture.contains("the 'doomed' event was deleting (waiters=2)..."));
        EXPECT_TRUE(capture.contains("the 'doomed' event has been deleted"));
        EXPECT_EQ(capture.contains("a waiter woke while the event is being deleted"), debugChecks);
        ::unsetenv("VK_DEBUG");
    }
}

// Waiters select different codes: a set reaches the one that wants it, and
// exactly one of those that want it takes it.
TEST(MultiEventConcurrent, SetReachesAnEligibleWaiterAndExactlyOne) {
    VkMultiEvent event("pool");
    std::vector<std::unique_ptr<Waiter>> others;
    for (int i = 0; i < 5; ++i)
        others.push_back(std::make_unique<Waiter>(event, std::set<unsigned>{300}, after(500)));
    Waiter wanted(event, std::set<unsigned>{301}, after(5000));
    ASSERT_TRUE(vktest::eventually([&] {
        for (auto& w : others)
            if (!w->blockedIn(event)) return false;
        return wanted.blockedIn(event);
    }));
    event.set(VkMultiEvent::Event(301, 0));
    ASSERT_TRUE(vktest::eventually([&] { return wanted.done(); }, 1));
    EXPECT_EQ(wanted.code(), 301u);

    event.set(VkMultiEvent::Event(300, 0));
    int taken = 0;
    for (auto& w : others) {
        w->join();
        taken += w->code() == 300u;
    }
    EXPECT_EQ(taken, 1);
}

// Each thread takes a broadcast once; a thread that comes later still gets
// it at once; a new broadcast is taken again.
TEST(MultiEventConcurrent, BroadcastIsTakenOncePerThread) {
    VkMultiEvent event("b");
    auto twice = [&event] {
        std::vector<unsigned> codes;
        for (int i = 0; i < 2; ++i) {
            try {
                codes.push_back(event.timedWait(after(300)).first);
            } catch (const VkTimedOut&) {
                codes.push_back(0);
            }
        }
        return codes;
    };
    std::vector<std::future<std::vector<unsigned>>> results;
    for (int i = 0; i < 3; ++i) results.push_back(std::async(std::launch::async, twice));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event.broadcast(VkMultiEvent::Event(257, 7));
    for (auto& r : results) EXPECT_EQ(r.get(), (std::vector<unsigned>{257, 0}));

    auto late = std::async(std::launch::async, [&event] { return event.timedWait(velka::base::VkDeadline(velka::base::kTimeoutNowait)); });
    const auto got = late.get();
    EXPECT_EQ(got.first, 257u);
    EXPECT_EQ(std::any_cast<int>(got.second), 7);
}

}  // namespace
