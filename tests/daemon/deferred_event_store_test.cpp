#include "daemon/deferred_event_store.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace {

// 2030-01-01 12:00:00.900 UTC in milliseconds.
const std::int64_t kFault = 1893499200900;

DeferredEvent fault(pid_t pid, std::int64_t at = kFault) {
    DeferredEvent event;
    event.faultMs = at;
    event.pid = pid;
    return event;
}

TEST(RecoverySchedule, DelaysAddUpFromTheFaultUntilTheListIsUsedUp) {
    DeferredEventStore store;
    store.setRecoveryTimes({10, 20, 30});
    DeferredEvent event = fault(42);
    for (const std::int64_t dueSeconds : {10, 30, 60}) {
        store.pushFault(event);
        const std::int64_t due = kFault + dueSeconds * 1000;
        EXPECT_EQ(store.msUntilDue(kFault), dueSeconds * 1000);
        EXPECT_FALSE(store.popDue(due - 1));
        const auto popped = store.popDue(due);
        ASSERT_TRUE(popped);
        EXPECT_EQ(popped->dueMs, due);
        EXPECT_EQ(popped->faultMs, kFault);
        EXPECT_EQ(popped->pid, 42);
        event = *popped;
    }
    EXPECT_EQ(event.tries, 3u);
    try {
        store.pushFault(event);
        ADD_FAILURE() << "a fourth try was scheduled";
    } catch (const DeferredEventStore::TimeoutError& e) {
        EXPECT_STREQ(e.what(), "pushFault() error: try number is over");
    }
    EXPECT_TRUE(store.empty());
    EXPECT_FALSE(store.msUntilDue(kFault));
}

TEST(RecoverySchedule, EmptyOrShortenedListEndsRecovery) {
    DeferredEventStore store;
    EXPECT_THROW(store.pushFault(fault(1)), DeferredEventStore::TimeoutError);
    store.setRecoveryTimes({5, 5, 5});
    DeferredEvent event = fault(1);
    event.tries = 2;
    store.setRecoveryTimes({5});
    EXPECT_THROW(store.pushFault(event), DeferredEventStore::TimeoutError);
    EXPECT_TRUE(store.empty());
}

TEST(RecoverySchedule, NeverDueBeforeTheDelayToTheMillisecond) {
    DeferredEventStore store;
    store.setRecoveryTimes({2});
    store.pushFault(fault(7));
    const std::int64_t wholeSecond = kFault - 900 + 2000;  // 12:00:02.000
    EXPECT_FALSE(store.popDue(wholeSecond));
    EXPECT_EQ(store.msUntilDue(wholeSecond), 900);
    EXPECT_FALSE(store.popDue(kFault + 1999));
    EXPECT_EQ(store.msUntilDue(kFault + 5000), 0);
    EXPECT_TRUE(store.popDue(kFault + 2000));

    // On the clock itself: a fault seen now is not due in the same second.
    store.pushFault(fault(8, DeferredEventStore::nowMs()));
    EXPECT_FALSE(store.popDue());
    EXPECT_GT(*store.msUntilDue(), 1000);
}

TEST(RecoverySchedule, EqualDueTimesAllLeaveAndASecondFaultOfAPidReplacesTheFirst) {
    vktest::SyslogCapture capture;
    DeferredEventStore store;
    store.setRecoveryTimes({1, 1});
    store.pushFault(fault(1));
    store.pushFault(fault(2));
    store.pushFault(fault(3, kFault + 500));
    EXPECT_TRUE(capture.texts().empty());

    DeferredEvent again = fault(1, kFault - 1000);
    again.tries = 1;
    store.pushFault(again);  // due at kFault + 1000, like pid 2
    EXPECT_EQ(capture.texts().size(), 1u);
    EXPECT_TRUE(capture.contains(" WARN equal pid error, pid=1"));
    EXPECT_EQ(store.size(), 3u);

    std::vector<pid_t> order;
    for (int i = 0; i < 2; ++i) {
        const auto event = store.popDue(kFault + 1000);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->dueMs, kFault + 1000);
        order.push_back(event->pid);
    }
    EXPECT_TRUE((order == std::vector<pid_t>{1, 2}) || (order == std::vector<pid_t>{2, 1}));
    EXPECT_FALSE(store.popDue(kFault + 1000));
    EXPECT_EQ(store.popDue(kFault + 1500)->pid, 3);
}

}  // namespace
