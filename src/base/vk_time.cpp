#include "base/vk_time.h"

#include <chrono>
#include <ctime>
#include <limits>

#include "base/vk_exception.h"

namespace velka {
namespace base {

namespace {

const int64_t kNanosPerSecond = 1000000000;

uint32_t clampCount(uint64_t ms) {
    return ms > VkTimeout::kMaxCount ? VkTimeout::kMaxCount : static_cast<uint32_t>(ms);
}

bool validUnit(int unit) { return unit == VkTimeout::Seconds || unit == VkTimeout::Milliseconds; }

}  // namespace

// --- VkTimeout ---

VkTimeout::VkTimeout() : m_ms(kInfiniteCount) {}
VkTimeout::VkTimeout(int32_t value, int unit) : m_ms(kInfiniteCount) { VkTimeout::Set(value, unit); }
VkTimeout::VkTimeout(const VkTimeout& other) : m_ms(other.m_ms) {}
VkTimeout& VkTimeout::operator=(const VkTimeout& other) {
    m_ms = other.m_ms;
    return *this;
}
VkTimeout::~VkTimeout() = default;

void VkTimeout::Set(int32_t value, int unit) {
    if (value < 0) {
        m_ms = kInfiniteCount;
        return;
    }
    if (!validUnit(unit)) throw VkParameterError("Timeout::Set", "Unit", unit);
    // Seconds are multiplied in 64 bits so that a large count is cut to the
    // maximum instead of wrapping.
    uint64_t ms = unit == Seconds ? static_cast<uint64_t>(value) * 1000u : static_cast<uint64_t>(value);
    m_ms = clampCount(ms);
}

uint32_t VkTimeout::AsUnit(int unit) const {
    if (isInfinite()) return kInfiniteCount;
    if (!validUnit(unit)) throw VkParameterError("Timeout::AsUnit", "Unit", unit);
    return unit == Seconds ? m_ms / 1000u : m_ms;
}

struct timeval* VkTimeout::toTimeval(struct timeval* tv) const {
    if (!tv) return nullptr;
    tv->tv_sec = -1;
    tv->tv_usec = -1;
    if (isInfinite()) return nullptr;
    tv->tv_sec = m_ms / 1000u;
    tv->tv_usec = (m_ms % 1000u) * 1000u;
    return tv;
}

std::string VkTimeout::toString() const {
    if (isInfinite()) return "inf";
    if (m_ms == 0) return "0 ms";
    uint32_t rest = m_ms;
    const uint32_t hours = rest / 3600000u;
    rest -= hours * 3600000u;
    const uint32_t minutes = rest / 60000u;
    rest -= minutes * 60000u;
    const uint32_t seconds = rest / 1000u;
    rest -= seconds * 1000u;
    std::string text;
    if (hours) text += std::to_string(hours) + " h ";
    if (minutes) text += " " + std::to_string(minutes) + " m";
    if (seconds) text += " " + std::to_string(seconds) + " s";
    if (rest) text += " " + std::to_string(rest) + " ms";
    return text;
}

bool VkTimeout::isInfinite() const { return m_ms == kInfiniteCount; }

VkTimeout& VkTimeout::operator+=(const VkTimeout& other) {
    if (isInfinite() || other.isInfinite()) {
        m_ms = kInfiniteCount;
        return *this;
    }
    m_ms = clampCount(static_cast<uint64_t>(m_ms) + other.m_ms);
    return *this;
}

VkTimeout& VkTimeout::operator-=(const VkTimeout& other) {
    if (other.isInfinite()) {
        // Nothing is left of a finite span after taking an endless one.
        m_ms = isInfinite() ? kInfiniteCount : 0;
        return *this;
    }
    if (isInfinite()) return *this;
    m_ms = m_ms < other.m_ms ? 0 : clampCount(m_ms - other.m_ms);
    return *this;
}

bool VkTimeout::operator<(const VkTimeout& other) const { return m_ms < other.m_ms; }
bool VkTimeout::operator>(const VkTimeout& other) const { return m_ms > other.m_ms; }
bool VkTimeout::operator<=(const VkTimeout& other) const { return m_ms <= other.m_ms; }
bool VkTimeout::operator>=(const VkTimeout& other) const { return m_ms >= other.m_ms; }
bool VkTimeout::operator==(const VkTimeout& other) const { return m_ms == other.m_ms; }
bool VkTimeout::operator!=(const VkTimeout& other) const { return m_ms != other.m_ms; }

void VkTimeout::clampToMax() {
    if (m_ms > kMaxCount) m_ms = kMaxCount;
}

timeout_duration_t VkTimeout::toDuration() const {
    if (isInfinite()) return timeout_duration_t(boost::posix_time::pos_infin);
    return boost::posix_time::milliseconds(m_ms);
}

const VkTimeout kTimeoutInfinite(-1, VkTimeout::Milliseconds);
const VkTimeout kTimeoutNowait(0, VkTimeout::Milliseconds);
const VkTimeout kTimeoutMax(VkTimeout::kMaxCount, VkTimeout::Milliseconds);

// --- VkTime ---

VkTime::VkTime() : m_value{0, 0} { VkTime::setNow(); }

VkTime::VkTime(const VkTimeout& timeout) : m_value{0, 0} {
    if (timeout.isInfinite()) {
        VkTime::setInfinite();
        return;
    }
    VkTime::setNow();
    VkTime::operator+=(timeout);
}

VkTime::VkTime(const VkTimeValue& value) : m_value(value) { VkTime::normalize(); }
VkTime::VkTime(const VkTime& other) : m_value(other.m_value) {}
VkTime& VkTime::operator=(const VkTime& other) {
    m_value = other.m_value;
    return *this;
}
VkTime::~VkTime() = default;

void VkTime::setNow() {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    m_value.tv_sec = us / 1000000;
    m_value.tv_nsec = static_cast<int32_t>((us % 1000000) * 1000);
}

bool VkTime::isInfinite() const { return m_value.tv_sec == -1 && m_value.tv_nsec == -1; }

void VkTime::setInfinite() {
    m_value.tv_sec = -1;
    m_value.tv_nsec = -1;
}

const VkTimeValue* VkTime::value() const { return &m_value; }

VkTime& VkTime::operator+=(const VkTimeout& timeout) {
    if (timeout.isInfinite()) {
        setInfinite();
        return *this;
    }
    if (isInfinite()) return *this;
    m_value.tv_sec += timeout.AsUnit(VkTimeout::Seconds);
    m_value.tv_nsec += static_cast<int32_t>((timeout.AsUnit(VkTimeout::Milliseconds) % 1000u) * 1000000u);
    normalize();
    return *this;
}

VkTime& VkTime::operator-=(const VkTimeout& timeout) {
    if (timeout.isInfinite()) {
        setInfinite();
        return *this;
    }
    if (isInfinite()) return *this;
    m_value.tv_sec -= timeout.AsUnit(VkTimeout::Seconds);
    m_value.tv_nsec -= static_cast<int32_t>((timeout.AsUnit(VkTimeout::Milliseconds) % 1000u) * 1000000u);
    normalize();
    return *this;
}

VkTimeout VkTime::operator-(const VkTime& other) const {
    if (isInfinite()) return kTimeoutInfinite;
    if (other.isInfinite()) return kTimeoutNowait;
    // 128 bits: no pair of 64-bit second counts can overflow the difference.
    const __int128 ms = static_cast<__int128>(m_value.tv_sec - static_cast<__int128>(other.m_value.tv_sec)) * 1000 +
                        (static_cast<int64_t>(m_value.tv_nsec) - other.m_value.tv_nsec) / 1000000;
    if (ms <= 0) return kTimeoutNowait;
    if (ms >= VkTimeout::kMaxCount) return kTimeoutMax;
    return VkTimeout(static_cast<int32_t>(ms), VkTimeout::Milliseconds);
}

VkTimeout VkTime::remaining() const {
    if (isInfinite()) return kTimeoutInfinite;
    VkTime now;
    return *this - now;
}

namespace {
// Finite ordering of (seconds, nanoseconds).
int compareFinite(const VkTimeValue& a, const VkTimeValue& b) {
    if (a.tv_sec != b.tv_sec) return a.tv_sec < b.tv_sec ? -1 : 1;
    if (a.tv_nsec != b.tv_nsec) return a.tv_nsec < b.tv_nsec ? -1 : 1;
    return 0;
}
}  // namespace

bool VkTime::operator<(const VkTime& other) const {
    if (other.isInfinite()) return !isInfinite();
    if (isInfinite()) return false;
    return compareFinite(m_value, other.m_value) < 0;
}

bool VkTime::operator>(const VkTime& other) const {
    if (other.isInfinite()) return false;
    if (isInfinite()) return true;
    return compareFinite(m_value, other.m_value) > 0;
}

bool VkTime::operator<=(const VkTime& other) const {
    if (other.isInfinite()) return true;
    if (isInfinite()) return false;
    return compareFinite(m_value, other.m_value) <= 0;
}

bool VkTime::operator>=(const VkTime& other) const {
    if (other.isInfinite()) return isInfinite();
    if (isInfinite()) return true;
    return compareFinite(m_value, other.m_value) >= 0;
}

bool VkTime::operator==(const VkTime& other) const {
    return m_value.tv_sec == other.m_value.tv_sec && m_value.tv_nsec == other.m_value.tv_nsec;
}

bool VkTime::operator!=(const VkTime& other) const { return !(*this == other); }

void VkTime::normalize() {
    if (isInfinite()) return;
    if (m_value.tv_nsec < 0) {
        const int64_t borrow = (-static_cast<int64_t>(m_value.tv_nsec) + kNanosPerSecond - 1) / kNanosPerSecond;
        m_value.tv_sec -= borrow;
        m_value.tv_nsec = static_cast<int32_t>(m_value.tv_nsec + borrow * kNanosPerSecond);
    } else if (m_value.tv_nsec >= kNanosPerSecond) {
        m_value.tv_sec += m_value.tv_nsec / kNanosPerSecond;
        m_value.tv_nsec %= kNanosPerSecond;
    }
}

std::string VkTime::toString() const {
    if (isInfinite()) return "undefined";
    if (m_value.tv_sec < std::numeric_limits<time_t>::min() || m_value.tv_sec > std::numeric_limits<time_t>::max())
        return "undefined";
    const time_t seconds = static_cast<time_t>(m_value.tv_sec);
    struct tm broken;
    char buffer[64];
    if (!::localtime_r(&seconds, &broken)) return "undefined";
    const size_t length = ::strftime(buffer, sizeof buffer, "%F %H:%M:%S", &broken);
    if (length == 0) return "undefined";
    return std::string(buffer, length) + "." + std::to_string(m_value.tv_nsec / 1000000);
}

VkTime operator+(const VkTime& time, const VkTimeout& timeout) {
    VkTime result(time);
    result += timeout;
    return result;
}

VkTime operator+(const VkTimeout& timeout, const VkTime& time) { return time + timeout; }

// --- VkDeadline ---

VkDeadline::VkDeadline(const VkTimeout& timeout) : VkTime(timeout) {}
VkDeadline::VkDeadline(const VkDeadline& other) : VkTime(other) {}
VkDeadline& VkDeadline::operator=(const VkDeadline& other) {
    VkTime::operator=(other);
    return *this;
}
VkDeadline::~VkDeadline() = default;

void VkDeadline::normalize() {
    // A deadline in the past is kept as it is (never turned into "no
    // limit"): its remaining time is 0 and every wait on it ends at once.
    VkTime::normalize();
}

const VkDeadline kDeadlineInfinite(kTimeoutInfinite);

}  // namespace base
}  // namespace velka
