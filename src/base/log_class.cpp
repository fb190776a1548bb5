#include "base/log_class.h"

#include <pthread.h>
#include <strings.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <locale>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>

#include "base/log_budget.h"
#include "base/vk_exception.h"

namespace {

const char* const kLevelWords[] = {" OFF ", " FATAL ", " ERROR ", " WARN ", " INFO ", " DEBUG ", " ALL "};
const int kLevelPriorities[] = {LOG_EMERG, LOG_CRIT, LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG, LOG_DEBUG};

int levelIndex(int level) { return level < 0 ? 0 : (level > 6 ? 6 : level); }

void defaultSyslogSink(int priority, const std::string& text) { ::syslog(priority, "%s", text.c_str()); }

// The state every logger shares: the target and the lock around it. It is
// never destroyed, so that a thread still logging while the process exits
// finds it intact; the file is flushed after every record.
struct SharedTarget {
    std::mutex lock;
    FILE* file = nullptr;
    std::string path;
    LogClass::SyslogSink sink = defaultSyslogSink;
    const std::string syslogFilename = "syslog";
};

SharedTarget& shared() {
    static SharedTarget* instance = new SharedTarget;
    return *instance;
}

// "Tue Dec  8 20:05:43 2026 ": a ctime/asctime text with its newline
// replaced by a blank.
std::string timeText(bool viaAsctime) {
    char buffer[32] = {0};
    const time_t now = ::time(nullptr);
    if (viaAsctime) {
        struct tm broken;
        if (!::localtime_r(&now, &broken) || !::asctime_r(&broken, buffer)) return std::string();
    } else if (!::ctime_r(&now, buffer)) {
        return std::string();
    }
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') text.back() = ' ';
    return text;
}

std::string threadTag() {
    return "[" + std::to_string(static_cast<unsigned long>(::pthread_self())) + "] ";
}

}  // namespace

class LogClass::Pimpl {
public:
    explicit Pimpl(const std::string& n) : name(n) {}
    std::atomic<int> level{VK_LOG_DEBUG};
    std::atomic<int> facility{LOG_MAIL};
    std::atomic<bool> stderrEcho{false};
    std::string name;  // guarded by the shared lock
};

LogClass::LocalCallback LogClass::m_local_callback = nullptr;

LogClass::LogClass(const std::string& name) : m_pimpl(new Pimpl(name)) {}
LogClass::~LogClass() = default;

void LogClass::setName(const std::string& name) {
    std::lock_guard<std::mutex> guard(shared().lock);
    m_pimpl->name = name;
}

std::string LogClass::getName() const {
    std::lock_guard<std::mutex> guard(shared().lock);
    return m_pimpl->name;
}

void LogClass::setLevel(int level) { m_pimpl->level = level; }
void LogClass::setLevel(const std::string& levelWord) { setLevel(parseLevel(levelWord)); }
void LogClass::setStderrEcho(bool echo) { m_pimpl->stderrEcho = echo; }
int LogClass::getLevel() const { return m_pimpl->level; }
int LogClass::getFacility() const { return m_pimpl->facility; }
bool LogClass::getStderrEcho() const { return m_pimpl->stderrEcho; }

bool LogClass::init(const std::string& target, int level, int facility, bool stderrEcho) {
    m_pimpl->facility = facility;
    m_pimpl->level = level;
    SharedTarget& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!target.empty() && target != s.syslogFilename) {
        FILE* file = ::fopen(target.c_str(), "ae");
        if (!file) {
            const int error = errno;
            throw std::domain_error("error in open log file " + target + " for writing: " +
                                    velka::base::errnoText(error));
        }
        if (s.file) ::fclose(s.file);
        s.file = file;
        s.path = target;
    } else {
        if (s.file) ::fclose(s.file);
        s.file = nullptr;
        s.path.clear();
    }
    m_pimpl->stderrEcho = stderrEcho;
    return true;
}

