// Timeouts, time points and deadlines.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace velka {
namespace base {

// The duration the readiness waits and asynchronous timers take.
typedef boost::posix_time::time_duration timeout_duration_t;

// A relative duration in milliseconds. All bits set means infinite; every
// finite value is at most four hours.
class VkTimeout {
public:
    enum Unit { Seconds = 0, Milliseconds = 1 };

    static const uint32_t kInfiniteCount = 0xFFFFFFFFu;
    static const uint32_t kMaxCount = 14400000u;

    VkTimeout();
    // A negative value means infinite (the unit is then not looked at); a
    // unit other than Seconds or Milliseconds throws VkParameterError.
    VkTimeout(int32_t value, int unit);
    VkTimeout(const VkTimeout& other);
    VkTimeout& operator=(const VkTimeout& other);
    virtual ~VkTimeout();

    virtual void Set(int32_t value, int unit);
    virtual uint32_t AsUnit(int unit) const;
    virtual struct timeval* toTimeval(struct timeval* tv) const;
    virtual std::string toString() const;
    virtual bool isInfinite() const;
    // Infinite stays infinite: inf + x = inf, inf - finite = inf,
    // finite - inf = 0.
    virtual VkTimeout& operator+=(const VkTimeout& other);
    virtual VkTimeout& operator-=(const VkTimeout& other);
    virtual bool operator<(const VkTimeout& other) const;
    virtual bool operator>(const VkTimeout& other) const;
    virtual bool operator<=(const VkTimeout& other) const;
    virtual bool operator>=(const VkTimeout& other) const;
    virtual bool operator==(const VkTimeout& other) const;
    virtual bool operator!=(const VkTimeout& other) const;
    virtual void clampToMax();

    timeout_duration_t toDuration() const;

private:
    uint32_t m_ms;
};

extern const VkTimeout kTimeoutInfinite;
extern const VkTimeout kTimeoutNowait;
extern const VkTimeout kTimeoutMax;

// The stored form of a time point: seconds and nanoseconds since the epoch.
struct VkTimeValue {
    int64_t tv_sec;
    int32_t tv_nsec;
};

// An absolute point in UTC time; both fields with all bits set mean
// infinite, which compares greater than every finite time.
class VkTime {
public:
    VkTime();
    explicit VkTime(const VkTimeout& timeout);
    explicit VkTime(const VkTimeValue& value);
    VkTime(const VkTime& other);
    VkTime& operator=(const VkTime& other);
    virtual ~VkTime();

    // Time from now until this point: infinite for the infinite point, 0
    // once the point has passed, never more than four hours.
    virtual VkTimeout remaining() const;
    // Local time "%F %H:%M:%S.<ms>", or "undefined" for the infinite point.
    virtual std::string toString() const;
    virtual const VkTimeValue* value() const;
    virtual bool isInfinite() const;
    virtual void setNow();
    virtual VkTime& operator+=(const VkTimeout& timeout);
    virtual VkTime& operator-=(const VkTimeout& timeout);
    virtual VkTimeout operator-(const VkTime& other) const;
    virtual bool operator<(const VkTime& other) const;
    virtual bool operator>(const VkTime& other) const;
    virtual bool operator<=(const VkTime& other) const;
    virtual bool operator>=(const VkTime& other) const;
    virtual bool operator==(const VkTime& other) const;
    virtual bool operator!=(const VkTime& other) const;
    virtual void normalize();
    virtual void setInfinite();

protected:
    VkTimeValue m_value;
};

VkTime operator+(const VkTime& time, const VkTimeout& timeout);
VkTime operator+(const VkTimeout& timeout, const VkTime& time);

// Now plus a timeout. A deadline that has passed stays finite: its
// remaining time is 0, so every wait on it ends at once.
class VkDeadline : public VkTime {
public:
    explicit VkDeadline(const VkTimeout& timeout);
    VkDeadline(const VkDeadline& other);
    VkDeadline& operator=(const VkDeadline& other);
    ~VkDeadline() override;
    void normalize() override;
};

extern const VkDeadline kDeadlineInfinite;

}  // namespace base
}  // namespace velka
