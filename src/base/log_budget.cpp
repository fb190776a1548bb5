// LogBudget: counted records past a rate, and their summary.
#include "base/log_budget.h"

#include <algorithm>

#include "base/log_class.h"

namespace {
thread_local LogBudget* threadBudget = nullptr;
}

LogBudget::LogBudget(LogClass& summaryLog, const std::string& about, unsigned perSecond,
                     std::chrono::seconds period)
    : m_log(summaryLog),
      m_about(about),
      m_perSecond(std::max(1u, perSecond)),
      m_period(period),
      m_tokens(m_perSecond),
      m_refilled(Clock::now()) {}

LogBudget::~LogBudget() {
    uint64_t count;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        count = m_leftOut;
        m_leftOut = 0;
    }
    if (count != 0) write(count);
}

bool LogBudget::admit() {
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const double elapsed = std::chrono::duration<double>(now - m_refilled).count();
        m_tokens = std::min(m_perSecond, m_tokens + elapsed * m_perSecond);
        m_refilled = now;
        if (m_tokens >= 1) {
            m_tokens -= 1;
            return true;
        }
        // The first record left out after a quiet time is told of one
        // period later, together with those that follow it.
        if (m_leftOut++ == 0 && m_summaryDue < now) m_summaryDue = now + m_period;
    }
    flush();
    return false;
}

void LogBudget::flush() {
    uint64_t count;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const Clock::time_point now = Clock::now();
        if (m_leftOut == 0 || now < m_summaryDue) return;
        count = m_leftOut;
        m_leftOut = 0;
        m_summaryDue = now + m_period;
    }
    write(count);
}

void LogBudget::write(uint64_t count) {
    // The summary itself is never held back.
    const Scope unbounded(nullptr);
    if (m_log.isWarnEnabled())
        m_log.log(VK_LOG_WARN,
                  std::to_string(count) + (count == 1 ? " record " : " records ") + m_about + " left out");
}

LogBudget::Scope::Scope(LogBudget* budget) : m_previous(threadBudget) { threadBudget = budget; }

LogBudget::Scope::~Scope() { threadBudget = m_previous; }

LogBudget* LogBudget::current() { return threadBudget; }
