// Captures the records that go to syslog for the life of the object.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/log_class.h"

namespace vktest {

class SyslogCapture {
public:
    SyslogCapture() {
        m_previous = LogClass::setSyslogSink([this](int priority, const std::string& text) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_records.emplace_back(priority, text);
        });
    }
    ~SyslogCapture() { LogClass::setSyslogSink(m_previous); }

    std::vector<std::pair<int, std::string>> records() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_records;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& record : records()) result.push_back(record.second);
        return result;
    }
    bool contains(const std::string& fragment) const {
        for (const auto& text : texts())
            if (text.find(fragment) != std::string::npos) return true;
        return false;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::pair<int, std::string>> m_records;
    LogClass::SyslogSink m_previous;
};

}  // namespace vktest
