#include "engine/component.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "engine/comp_strategy.h"
#include "engine/letters.h"
#include "engine/utils.h"

namespace {

std::string signalText(int signal) {
    const char* text = ::strsignal(signal);
    return text ? text : "unknown signal";
}

// A poll timeout for a wait of ms milliseconds: never negative (which would
// wait for ever), at most what an int holds.
int pollTimeout(long long ms) { return static_cast<int>(std::max(0LL, std::min<long long>(ms, INT_MAX))); }

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// What a child reports through its status pipe when it fails before exec.
struct ChildReport {
    int step;
    int error;
};

enum ChildStep {
    kStepStreams = 1,
    kStepDup,
    kStepSignals,
    kStepGroup,
    kStepUser,
    kStepSession,
    kStepExec,
    kStepUnknown
};

// Async-signal-safe failure in the child: report, answer 'E' (once the
// management socket is descriptor 1), and end with the code.
[[noreturn]] void childFail(int statusFd, int step, int code, bool answer) {
    const ChildReport report = {step, errno};
    if (::write(statusFd, &report, sizeof report) < 0) {
    }
    if (answer) {
        const char e = 'E';
        if (::write(1, &e, 1) < 0) {
        }
    }
    ::_exit(code);
}

void closeFrom(int lowest) {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0u, 0) == 0) return;
#endif
    struct rlimit limit;
    const long top = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max != RLIM_INFINITY
                         ? static_cast<long>(limit.rlim_max)
                         : 65536;
    for (long fd = lowest; fd < top; ++fd) ::close(static_cast<int>(fd));
}

// Reads "Options OK"-style lines from a descriptor. At most
// Utils::kMaxCapturedOutput bytes wait to be taken: what comes beyond is
// read and dropped up to the next line, and the cut is marked.
struct LineReader {
    int fd;
    std::string buffer;
    bool eof = false;
    bool skipping = false;  // dropping the rest of a line
    // Appends what is there; false on a read error (errno set).
    bool fill() {
        char chunk[1024];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) {
                keep(chunk, static_cast<size_t>(n));
                return true;
            }
            if (n == 0) {
                eof = true;
                return true;
            }
            if (errno == EINTR) continue;
            return false;
        }
    }
    void keep(const char* data, size_t length) {
        if (skipping) {
            const char* newline = static_cast<const char*>(std::memchr(data, '\n', length));
            if (!newline) return;
            skipping = false;
            length -= static_cast<size_t>(newline + 1 - data);
            data = newline + 1;
        }
        const size_t room = Utils::kMaxCapturedOutput - std::min(buffer.size(), Utils::kMaxCapturedOutput);
        buffer.append(data, std::min(length, room));
        if (length <= room) return;
        // The cut is marked once, however long the buffer stays full.
        const std::string mark = std::string(Utils::kCutMark) + "\n";
        if (buffer.size() < mark.size() || buffer.compare(buffer.size() - mark.size(), mark.size(), mark) != 0)
            buffer += mark;
        skipping = true;
    }
    bool takeLine(std::string& line) {
        const size_t end = buffer.find('\n');
        if (end == std::string::npos) {
            if (!eof || buffer.empty()) return false;
            line.swap(buffer);
            buffer.clear();
            return true;
        }
        line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        return true;
    }
};

}  // namespace

Component::Component(const std::string& name, bool fromMetaConf) : m_name(name), m_fromMetaConf(fromMetaConf) {}

Component::Component(const Component& other)
    : m_name(other.m_name),
      m_argv(other.m_argv),
      m_user(other.m_user),
      m_group(other.m_group),
      m_timeStart(other.m_timeStart),
      m_timeStop(other.m_timeStop),
      m_logType(other.m_logType),
      m_informerCommand(other.m_informerCommand),
      m_fromMetaConf(other.m_fromMetaConf) {
    if (other.m_informer) resetInformer();
}

Component::~Component() { closeDescriptor(); }

void Component::startStandart(CompStrategy& strategy, const std::string& path, time_t failureTime, int attempt,
                              const std::string& appName) {
    logDebug("Component::startStandart() " + m_name);
    int descriptor = -1;
    pid_t pid = -1;
    __start(strategy, path, descriptor, nullptr, pid);
    waitAnswer(descriptor, path, failureTime, attempt, appName);
}