bool LogClass::init(const std::string& target, const std::string& levelWord, const std::string& facilityWord,
                    bool stderrEcho, bool /*checkOnly*/, const std::string& /*layoutPattern*/) {
    const int facility = parseFacility(facilityWord);
    const int level = parseLevel(levelWord);
    return init(target, level, facility, stderrEcho);
}

int LogClass::parseLevel(const std::string& word) {
    static const struct {
        const char* word;
        int level;
    } kWords[] = {{"info", 4}, {"debug", 5}, {"alert", 3}, {"error", 2}, {"quiet", 0}};
    for (const auto& entry : kWords)
        if (boost::algorithm::iequals(word, entry.word, std::locale())) return entry.level;
    throw std::invalid_argument("Error in level value " + word + ". Use Quiet | Error | Alert | Info | Debug");
}

int LogClass::parseFacility(const std::string& word) {
    static const struct {
        const char* word;
        int facility;
    } kWords[] = {{"Daemon", LOG_DAEMON}, {"Mail", LOG_MAIL},     {"Local0", LOG_LOCAL0}, {"Local1", LOG_LOCAL1},
                  {"Local2", LOG_LOCAL2}, {"Local3", LOG_LOCAL3}, {"Local4", LOG_LOCAL4}, {"Local5", LOG_LOCAL5},
                  {"Local6", LOG_LOCAL6}, {"Local7", LOG_LOCAL7}};
    for (const auto& entry : kWords)
        if (::strcasecmp(word.c_str(), entry.word) == 0) return entry.facility;
    throw std::invalid_argument("Error in SyslogFacility value " + word + ". Use Daemon | Mail | Local0-7\n");
}

int LogClass::levelFromSyslogPriority(int priority) {
    switch (priority) {
        case 0:
        case 1:
        case 2:
            return 1;
        case 3:
            return 2;
        case 4:
            return 3;
        case 5:
        case 6:
            return 4;
        case 7:
            return 5;
        default:
            return 4;
    }
}

bool LogClass::isFatalEnabled() const { return m_pimpl->level > 0; }
bool LogClass::isErrorEnabled() const { return m_pimpl->level > 1; }
bool LogClass::isWarnEnabled() const { return m_pimpl->level > 2; }
bool LogClass::isInfoEnabled() const { return m_pimpl->level > 3; }
bool LogClass::isDebugEnabled() const { return m_pimpl->level > 4; }
bool LogClass::isEnabledFor(int level) const { return m_pimpl->level >= level; }

void LogClass::log(int level, const std::string& text) {
    // A thread that writes for its clients stays within its budget. Debug
    // records are not held to it: they are asked for to diagnose, and a
    // diagnosis needs all of them.
    if (level < VK_LOG_DEBUG)
        if (LogBudget* budget = LogBudget::current(); budget && !budget->admit()) return;
    const int index = levelIndex(level);
    const char* word = kLevelWords[index];
    const std::string tag = threadTag();
    std::string context = VkNDC::top();
    if (!context.empty()) context += ' ';
    const std::string stamp = timeText(false);

    std::string name;
    {
        // The target is chosen under the lock, so a record is never written
        // to a file that another thread is closing, nor lost in a switch.
        SharedTarget& s = shared();
        std::lock_guard<std::mutex> guard(s.lock);
        name = m_pimpl->name;
        if (s.file) {
            const std::string record = stamp + tag + name + word + context + text + "\n";
            ::fwrite(record.data(), 1, record.size(), s.file);
            ::fflush(s.file);
        } else {
            s.sink(m_pimpl->facility | kLevelPriorities[index], tag + name + word + context + text);
        }
    }

    if (m_pimpl->stderrEcho) {
        const std::string echoTime = timeText(true);
        ::fprintf(stderr, "%s%s%s%s%s%s\n", echoTime.c_str(), tag.c_str(), name.c_str(), word, context.c_str(),
                  text.c_str());
    }
}

