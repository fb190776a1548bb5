// The logger: named loggers with a level, a syslog facility and a stderr
// echo, writing to one process-wide target (syslog or a log file).
#pragma once

#include <cstdarg>
#include <functional>
#include <memory>
#include <string>

// Level indices.
#define VK_LOG_QUIET 0
#define VK_LOG_FATAL 1
#define VK_LOG_ERROR 2
#define VK_LOG_WARN 3
#define VK_LOG_INFO 4
#define VK_LOG_DEBUG 5
#define VK_LOG_ALL 6

class LogClass {
public:
    // Receives every syslog record: the priority (facility OR level
    // priority) and the composed record text.
    typedef std::function<void(int priority, const std::string& text)> SyslogSink;

    // A host-supplied text sink for localCallbackLine.
    struct LocalSink {
        std::string first;
        std::string second;
    };
    typedef LocalSink* (*LocalCallback)();
    static LocalCallback m_local_callback;

    explicit LogClass(const std::string& name);
    virtual ~LogClass();
    LogClass(const LogClass&) = delete;
    LogClass& operator=(const LogClass&) = delete;

    void setName(const std::string& name);
    std::string getName() const;
    void setLevel(int level);
    void setLevel(const std::string& levelWord);
    void setStderrEcho(bool echo);
    int getLevel() const;
    int getFacility() const;
    bool getStderrEcho() const;

    // Sets this logger's level and facility and the process-wide target
    // (a file path, or "syslog" or empty for syslog). An unopenable file
    // throws std::domain_error and leaves the previous target in force.
    bool init(const std::string& target, int level, int facility, bool stderrEcho);
    // Converts the facility word, then the level word, then as above. The
    // check flag and the layout pattern are accepted and ignored.
    bool init(const std::string& target, const std::string& levelWord, const std::string& facilityWord,
              bool stderrEcho, bool checkOnly, const std::string& layoutPattern);

    static int parseLevel(const std::string& word);
    static int parseFacility(const std::string& word);
    static int levelFromSyslogPriority(int priority);

    bool isFatalEnabled() const;
    bool isErrorEnabled() const;
    bool isWarnEnabled() const;
    bool isInfoEnabled() const;
    bool isDebugEnabled() const;
    bool isEnabledFor(int level) const;

    // Writes one record; tests no level (callers test first).
    void log(int level, const std::string& text);
    void logf(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Formatted (%s, %u, %i only) text, ": " and strerror(errno).
    void fatalErrno(const char* format, ...);
    void errorErrno(const char* format, ...);
    [[noreturn]] void fatalErrnoAbort(const char* format, ...);

    void localCallbackLine(int flags, const std::string& text);

    void inheritFrom(const LogClass& other);
    void deriveFrom(const LogClass& other, const std::string& levelWord);

    // The process-wide syslog sink; the default calls syslog(3). Returns the
    // previous sink. An empty sink restores the default.
    static SyslogSink setSyslogSink(SyslogSink sink);
    // The path of the current log file, empty when records go to syslog.
    static std::string currentFile();

    static std::string formatArgs(const char* format, va_list args);

    class Pimpl;

private:
    std::unique_ptr<Pimpl> m_pimpl;
};

// Nested diagnostic context: a stack of texts per thread; the top is
// printed in every record the thread writes.
class VkNDC {
public:
    static void push(const std::string& text);
    static void pop();
    static size_t depth();
    static bool empty();
    // The top of the calling thread's stack, or empty.
    static std::string top();
};