void Component::startCheckOnly(CompStrategy& strategy, const std::string& path) {
    logDebug("Component::startCheckOnly() " + m_name);
    std::fprintf(stderr, "checking \"%s\" component: ", m_name.c_str());
    std::fflush(stderr);
    int descriptor = -1, errorDescriptor = -1;
    pid_t pid = -1;
    try {
        __start(strategy, path, descriptor, &errorDescriptor, pid);
        readCheckAnswer(descriptor, errorDescriptor);
    } catch (const IO::TimeoutException&) {
        setCheckFailed();
        std::fprintf(stderr, "timeout (%d sec) expired\n", m_timeStart);
    } catch (const IO::Exception& e) {
        setCheckFailed();
        std::fprintf(stderr, " executing error: %s\n", e.what());
    } catch (const std::exception& e) {
        setCheckFailed();
        std::fprintf(stderr, "%s\n", e.what());
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // The component is still counted as running until the store stops it;
    // its descriptors are no longer needed.
    closeFd(descriptor);
    closeFd(errorDescriptor);
}

void Component::readCheckAnswer(int descriptor, int errorDescriptor) {
    LineReader answer{descriptor, {}};
    LineReader errors{errorDescriptor, {}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_timeStart > 0 ? m_timeStart : 0);
    bool judged = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw IO::TimeoutException();
        struct pollfd fds[2];
        int count = 0;
        if (!answer.eof) fds[count++] = {descriptor, POLLIN, 0};
        if (errorDescriptor >= 0 && !errors.eof) fds[count++] = {errorDescriptor, POLLIN, 0};
        if (count == 0) {
            // Both are at their end: only the process's exit is awaited.
            Utils::waitForExit(m_pid, left.count());
            checkExited();
            continue;
        }
        const int rc = ::poll(fds, static_cast<nfds_t>(count), pollTimeout(left.count()));
        if (rc < 0 && errno != EINTR) throw IO::Exception(velka::base::errnoText(errno));
        for (int i = 0; i < count && rc > 0; ++i) {
            if (!fds[i].revents) continue;
            LineReader& reader = fds[i].fd == descriptor ? answer : errors;
            if (!reader.fill()) {
                if (&reader == &answer) {
                    setCheckFailed();
                    std::fprintf(stderr, "Error reading answer from component: %s\n",
                                 velka::base::errnoText(errno).c_str());
                    return;
                }
                reader.eof = true;
            }
        }
        std::string line;
        while (errors.takeLine(line))
            if (!line.empty()) std::fprintf(stdout, "    %s\n", line.c_str());
        if (!judged && answer.takeLine(line)) {
            judged = true;
            if (line == "Options OK") {
                std::fprintf(stderr, "OK\n");
                return;
            }
            setCheckFailed();
            std::fprintf(stdout, "\n    %s\n", line.c_str());
        }
        if (judged || answer.eof) checkExited();
    }
}

void Component::__start(CompStrategy& strategy, const std::string& path, int& descriptor, int* errorDescriptor,
                        pid_t& pid) {
    logDebug("Component::__start() # " + toText(false));
    if (m_running) throw std::logic_error("component \"" + m_name + "\" has started");
    int* errorPair = nullptr;
    int wanted = 0;
    if (errorDescriptor && isCheckAllMode()) {
        wanted = 1;
        errorPair = &wanted;
    }
    startComp(strategy, path, pid, descriptor, errorPair);
    if (errorPair && errorDescriptor) *errorDescriptor = wanted;
    m_pid = pid;
    m_running = true;
}