void LogClass::logf(int level, const char* format, ...) {
    if (!isEnabledFor(level)) return;
    std::vector<char> buffer(1024);
    va_list args;
    va_start(args, format);
    int length = ::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (length >= 0 && static_cast<size_t>(length) >= buffer.size()) {
        buffer.resize(static_cast<size_t>(length) + 1);
        va_start(args, format);
        length = ::vsnprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
    }
    if (length < 0) {
        buffer.resize(1048576);
        va_start(args, format);
        length = ::vsnprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (length < 0) return;
    }
    log(level, std::string(buffer.data()));
}

std::string LogClass::formatArgs(const char* format, va_list args) {
    std::string text;
    if (!format) return text;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            text += *p;
            continue;
        }
        ++p;
        if (!*p) break;
        switch (*p) {
            case 's': {
                const char* s = va_arg(args, const char*);
                text += s ? s : "(null)";
                break;
            }
            case 'u':
                text += std::to_string(va_arg(args, unsigned));
                break;
            case 'i':
                text += std::to_string(va_arg(args, int));
                break;
            default:
                text += *p;
                break;
        }
    }
    return text;
}

void LogClass::fatalErrno(const char* format, ...) {
    const int error = errno;
    if (!isFatalEnabled()) return;
    va_list args;
    va_start(args, format);
    const std::string text = formatArgs(format, args);
    va_end(args);
    log(VK_LOG_FATAL, text + ": " + velka::base::errnoText(error));
}

void LogClass::errorErrno(const char* format, ...) {
    const int error = errno;
    if (!isErrorEnabled()) return;
    va_list args;
    va_start(args, format);
    const std::string text = formatArgs(format, args);
    va_end(args);
    log(VK_LOG_ERROR, text + ": " + velka::base::errnoText(error));
}

void LogClass::fatalErrnoAbort(const char* format, ...) {
    const int error = errno;
    if (isFatalEnabled()) {
        va_list args;
        va_start(args, format);
        const std::string text = formatArgs(format, args);
        va_end(args);
        log(VK_LOG_FATAL, text + ": " + velka::base::errnoText(error));
    }
    ::abort();
}

void LogClass::localCallbackLine(int flags, const std::string& text) {
    LocalSink* sink = m_local_callback ? m_local_callback() : nullptr;
    if (!sink) return;
    if (flags & 16) sink->first = text;
    if (flags & 32) {
        std::string line = timeText(true);  // ends in the blank after the time
        const std::string context = VkNDC::top();
        if (!context.empty()) line += context + " ";
        sink->second += line + text + "\r\n";
    }
}

void LogClass::inheritFrom(const LogClass& other) {
    m_pimpl->level = other.getLevel();
    m_pimpl->facility = other.getFacility();
    m_pimpl->stderrEcho = other.getStderrEcho();
    const std::string otherName = other.getName();
    std::lock_guard<std::mutex> guard(shared().lock);
    std::string& own = m_pimpl->name;
    if (!boost::algorithm::starts_with(own, otherName)) own = own.empty() ? otherName : otherName + "." + own;
}

void LogClass::deriveFrom(const LogClass& other, const std::string& levelWord) {
    inheritFrom(other);
    if (!levelWord.empty()) setLevel(levelWord);
}

LogClass::SyslogSink LogClass::setSyslogSink(SyslogSink sink) {
    SharedTarget& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    SyslogSink previous = s.sink;
    s.sink = sink ? std::move(sink) : SyslogSink(defaultSyslogSink);
    return previous;
}

std::string LogClass::currentFile() {
    SharedTarget& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.path;
}

// --- VkNDC ---

namespace {
thread_local std::unique_ptr<std::vector<std::string>> ndcStack;
}

void VkNDC::push(const std::string& text) {
    if (!ndcStack) ndcStack.reset(new std::vector<std::string>);
    ndcStack->push_back(text);
}

void VkNDC::pop() {
    if (ndcStack && !ndcStack->empty()) ndcStack->pop_back();
}

size_t VkNDC::depth() { return ndcStack ? ndcStack->size() : 0; }

bool VkNDC::empty() { return depth() == 0; }

std::string VkNDC::top() { return empty() ? std::string() : ndcStack->back(); }
