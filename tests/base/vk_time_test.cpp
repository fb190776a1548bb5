#include "base/vk_time.h"

#include <gtest/gtest.h>

#include "base/vk_exception.h"

using namespace velka::base;

namespace {

VkTimeout ms(int32_t n) { return VkTimeout(n, VkTimeout::Milliseconds); }

TEST(Timeout, ConstructionUnitsAndClamping) {
    EXPECT_TRUE(VkTimeout().isInfinite());
    EXPECT_TRUE(VkTimeout(-5, 7).isInfinite());
    try {
        VkTimeout(5, 7);
        ADD_FAILURE();
    } catch (const VkParameterError& e) {
        EXPECT_STREQ(e.what(), "Timeout::Set: the 'Unit' parameter contains invalid value '7'");
    }
    EXPECT_EQ(VkTimeout(14401, VkTimeout::Seconds).AsUnit(1), 14400000u);
    EXPECT_EQ(VkTimeout(2147483647, VkTimeout::Seconds).AsUnit(1), 14400000u);
    EXPECT_EQ(VkTimeout(4294968, VkTimeout::Seconds).AsUnit(1), 14400000u);  // 32-bit overflow territory
    EXPECT_EQ(ms(14400000).AsUnit(1), 14400000u);
    EXPECT_EQ(ms(14400001).AsUnit(1), 14400000u);
    EXPECT_EQ(VkTimeout(3, VkTimeout::Seconds).AsUnit(1), 3000u);
    EXPECT_EQ(ms(1999).AsUnit(0), 1u);
    EXPECT_EQ(kTimeoutInfinite.AsUnit(0), 4294967295u);
    EXPECT_THROW(ms(1).AsUnit(2), VkParameterError);
    EXPECT_NO_THROW(kTimeoutInfinite.AsUnit(2));
    VkTimeout t = ms(1);
    t.Set(-1, 9);
    EXPECT_TRUE(t.isInfinite());
}

TEST(Timeout, TextForms) {
    EXPECT_EQ(kTimeoutInfinite.toString(), "inf");
    EXPECT_EQ(kTimeoutNowait.toString(), "0 ms");
    EXPECT_EQ(VkTimeout(3723004, 1).toString(), "1 h  2 m 3 s 4 ms");
    EXPECT_EQ(VkTimeout(500, 1).toString(), " 500 ms");
    EXPECT_EQ(VkTimeout(3600, 0).toString(), "1 h ");
    EXPECT_EQ(VkTimeout(61, 0).toString(), " 1 m 1 s");
    EXPECT_EQ(kTimeoutMax.toString(), "4 h ");
}

TEST(Timeout, TimevalAndDuration) {
    struct timeval tv;
    EXPECT_EQ(ms(1500).toTimeval(&tv), &tv);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_EQ(tv.tv_usec, 500000);
    EXPECT_EQ(kTimeoutInfinite.toTimeval(&tv), nullptr);
    EXPECT_EQ(tv.tv_sec, -1);
    EXPECT_EQ(tv.tv_usec, -1);
    EXPECT_EQ(ms(0).toTimeval(nullptr), nullptr);
    EXPECT_EQ(kTimeoutNowait.toTimeval(&tv), &tv);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0);
    EXPECT_TRUE(kTimeoutInfinite.toDuration().is_pos_infinity());
    EXPECT_EQ(ms(1500).toDuration(), boost::posix_time::milliseconds(1500));
}

TEST(Timeout, ArithmeticKeepsInfinityAndClamps) {
    VkTimeout a = ms(3);
    a -= ms(5);
    EXPECT_EQ(a, kTimeoutNowait);
    VkTimeout b = kTimeoutMax;
    b += ms(1);
    EXPECT_EQ(b, kTimeoutMax);
    VkTimeout c = ms(7);
    c += ms(5);
    EXPECT_EQ(c.AsUnit(1), 12u);
    c -= ms(2);
    EXPECT_EQ(c.AsUnit(1), 10u);

    VkTimeout inf = kTimeoutInfinite;
    inf += ms(5);
    EXPECT_TRUE(inf.isInfinite());
    VkTimeout finite = ms(5);
    finite += kTimeoutInfinite;
    EXPECT_TRUE(finite.isInfinite());
    VkTimeout inf2 = kTimeoutInfinite;
    inf2 -= ms(5);
    EXPECT_TRUE(inf2.isInfinite());
    VkTimeout f2 = ms(5);
    f2 -= kTimeoutInfinite;
    EXPECT_EQ(f2, kTimeoutNowait);

    EXPECT_LT(ms(1), ms(2));
    EXPECT_GT(kTimeoutInfinite, kTimeoutMax);
    EXPECT_LE(ms(2), ms(2));
    EXPECT_GE(ms(2), ms(2));
    EXPECT_NE(ms(2), ms(3));
}