bool Component::startComp(CompStrategy& strategy, const std::string& path, pid_t& pid, int& descriptor,
                          int* errorDescriptor) {
    logDebug("Component::startComp() # " + toText(true));
    const std::string executable = path + m_name;
    logDebug("start component \"" + m_name + "\" - \"" + executable + "\"");

    // Everything the child needs is prepared here: after fork it may only
    // make system calls.
    const uid_t uid = m_user.empty() ? 0 : Utils::getUid(m_user);
    // A user without a group runs in the user's own group, never in root's.
    const gid_t gid = !m_group.empty() ? Utils::getGid(m_group) : (m_user.empty() ? 0 : Utils::getPrimaryGid(m_user));
    bool changeGroups = false;
    std::vector<gid_t> groups;
    if (::geteuid() == 0 && (!m_user.empty() || !m_group.empty())) {
        // The child must not keep root's supplementary groups.
        changeGroups = true;
        if (!m_user.empty()) {
            int count = 64;
            groups.resize(static_cast<size_t>(count));
            const gid_t base = gid ? gid : ::getgid();
            while (::getgrouplist(m_user.c_str(), base, groups.data(), &count) < 0) groups.resize(count);
            groups.resize(static_cast<size_t>(count));
        }
    }
    std::vector<std::string> words;
    Utils::splitArgs(executable, m_argv, words);
    strategy.addArgs(words);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    int pair[2], errorPair[2] = {-1, -1}, status[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw std::runtime_error("create pipe error");
    const bool wantErrors = errorDescriptor && *errorDescriptor != 0;
    if (wantErrors && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, errorPair) != 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        throw std::runtime_error("create pipe error");
    }
    if (::pipe2(status, O_CLOEXEC) != 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        if (wantErrors) {
            ::close(errorPair[0]);
            ::close(errorPair[1]);
        }
        throw std::runtime_error("create pipe error");
    }

    const pid_t child = ::fork();
    if (child < 0) {
        for (int fd : {pair[0], pair[1], errorPair[0], errorPair[1], status[0], status[1]})
            if (fd >= 0) ::close(fd);
        throw std::runtime_error("fork() error");
    }
    if (child == 0) {
        // The child. The status pipe goes to descriptor 3 (close-on-exec:
        // a successful exec closes it, which tells the parent).
        // Descriptors that sit where 0 to 3 go are moved out of the way first.
        auto lift = [](int fd) { return fd >= 0 && fd < 4 ? ::fcntl(fd, F_DUPFD, 10) : fd; };
        int statusFd = lift(status[1]);
        pair[1] = lift(pair[1]);
        errorPair[1] = lift(errorPair[1]);
        // The component gets the descriptor limit the monitor started with.
        Utils::restoreDescriptorLimit();
        const int devNull = lift(::open("/dev/null", O_RDWR));
        if (devNull < 0 || ::dup2(devNull, 0) < 0) childFail(statusFd, kStepStreams, 1, false);
        if (::dup2(pair[1], 1) < 0) childFail(statusFd, kStepDup, 1, false);
        if (::dup2(wantErrors ? errorPair[1] : devNull, 2) < 0) childFail(statusFd, kStepDup, 1, true);
        if (::dup2(statusFd, 3) < 0) childFail(statusFd, kStepDup, 1, true);
        statusFd = 3;
        ::fcntl(statusFd, F_SETFD, FD_CLOEXEC);
        closeFrom(4);

        // Default dispositions and an empty mask: the monitor blocks its
        // signals in every thread and the child must take them back.
        if (!Utils::resetSignals()) childFail(statusFd, kStepSignals, 2, true);

        if (changeGroups && ::setgroups(groups.size(), groups.data()) != 0) childFail(statusFd, kStepGroup, 3, true);
        if (gid != 0 && gid != ::getgid() && ::setgid(gid) != 0) childFail(statusFd, kStepGroup, 3, true);
        if (uid != 0 && uid != ::getuid() && ::setuid(uid) != 0) childFail(statusFd, kStepUser, 4, true);
        if (::setsid() < 0) childFail(statusFd, kStepSession, 7, true);
        ::execv(executable.c_str(), argv.data());
        childFail(statusFd, kStepExec, 5, true);
    }

    ::close(pair[1]);
    if (wantErrors) ::close(errorPair[1]);
    ::close(status[1]);
    ChildReport report = {0, 0};
    size_t got = 0;
    while (got < sizeof report) {
        const ssize_t n = ::read(status[0], reinterpret_cast<char*>(&report) + got, sizeof report - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    ::close(status[0]);
    if (got == sizeof report) {
        std::string message;
        switch (report.step) {
            case kStepStreams:
                message = "cannot redirect std streams to /dev/null";
                break;
            case kStepDup:
                message = "dup2() error";
                break;
            case kStepSignals:
                message = "sigprocmask() error";
                break;
            case kStepGroup:
                message = "cannot set \"" + m_group + "\" group";
                break;
            case kStepUser:
                message = "cannot set \"" + m_user + "\"user";
                break;
            case kStepSession:
                message = "setsid() error";
                break;
            case kStepExec:
                message = "exec( " + executable + " ) error";
                break;
            default:
                message = "unknown error";
                break;
        }
        logError(message + ": " + velka::base::errnoText(report.error));
    }
    descriptor = pair[0];
    if (wantErrors) *errorDescriptor = errorPair[0];
    pid = child;
    return true;
}

void Component::waitAnswer(int descriptor, const std::string& path, time_t failureTime, int attempt,
                           const std::string& appName) {
    char answer = '?';
    struct pollfd p = {descriptor, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_timeStart > 0 ? m_timeStart : 0);
    int rc;
    for (;;) {
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        rc = ::poll(&p, 1, pollTimeout(left));
        if ((rc < 0 && errno == EINTR) || (rc == 0 && left > INT_MAX)) continue;
        break;
    }
    if (rc > 0) {
        char bytes[2];
        ssize_t n;
        while ((n = ::read(descriptor, bytes, sizeof bytes)) < 0 && errno == EINTR) {
        }
        if (n > 0) {
            answer = bytes[0];
        } else if (n == 0 && m_pid > 0) {
            // End of file: the child closed its end, normally by exiting.
            // Give the exit a moment to become visible, so that it is
            // reported as such rather than as a wrong answer.
            Utils::waitForExit(m_pid, 250);
        }
    } else {
        answer = 'N';
    }

    try {
        checkExited();
    } catch (...) {
        ::close(descriptor);
        throw;
    }

    if (answer == ' ') {
        m_running = true;
        m_descriptor = descriptor;
        m_exitDescriptor.reset(Utils::openExitDescriptor(m_pid));
        clearRecoveryKey();
        if (failureTime > 0) {
            std::string letter;
            makeRecoveryLetter(m_pid, m_name, ::time(nullptr), failureTime, attempt, appName, path, letter);
            inform(letter);
            logDebug("component \"" + m_name + "\" recovery " + toText(true));
        } else {
            logDebug("component \"" + m_name + "\" started " + toText(true));
        }
        return;
    }

    std::string message;
    switch (answer) {
        case 'E':
            message = "component \"" + m_name + "\" starting error";
            break;
        case 'N':
            message = "component \"" + m_name + "\" not answer";
            break;
        case '\n':
            message = "component \"" + m_name + "\" stopped";
            break;
        default:
            message = "component \"" + m_name + "\" wrong answer";
            break;
    }
    logDebug(message);
    m_running = false;
    ::close(descriptor);
    if (stopPid(m_pid)) throw StopedHimself();
    throw std::runtime_error(message);
}

void Component::checkExited() {
    if (m_pid < 1) return;
    int signal = -1, exitCode = -1;
    bool exited = false;
    if (Utils::checkProcess(m_pid, true, &signal, &exitCode, &exited)) return;
    m_pid = -1;
    stop(false);
    if (signal > 0) throw std::runtime_error("signal " + std::to_string(signal) + " (" + signalText(signal) +
                                             ") was catching");
    throw std::runtime_error("stopped untimely");
}

bool Component::stop(bool fault) {
    logDebug("Component::stop() # " + m_name + " " + toText(false));
    if (fault) logDebug("component \"" + m_name + "\" fault");
    if (!m_running) {
        logDebug("cannot stop component \"" + m_name + "\": is not running");
        return false;
    }
    m_running = false;
    closeDescriptor();
    return stopPid(m_pid);
}

bool Component::stopPid(pid_t pid) {
    logDebug("Component::stopPid() # " + m_name + " " + toText(true));
    if (pid < 1) {
        logDebug("component \"" + m_name + "\" has been stopped");
        return false;
    }
    logDebug("kill -TERM pid=" + std::to_string(pid) + " name=\"" + m_name + "\"");
    ::kill(pid, SIGTERM);
    int signal = -1, exitCode = -1;
    bool exited = false;
    Utils::waitOrKill(pid, m_timeStop > 0 ? static_cast<unsigned>(m_timeStop) : 0, &signal, &exitCode, &exited);
    if (signal > 0 && !isCheckAllMode()) {
        m_stoppedPid = pid;
        logError("component \"" + m_name + "\" terminated by signal " + std::to_string(signal) + " (" +
                 signalText(signal) + ")");
    }
    return exited;
}

bool Component::fault(pid_t pid, time_t failureTime, const std::string& appName, const std::string& path,
                      const std::list<std::string>& affected) {
    logDebug("Component::fault( .. ) # " + m_name);
    if (pid != m_pid) return false;
    logInfo("component \"" + m_name + "\" fault, pid=" + std::to_string(pid));
    m_recoveryKey = pid;
    m_recoveryKeySignaled = false;
    if (stop(true)) {
        logDebug("component \"" + m_name + "\" stopped himself, do not sending report");
        return true;
    }
    m_recoveryKeySignaled = m_stoppedPid == pid;
    logDebug("component \"" + m_name + "\" cannot stop");
    std::string letter;
    makeFailedLetter(pid, m_name, failureTime, appName, path, affected, letter);
    inform(letter);
    return false;
}

void Component::informCannotRecovery(time_t failureTime, const std::string& appName, const std::string& path) {
    std::string letter;
    makeCannotRecoveryLetter(m_pid, m_name, failureTime, appName, path, letter);
    logInfo("cannot recovery component " + m_name);
    inform(letter);
}

void Component::inform(const std::string& letter) {
    if (!m_informer || !m_informer->inform(letter)) logError("cannot inform. Message=" + letter);
}

void Component::sendSignal(int signal) {
    logDebug("Component::sendSignal() # " + m_name);
    if (!m_running) return;
    if (m_pid >= 1) {
        ::kill(m_pid, signal);
        logDebug("send signal (num=" + std::to_string(signal) + ") to \"" + m_name +
                 "\" pid=" + std::to_string(m_pid));
    } else {
        logError("error pid # component name=" + m_name);
    }
}

void Component::signalIfPidIn(std::set<pid_t>& pids, int signal) {
    auto it = pids.find(m_pid);
    if (it == pids.end()) return;
    pids.erase(it);
    sendSignal(signal);
}

bool Component::getDescriptor(std::list<int>& descriptors) const {
    if (m_descriptor < 0 || !m_running) return false;
    descriptors.push_back(m_descriptor);
    return true;
}

void Component::resetInformer() { m_informer = createInformer(m_logType, m_informerCommand); }

bool Component::reconfig(const Component& fresh) {
    m_timeStart = fresh.m_timeStart;
    m_timeStop = fresh.m_timeStop;
    if (m_logType != fresh.m_logType || m_informerCommand != fresh.m_informerCommand) {
        m_logType = fresh.m_logType;
        m_informerCommand = fresh.m_informerCommand;
        logInfo("component \"" + m_name + "\" changed logType");
        resetInformer();
    }
    bool changed = false;
    if (m_argv != fresh.m_argv) {
        logInfo("component \"" + m_name + "\" changed argv \"" + m_argv + "\" to \"" + fresh.m_argv + "\"");
        m_argv = fresh.m_argv;
        changed = true;
    }
    // Taken over also when the argv changed: a restart must run with both.
    if (getUserGroup() != fresh.getUserGroup()) {
        logInfo("component \"" + m_name + "\" changed parmissions \"" + getUserGroup() + "\" to \"" +
                fresh.getUserGroup() + "\"");
        m_user = fresh.m_user;
        m_group = fresh.m_group;
        changed = true;
    }
    return changed;
}

void Component::closeDescriptor() {
    closeFd(m_descriptor);
    m_exitDescriptor.reset();
}

bool Component::hasEnded() const { return m_running && m_pid > 0 && Utils::hasEnded(m_pid); }

uid_t Component::getUid() const { return m_user.empty() ? 0 : Utils::getUid(m_user); }

gid_t Component::getGid() const { return m_group.empty() ? 0 : Utils::getGid(m_group); }

std::string Component::toText(bool withDescriptor) const {
    std::string text = "<comp name=\"" + m_name + "\"";
    if (!m_argv.empty()) text += " argv=\"" + m_argv + "\"";
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, " start=\"%d\" stop=\"%d\" log=\"%d\" user=\"%s:%s\"", m_timeStart,
                  m_timeStop, m_logType, m_user.c_str(), m_group.c_str());
    text += buffer;
    if (!m_informerCommand.empty()) text += "cmd=\"" + m_informerCommand + "\"";
    if (withDescriptor)
        text += " fd=\"" + std::to_string(m_descriptor) + "\" pid=\"" + std::to_string(m_pid) + "\"";
    return text + "/>";
}

void Component::printInfo() const {
    const std::string gap(12, ' ');
    const std::string logText =
        m_logType == 1 ? "LOG" : (m_logType == 2 ? "MAIL" : "\"" + m_informerCommand + "\"");
    logDebug("    " + m_name + gap + "\"" + m_argv + "\"" + gap + std::to_string(m_timeStart) + gap +
             std::to_string(m_timeStop) + gap + logText + gap + getUserGroup());
}
