// VkMultiEvent without other threads: taking, precedence and deadlines.
#include "base/vk_multi_event.h"

#include <gtest/gtest.h>

#include "base/vk_exception.h"

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

TEST(MultiEvent, SetIsTakenOnceAndASecondSetOverwritesTheFirst) {
    VkMultiEvent ev("m");
    ev.set(event(300, 1));
    ev.set(event(301, 2));
    const auto got = ev.timedWait(kDeadlineInfinite);
    EXPECT_EQ(got.first, 301u);
    EXPECT_EQ(std::any_cast<int>(got.second), 2);
    EXPECT_THROW(ev.timedWait(past()), VkTimedOut);
}

TEST(MultiEvent, CodeSelectionAndBroadcastPrecedence) {
    VkMultiEvent ev(std::string("m"));
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
    const VkDeadline deadline(kTimeoutNowait);
    ev.set(event(260));
    EXPECT_EQ(ev.timedWait(deadline).first, 260u);
    try {
        ev.timedWait(deadline);
        FAIL() << "no timeout";
    } catch (const VkTimedOut& e) {
        EXPECT_STREQ(e.what(), VkTimedOut("the 'pool' event", deadline).what());
    }
}

}  // namespace
