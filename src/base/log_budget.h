// LogBudget: a bound on the records a thread writes because of others
// (clients of a server), so that they cannot fill the disk.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class LogClass;

// Within the budget records are written as they come; past it they are
// counted, and one WARN record a period, "N records <about> left out",
// tells how many were not written. The budget refills at perSecond
// records a second and holds at most as many.
class LogBudget {
public:
    using Clock = std::chrono::steady_clock;

    LogBudget(LogClass& summaryLog, const std::string& about, unsigned perSecond,
              std::chrono::seconds period = std::chrono::seconds(10));
    // Writes the count still left to tell.
    ~LogBudget();
    LogBudget(const LogBudget&) = delete;
    LogBudget& operator=(const LogBudget&) = delete;

    // True when one more record may be written now; false counts it.
    bool admit();
    // Writes the summary when one is due.
    void flush();

    // While a Scope lives, every record the calling thread writes (through
    // any logger) is held to the budget, but for debug records.
    class Scope {
    public:
        explicit Scope(LogBudget* budget);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        LogBudget* m_previous;
    };
    // The budget of the calling thread, or null.
    static LogBudget* current();

private:
    void write(uint64_t count);

    LogClass& m_log;
    const std::string m_about;
    const double m_perSecond;
    const Clock::duration m_period;
    std::mutex m_lock;  // guards what follows
    double m_tokens;
    Clock::time_point m_refilled;
    uint64_t m_leftOut = 0;
    Clock::time_point m_summaryDue;
};
