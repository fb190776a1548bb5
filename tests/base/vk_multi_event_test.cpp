// VkMultiEvent without other threads: taking, precedence and deadlines.
#include "base/vk_multi_event.h"

#include <chrono>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "support/log_capture.h"

namespace {

using velka::base::kDeadlineInfinite;
using velka::base::kTimeoutNowait;
using velka::base::VkDeadline;
using velka::base::VkMultiEvent;
using velka::base::VkTimedOut;
using velka::base::VkTimeout;

VkMultiEvent::Event event(unsigned code, int value = 0) { return VkMultiEvent::Event(code, value); }
// A deadline two seconds ago.
VkDeadline past() {
    VkDeadline deadline(kTimeoutNowait);
    deadline -= VkTimeout(2, VkTimeout::Seconds);
    return deadline;
}

// A second set overwrites the first; a broadcast goes before the set event.
TEST(MultiEvent, SetOverwritesCodeSelectionAndBroadcastPrecedence) {
    VkMultiEvent ev(std::string("m"));
    ev.set(event(300, 1));
    ev.set(event(301, 2));
    const auto got = ev.timedWait(kDeadlineInfinite);
    EXPECT_EQ(got.first, 301u);
    EXPECT_EQ(std::any_cast<int>(got.second), 2);
    const std::set<unsigned> wanted{257, 1};
    ev.set(event(259));
    EXPECT_THROW(ev.timedWait(&wanted, past()), VkTimedOut);
    ev.broadcast(event(257, 7));
    // The broadcast goes first, once per thread; the set event stays.
    EXPECT_EQ(ev.timedWait(past()).first, 257u);
    EXPECT_EQ(ev.timedWait(past()).first, 259u);
    EXPECT_THROW(ev.timedWait(past()), VkTimedOut);
}

TEST(MultiEvent, PastDeadlineReturnsAnEligibleEventElseTimesOutWithTheExactText) {
    VkMultiEvent ev("pool");
    for (const VkDeadline& deadline : {VkDeadline(kTimeoutNowait), past()}) {
        ev.set(event(260));
        EXPECT_EQ(ev.timedWait(deadline).first, 260u);
        const auto start = std::chrono::steady_clock::now();
        try {
            ev.timedWait(deadline);
            FAIL() << "no timeout";
        } catch (const VkTimedOut& e) {
            EXPECT_STREQ(e.what(), VkTimedOut("the 'pool' event", deadline).what());
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    }
}

TEST(MultiEvent, RecordsTheLifeOfAnEventWithoutWaiters) {
    vktest::SyslogCapture capture;
    getIpcLogger().setLevel(VK_LOG_DEBUG);
    {
        VkMultiEvent ev("quiet");
        ev.set(event(0x103));
        ev.broadcast(event(0x101));
        ev.timedWait(past());
    }
    const std::vector<std::string> expected = {
        "the 'quiet' event has been created",
        "the 'quiet' event has been set with value = 0x103",
        "the 'quiet' event has been broadcasted with value = 0x101",
        "the broadcast'quiet' event has been received with value=0x101",
        "the 'quiet' event has been deleted",
    };
    const auto texts = capture.texts();
    ASSERT_EQ(texts.size(), expected.size());
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_NE(texts[i].find(expected[i]), std::string::npos) << texts[i];
}

}  // namespace
