#include "engine/letters.h"

#include <algorithm>
#include <sstream>

#include "engine/monitor_state.h"
#include "engine/utils.h"

namespace {

std::string timeOfDay(time_t when) {
    std::string text;
    Utils::timeText(when, text);
    return text;
}

void writeHeader(std::ostream& out, const std::string& subject) {
    std::string date;
    Utils::currentDate(date);
    out << "Date: " << date << "\n"
        << "Subject: " << subject << "\n\n";
}

std::string describe(const std::string& component, const std::string& pidLabel, pid_t pid, const std::string& path,
                     const std::string& application) {
    return "Component \"" + component + "\" (" + pidLabel + "=" + std::to_string(pid) + ", file=" + path +
           component + ") used in \"" + application + "\"";
}

}  // namespace

void makeLetterSignature(std::ostream& stream) {
    std::string program, os, version, host;
    MonitorInfo::instance()->getSignatureData(program, os, version, host);
    stream << "\n---\n"
           << "Sincerely yours,\n"
           << program << "\n"
           << version << " for " << os << "\n"
           << "Host \"" << host << "\"";
}

void printTimeList(std::vector<uint32_t>::const_iterator first, std::vector<uint32_t>::const_iterator last,
                   time_t base, std::ostream& stream) {
    for (auto it = first; it != last; ++it) {
        if (it != first) stream << ", ";
        stream << timeOfDay(base + static_cast<time_t>(*it));
    }
}

void makeFailedLetter(pid_t pid, const std::string& component, time_t failureTime, const std::string& application,
                      const std::string& path, const std::list<std::string>& affected, std::string& text) {
    const std::vector<uint32_t> restart = MonitorInfo::instance()->getRestartTimes();
    std::ostringstream out;
    writeHeader(out, "ERROR: Component \"" + component + "\" failed");
    out << describe(component, "pid", pid, path, application) << " failed at " << timeOfDay(failureTime) << "\n";
    if (!affected.empty()) {
        out << "This could affect operation of the following application(s): ";
        for (auto it = affected.begin(); it != affected.end(); ++it)
            out << (it == affected.begin() ? "" : ", ") << "\"" << *it << "\"";
        out << "\n";
    }
    out << "\n";
    if (!restart.empty()) {
        out << "Monitor has tried to restart \"" << component << "\" at "
            << timeOfDay(failureTime + static_cast<time_t>(restart.front())) << "\n";
        if (restart.size() > 1) {
            out << "Further attempts to restart the module will made at: ";
            printTimeList(restart.begin() + 1, restart.end(), failureTime, out);
            out << "\nOnce the component is restarted, you will be informed\n";
        }
    }
    makeLetterSignature(out);
    text = out.str();
}

void makeRecoveryLetter(pid_t pid, const std::string& component, time_t recoveryTime, time_t failureTime,
                        int attempt, const std::string& application, const std::string& path, std::string& text) {
    const std::vector<uint32_t> restart = MonitorInfo::instance()->getRestartTimes();
    std::ostringstream out;
    writeHeader(out, "INFO: Component \"" + component + "\" recovery");
    out << describe(component, "new pid", pid, path, application) << " which failed at " << timeOfDay(failureTime)
        << " be recovery at " << timeOfDay(recoveryTime) << "\n";
    if (attempt > 1) {
        const size_t count = std::min(static_cast<size_t>(attempt - 1), restart.size());
        out << "Abortive attempts to recovery it were made at ";
        printTimeList(restart.begin(), restart.begin() + static_cast<long>(count), failureTime, out);
        out << "\n";
    }
    makeLetterSignature(out);
    text = out.str();
}

void makeCannotRecoveryLetter(pid_t pid, const std::string& component, time_t failureTime,
                              const std::string& application, const std::string& path, std::string& text) {
    const std::vector<uint32_t> restart = MonitorInfo::instance()->getRestartTimes();
    std::ostringstream out;
    writeHeader(out, "ERROR: Component \"" + component + "\" cannot recovery");
    out << describe(component, "new pid", pid, path, application) << " which failed at " << timeOfDay(failureTime)
        << " cannot be recovery\n";
    if (!restart.empty()) {
        out << "Abortive attempts to recovery it were made at ";
        printTimeList(restart.begin(), restart.end(), failureTime, out);
    }
    out << "\n";
    makeLetterSignature(out);
    text = out.str();
}