TEST(Time, DeadlinesLieTheirTimeoutAhead) {
    const VkTime before;
    const VkDeadline deadline(ms(2500));
    const VkTime after;
    const VkTimeValue* d = deadline.value();
    const int64_t dNs = d->tv_sec * 1000000000LL + d->tv_nsec;
    const int64_t bNs = before.value()->tv_sec * 1000000000LL + before.value()->tv_nsec;
    const int64_t aNs = after.value()->tv_sec * 1000000000LL + after.value()->tv_nsec;
    EXPECT_GE(dNs - bNs, 2500000000LL);
    EXPECT_LE(dNs - aNs, 2500000000LL);
    const uint32_t left = deadline.remaining().AsUnit(1);
    EXPECT_LE(left, 2500u);
    EXPECT_GT(left, 2000u);
    EXPECT_GE(d->tv_nsec, 0);
    EXPECT_LT(d->tv_nsec, 1000000000);
}

TEST(Time, PastDeadlineHasNothingRemainingAndStaysFinite) {
    VkDeadline past(ms(0));
    past -= VkTimeout(2, VkTimeout::Seconds);
    EXPECT_FALSE(past.isInfinite());
    EXPECT_EQ(past.remaining(), kTimeoutNowait);
    past.normalize();
    EXPECT_FALSE(past.isInfinite());
    EXPECT_EQ(past.remaining(), kTimeoutNowait);
    EXPECT_LT(past, kDeadlineInfinite);
}

TEST(Time, InfiniteValues) {
    EXPECT_TRUE(kDeadlineInfinite.isInfinite());
    EXPECT_TRUE(kDeadlineInfinite.remaining().isInfinite());
    EXPECT_TRUE(VkTime(kTimeoutInfinite).isInfinite());
    const VkTime now;
    EXPECT_EQ(now - kDeadlineInfinite, kTimeoutNowait);
    EXPECT_TRUE((kDeadlineInfinite - now).isInfinite());
    EXPECT_LT(now, kDeadlineInfinite);
    EXPECT_LE(now, kDeadlineInfinite);
    EXPECT_FALSE(now > kDeadlineInfinite);
    EXPECT_FALSE(now >= kDeadlineInfinite);
    EXPECT_GT(kDeadlineInfinite, now);
    EXPECT_GE(kDeadlineInfinite, now);
    const VkDeadline other(kTimeoutInfinite);
    EXPECT_EQ(other, kDeadlineInfinite);
    EXPECT_FALSE(other < kDeadlineInfinite);
    EXPECT_GE(other, kDeadlineInfinite);
    VkTime t = now;
    t += kTimeoutInfinite;
    EXPECT_TRUE(t.isInfinite());
    VkTime inf(kTimeoutInfinite);
    inf += ms(5);
    EXPECT_TRUE(inf.isInfinite());
    EXPECT_EQ(kDeadlineInfinite.toString(), "undefined");
}

TEST(Time, NormalisationCarriesAndBorrows) {
    VkTime t(VkTimeValue{10, 999000000});
    t += ms(1);
    EXPECT_EQ(t.value()->tv_sec, 11);
    EXPECT_EQ(t.value()->tv_nsec, 0);
    VkTime u(VkTimeValue{10, 0});
    u -= ms(1);
    EXPECT_EQ(u.value()->tv_sec, 9);
    EXPECT_EQ(u.value()->tv_nsec, 999000000);
    VkTime v(VkTimeValue{5, -2500000000 / 2});  // -1.25 s
    EXPECT_EQ(v.value()->tv_sec, 3);
    EXPECT_EQ(v.value()->tv_nsec, 750000000);
    VkTime w(VkTimeValue{5, 2100000000});
    EXPECT_EQ(w.value()->tv_sec, 7);
    EXPECT_EQ(w.value()->tv_nsec, 100000000);
    VkTime sum = ms(1500) + VkTime(VkTimeValue{1, 0});
    EXPECT_EQ(sum.value()->tv_sec, 2);
    EXPECT_EQ(sum.value()->tv_nsec, 500000000);
}

TEST(Time, DifferencesAreClampedAndTruncated) {
    const VkTime a(VkTimeValue{100, 0});
    EXPECT_EQ((VkTime(VkTimeValue{101, 999999}) - a).AsUnit(1), 1000u);
    EXPECT_EQ((a - VkTime(VkTimeValue{101, 0})), kTimeoutNowait);
    EXPECT_EQ((VkTime(VkTimeValue{100 + 5 * 3600, 0}) - a), kTimeoutMax);
    const VkTime huge(VkTimeValue{INT64_MAX - 1, 0});
    const VkTime tiny(VkTimeValue{INT64_MIN + 1, 0});
    EXPECT_EQ(huge - tiny, kTimeoutMax);
    EXPECT_EQ(tiny - huge, kTimeoutNowait);
}

TEST(Time, LocalTextWithMilliseconds) {
    // TZ is UTC for the tests.
    EXPECT_EQ(VkTime(VkTimeValue{1700000112, 5000000}).toString(), "2023-11-14 22:15:12.5");
    EXPECT_EQ(VkTime(VkTimeValue{1700000112, 250000000}).toString(), "2023-11-14 22:15:12.250");
    // Beyond 32 bits of seconds: the whole value is used, not its low half.
    EXPECT_EQ(VkTime(VkTimeValue{4102444800LL, 0}).toString(), "2100-01-01 00:00:00.0");
}

}  // namespace
