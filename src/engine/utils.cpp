#include "engine/utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>

#include "base/vk_exception.h"
#include "engine/fd_guard.h"

extern char** environ;

#ifndef VK_VERSION
#define VK_VERSION "0.0.0"
#endif

namespace {

std::string sysText(int error) { return velka::base::errnoText(error); }

bool isGraph(char c) { return std::isgraph(static_cast<unsigned char>(c)) != 0; }

// The descriptor limit the program started with; written once at start,
// before any thread, then only read (also in children before exec).
struct rlimit startLimit;
bool startLimitKept = false;

// The file that execv runs for a program name: one without a slash is
// looked up in PATH, before the fork, where looking may allocate. A name
// found nowhere is left as it is and fails in execv.
std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = ::getenv("PATH");
    std::vector<std::string> dirs;
    Utils::split(path ? path : "/bin:/usr/bin", ":", dirs);
    for (const std::string& dir : dirs) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

// The child's side of spawn, between fork and exec: async-signal-safe calls
// only. A failure is reported as its errno through the status pipe.
[[noreturn]] void execChild(const char* program, char* const* args, const int (&streams)[3], bool ownGroup,
                            int keepFd, int statusFd) {
    const auto fail = [statusFd] {
        const int error = errno;
        if (::write(statusFd, &error, sizeof error) < 0) {
        }
        ::_exit(127);
    };
    for (int i = 0; i < 3; ++i) {
        if (streams[i] < 0) continue;
        // A descriptor already in place only loses its close-on-exec flag.
        if (streams[i] == i ? ::fcntl(i, F_SETFD, 0) != 0 : ::dup2(streams[i], i) < 0) fail();
    }
    if (keepFd >= 0 && ::fcntl(keepFd, F_SETFD, 0) != 0) fail();
    if (!Utils::resetSignals()) fail();
    if (ownGroup && ::setpgid(0, 0) != 0) fail();
    Utils::restoreDescriptorLimit();
    ::execv(program, args);
    fail();
    ::_exit(127);  // not reached
}

// posix_spawnp of the file at path with an empty signal mask, default
// dispositions, the streams in place and keepFd (when not negative) open;
// 0 or the error number.
int spawnPosix(const char* path, char* const* args, const int (&streams)[3], bool ownGroup, int keepFd, pid_t& pid) {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    ::posix_spawnattr_init(&attr);
    ::posix_spawn_file_actions_init(&actions);
    sigset_t empty, all;
    ::sigemptyset(&empty);
    ::sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attr, &empty);
    ::posix_spawnattr_setsigdefault(&attr, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ownGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        ::posix_spawnattr_setpgroup(&attr, 0);
    }
    ::posix_spawnattr_setflags(&attr, flags);
    for (int i = 0; i < 3; ++i)
        if (streams[i] >= 0) ::posix_spawn_file_actions_adddup2(&actions, streams[i], i);
    // A descriptor duplicated onto itself loses its close-on-exec flag in
    // the child only.
    if (keepFd >= 0) ::posix_spawn_file_actions_adddup2(&actions, keepFd, keepFd);
    const int rc = ::posix_spawnp(&pid, path, &actions, &attr, args, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    return rc;
}

// The same with fork and exec, the child also getting the kept descriptor
// limit back; 0 or the error number (of the exec too: the child is reaped).
int forkExec(const std::string& program, char* const* args, const int (&streams)[3], bool ownGroup, int keepFd,
             pid_t& pid) {
    // Close-on-exec: a successful exec closes the child's end, which the
    // parent reads as the start.
    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0) return errno;
    FdGuard readEnd(status[0]), writeEnd(status[1]);
    // Above the standard descriptors, which the child replaces.
    if (writeEnd.fd < 3) writeEnd.reset(::fcntl(writeEnd.fd, F_DUPFD_CLOEXEC, 3));
    if (writeEnd.fd < 0) return errno;
    pid = ::fork();
    if (pid < 0) return errno;
    if (pid == 0) execChild(program.c_str(), args, streams, ownGroup, keepFd, writeEnd.fd);
    writeEnd.reset();
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(readEnd.fd, &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof childError)) return 0;
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return childError;
}

}  // namespace

bool Utils::raiseDescriptorLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    startLimit = limit;
    startLimitKept = true;
    if (limit.rlim_cur == limit.rlim_max) return true;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

void Utils::restoreDescriptorLimit() {
    if (!startLimitKept) return;
    // An administrator may have lowered the hard limit since the start: the
    // child gets the start's limits within the one in force, never more.
    struct rlimit now, limit = startLimit;
    if (::getrlimit(RLIMIT_NOFILE, &now) == 0) {
        if (limit.rlim_max > now.rlim_max) limit.rlim_max = now.rlim_max;
        if (limit.rlim_cur > limit.rlim_max) limit.rlim_cur = limit.rlim_max;
    }
    // Should it still fail, the child keeps the monitor's own limit.
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

bool Utils::resetSignals() {
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s)
        if (s != SIGKILL && s != SIGSTOP) ::sigaction(s, &dfl, nullptr);
    sigset_t none;
    return ::sigemptyset(&none) == 0 && ::sigprocmask(SIG_SETMASK, &none, nullptr) == 0;
}

int Utils::getOSCode() { return OS_LINUX; }

std::string Utils::getOSName() { return getOSName(getOSCode()); }

std::string Utils::getOSName(int code) {
    switch (code) {
        case OS_LINUX:
            return "Linux";
        case OS_SOLARIS:
            return "Solaris";
        case OS_FREEBSD:
            return "FreeBSD";
        case OS_MACOSX:
            return "MacOS X";
        default:
            return "UNKNOWN";
    }
}

std::string Utils::getVersion() { return VK_VERSION; }

std::string Utils::threadIdText(boost::thread& thread) {
    return std::to_string(static_cast<unsigned long>(thread.native_handle()));
}

void Utils::getHostName(std::string& name) {
    char buffer[1024];
    if (::gethostname(buffer, sizeof buffer) != 0) {
        name.clear();
        return;
    }
    buffer[sizeof buffer - 1] = '\0';
    name = buffer;
}

namespace {
void formatLocal(time_t when, const char* format, std::string& text) {
    struct tm broken;
    char buffer[32];
    text.clear();
    if (!::localtime_r(&when, &broken)) return;
    const size_t length = ::strftime(buffer, sizeof buffer, format, &broken);
    text.assign(buffer, length);
}
}  // namespace

void Utils::formatDate(time_t when, std::string& text) { formatLocal(when, "%a, %d %b %Y %H:%M:%S %z", text); }

void Utils::currentDate(std::string& text) { formatDate(::time(nullptr), text); }

void Utils::timeText(time_t when, std::string& text) { formatLocal(when, "%T", text); }

void Utils::trimGraph(const std::string& input, std::string& output) {
    size_t first = 0;
    while (first < input.size() && !isGraph(input[first])) ++first;
    if (first == input.size()) return;
    size_t last = input.size();
    while (last > first && !isGraph(input[last - 1])) --last;
    output.append(input, first, last - first);
}

void Utils::split(const char* text, const std::string& separator, std::vector<std::string>& pieces) {
    if (!text) return;
    if (separator.empty()) {
        if (*text) pieces.push_back(text);
        return;
    }
    const char* p = text;
    if (::strncmp(p, separator.c_str(), separator.size()) == 0) p += separator.size();
    for (const char* found; (found = ::strstr(p, separator.c_str())) != nullptr; p = found + separator.size())
        pieces.emplace_back(p, found - p);
    if (*p) pieces.emplace_back(p);
}

void Utils::splitArgs(const std::string& program, const std::string& commandLine, std::vector<std::string>& args) {
    args.clear();
    args.push_back(program);
    std::string word;
    for (size_t i = 0; i < commandLine.size(); ++i) {
        const char c = commandLine[i];
        if (c == '"' || c == '\'') {
            size_t end = commandLine.find(c, i + 1);
            if (end == std::string::npos) end = commandLine.size();
            word.append(commandLine, i + 1, end - i - 1);
            args.push_back(word);
            word.clear();
            i = end;  // the closing quote is consumed
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            std::string trimmed;
            trimGraph(word, trimmed);
            if (!trimmed.empty()) args.push_back(trimmed);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) args.push_back(word);
}

void Utils::checkPath(const std::string& path) {
    bool escaped = false;
    for (const char c : path) {
        if (escaped) {
            escaped = false;
            continue;
        }
        if (c == '\\') {
            escaped = true;
            continue;
        }
        const bool allowed = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == ',' || c == '-' ||
                             c == '_' || c == '/' || c == '+';
        if (!allowed) throw std::runtime_error("path \"" + path + "\" is not correct. ch=" + std::string(1, c));
    }
}

namespace {

// Starts the file at path with argv (argv[0] names it); see Utils::spawn.
pid_t spawnFile(const std::string& path, const std::vector<std::string>& argv, int in, int out, int err,
                bool ownGroup, int keepFd) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int streams[3] = {in, out, err};
    // posix_spawn copies nothing of this process, but it cannot set a limit
    // in the child: a kept descriptor limit takes fork and exec.
    pid_t pid = -1;
    const int rc = startLimitKept ? forkExec(findProgram(path), args.data(), streams, ownGroup, keepFd, pid)
                                  : spawnPosix(path.c_str(), args.data(), streams, ownGroup, keepFd, pid);
    if (rc != 0) throw Utils::error("cannot start \"" + argv[0] + "\": " + sysText(rc));
    return pid;
}

// A child's output as it is read: the text keeps at most
// kMaxCapturedOutput bytes; the rest is dropped and marked at the end.
struct CapturedOutput {
    std::string& text;
    bool cut = false;

    void add(const char* data, size_t length) {
        const size_t room = text.size() < Utils::kMaxCapturedOutput ? Utils::kMaxCapturedOutput - text.size() : 0;
        text.append(data, std::min(length, room));
        cut = cut || length > room;
    }
    void finish() {
        if (cut) text += Utils::kCutMark;
    }
};

enum class OutputEnd { END_OF_FILE, TIMED_OUT, STOPPED };

// Reads fd until end of file (or an error), the deadline (when limited) or
// until stopFd (when not negative) is readable.
OutputEnd readOutput(int fd, CapturedOutput& output, bool limited, std::chrono::steady_clock::time_point deadline,
                     int stopFd) {
    char buffer[65536];
    for (;;) {
        int waitMs = -1;
        if (limited) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return OutputEnd::TIMED_OUT;
            waitMs = static_cast<int>(std::min<int64_t>(left.count(), INT_MAX));
        }
        struct pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};  // a negative descriptor is skipped
        const int rc = ::poll(p, 2, waitMs);
        if (rc < 0 && errno != EINTR) return OutputEnd::END_OF_FILE;
        if (rc <= 0) continue;
        if (p[1].revents) return OutputEnd::STOPPED;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            output.add(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            return OutputEnd::END_OF_FILE;
    }
}

}  // namespace

const char* const Utils::kCutMark = "\u2026 (cut)";

bool Utils::isReadable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return fd >= 0 && ::poll(&p, 1, 0) == 1;
}

std::string Utils::printable(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n')
            result += "\\n";
        else if (c == '\r')
            result += "\\r";
        else if (c == '\t')
            result += "\\t";
        else if (c == '\\')
            result += "\\\\";
        else if (u < 0x20 || u == 0x7f)
            result.append("\\x").append(1, hex[u >> 4]).append(1, hex[u & 15]);
        else
            result += c;
    }
    return result;
}

pid_t Utils::spawn(const std::vector<std::string>& argv, int in, int out, int err, bool ownGroup, int keepFd) {
    if (argv.empty() || argv[0].empty()) throw error("cannot start a program: no program given");
    return spawnFile(argv[0], argv, in, out, err, ownGroup, keepFd);
}

pid_t Utils::spawnShell(const std::string& command, int in, int out, int err, bool ownGroup) {
    return spawn({"/bin/sh", "-c", command}, in, out, err, ownGroup);
}

bool Utils::runCommand(const std::vector<std::string>& argv, std::string& output, unsigned limitSeconds) {
    CommandOptions options;
    options.limitSeconds = limitSeconds;
    return runCommand(argv, output, options);
}

bool Utils::runCommand(const std::vector<std::string>& argv, std::string& output, const CommandOptions& options) {
    if (argv.empty() || argv[0].empty()) throw error("cannot start a program: no program given");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw error("popen() error: " + sysText(errno));
    FdGuard readEnd(fds[0]), writeEnd(fds[1]);
    FdGuard devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (devNull.fd < 0) throw error("popen() error: " + sysText(errno));

    const bool limited = options.limitSeconds > 0;
    const bool ownGroup = limited || options.stopFd >= 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.limitSeconds);
    const std::string path =
        options.programFd >= 0 ? "/dev/fd/" + std::to_string(options.programFd) : argv[0];
    pid_t pid;
    try {
        pid = spawnFile(path, argv, -1, devNull.fd, writeEnd.fd, ownGroup, options.programFd);
    } catch (const error& e) {
        output = e.what();
        return false;
    }
    writeEnd.reset();
    devNull.reset();

    CapturedOutput captured{output};
    OutputEnd end = readOutput(readEnd.fd, captured, limited, deadline, options.stopFd);
    if (end == OutputEnd::END_OF_FILE && ownGroup) {
        // The output has ended; the exit is awaited for what is left of the
        // limit, and no longer than until a stop.
        const long long leftMs =
            limited ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                          .count()
                    : 1LL << 40;  // no limit: until the exit or a stop
        if (!waitForExit(pid, leftMs, options.stopFd))
            end = isReadable(options.stopFd) ? OutputEnd::STOPPED : OutputEnd::TIMED_OUT;
    }
    if (end != OutputEnd::END_OF_FILE) ::kill(-pid, SIGKILL);
    int signal = -1, exitCode = -1;
    try {
        checkProcess(pid, false, &signal, &exitCode, nullptr);
    } catch (const std::runtime_error&) {
        output = "pclose() error";
        return false;
    }
    if (end == OutputEnd::STOPPED) {
        output = "\"" + argv[0] + "\" was stopped";
        return false;
    }
    if (end == OutputEnd::TIMED_OUT) {
        output = "\"" + argv[0] + "\" was killed after the time limit of " + std::to_string(options.limitSeconds) +
                 " s";
        return false;
    }
    captured.finish();
    if (!output.empty()) return false;
    if (signal > 0) {
        output = "\"" + argv[0] + "\" was killed by signal " + std::to_string(signal);
        return false;
    }
    if (exitCode != 0) {
        output = "\"" + argv[0] + "\" exited with status " + std::to_string(exitCode);
        return false;
    }
    return true;
}

Utils::FileRead Utils::readRegularFile(const std::string& path, std::string& text) {
    text.clear();
    FdGuard fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0) return FILE_UNREADABLE;
    if (S_ISDIR(st.st_mode)) return FILE_UNREADABLE;
    if (!S_ISREG(st.st_mode)) return FILE_NOT_REGULAR;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            return FILE_READ;
        } else if (errno != EINTR) {
            return FILE_UNREADABLE;
        }
    }
}

void Utils::readAll(int fd, std::string& text) {
    CapturedOutput captured{text};
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            captured.add(buffer, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    captured.finish();
}

bool Utils::writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Utils::writeToPipe(int fd, const std::string& text, int timeoutMs) {
    // SIGPIPE is blocked in this thread while writing; one raised by this
    // write is taken out of the pending set afterwards.
    sigset_t pipeOnly, previous, pending;
    ::sigemptyset(&pipeOnly);
    ::sigaddset(&pipeOnly, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    ::sigpending(&pending);
    const bool wasPending = ::sigismember(&pending, SIGPIPE);

    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    bool ok = true;
    int savedErrno = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) {
            ok = false;
            savedErrno = errno;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                               std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ok = false;
            savedErrno = ETIMEDOUT;
            break;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags);

    if (!wasPending) {
        ::sigpending(&pending);
        if (::sigismember(&pending, SIGPIPE)) {
            const struct timespec zero = {0, 0};
            ::sigtimedwait(&pipeOnly, nullptr, &zero);
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = savedErrno;
    return ok;
}

int Utils::setLock(int fd, int pid) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    lock.l_pid = pid;
    while (::fcntl(fd, F_SETLK, &lock) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

void Utils::createPidFile(const char* path, int pid, const std::list<std::string>& extraLines) {
    // Never through a link: the directory may be writable by others.
    FdGuard fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644));
    if (fd.fd < 0) throw error(std::string("error in create pid file \"") + path + "\": " + sysText(errno));
    struct stat st;
    if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw error(std::string("error in create pid file \"") + path + "\": " + sysText(EINVAL));
    if (const int e = setLock(fd.fd, pid))
        throw error(std::string("unable to set lock for file \"") + path + "\": " + sysText(e));
    while (::ftruncate(fd.fd, 0) != 0) {
        if (errno != EINTR) throw error("error truncate pid file: " + sysText(errno));
    }
    std::string content = std::to_string(pid) + "\n";
    for (const std::string& line : extraLines) content += line + "\n";
    if (!writeAll(fd.fd, content)) throw error("error write to pid file: " + sysText(errno));
    // Kept open for the life of the process: the lock lasts as long.
    fd.release();
}

void Utils::unlinkPidFile(const char* path) {
    while (::unlink(path) != 0) {
        if (errno != EINTR) throw error(std::string("error unlink pid file \"") + path + "\": " + sysText(errno));
    }
}

void Utils::getCurrentIds(std::string& user, std::string& group) {
    std::vector<char> buffer(16384);
    struct passwd pw, *pwResult = nullptr;
    int rc = ::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &pwResult);
    if (!pwResult) throw error("cannot get uid, because of " + sysText(rc ? rc : ENOENT));
    user = pw.pw_name;
    struct group gr, *grResult = nullptr;
    rc = ::getgrgid_r(::getgid(), &gr, buffer.data(), buffer.size(), &grResult);
    if (!grResult) throw error("cannot get gid, because of " + sysText(rc ? rc : ENOENT));
    group = gr.gr_name;
}

gid_t Utils::getGid(const std::string& group) {
    std::vector<char> buffer(16384);
    struct group gr, *result = nullptr;
    int rc;
    // Repeated on EINTR, and with a larger buffer for a group of many members.
    while ((rc = ::getgrnam_r(group.c_str(), &gr, buffer.data(), buffer.size(), &result)) == EINTR ||
           (rc == ERANGE && buffer.size() < (1u << 24)))
        if (rc == ERANGE) buffer.resize(buffer.size() * 2);
    if (!result) throw error("getgrnam( \"" + group + "\" ) error");
    return gr.gr_gid;
}

namespace {
// The user's uid and primary gid.
std::pair<uid_t, gid_t> lookUpUser(const std::string& user) {
    std::vector<char> buffer(16384);
    struct passwd pw, *result = nullptr;
    int rc;
    while ((rc = ::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &result)) == EINTR ||
           (rc == ERANGE && buffer.size() < (1u << 24)))
        if (rc == ERANGE) buffer.resize(buffer.size() * 2);
    if (!result) throw Utils::error("getpwnam( \"" + user + "\" ) error");
    return {pw.pw_uid, pw.pw_gid};
}
}  // namespace

uid_t Utils::getUid(const std::string& user) { return lookUpUser(user).first; }

gid_t Utils::getPrimaryGid(const std::string& user) { return lookUpUser(user).second; }

bool Utils::setIds(const std::string& user, const std::string& group) {
    // Both names are looked up before anything changes: an unknown name is
    // an error, never a silent run with the old identity.
    const std::pair<uid_t, gid_t> account =
        user.empty() ? std::make_pair(::getuid(), ::getgid()) : lookUpUser(user);
    // A user without a group takes the user's own group: a process that
    // leaves root must not keep root's group.
    const gid_t gid = !group.empty() ? getGid(group) : (user.empty() ? ::getgid() : account.second);
    const uid_t uid = account.first;
    if (::geteuid() == 0 && (!user.empty() || !group.empty())) {
        // Supplementary groups of root must not survive the switch.
        const int rc = user.empty() ? ::setgroups(0, nullptr) : ::initgroups(user.c_str(), gid);
        if (rc != 0) throw error("cannot set gid, because of " + sysText(errno));
    }
    if ((!group.empty() || !user.empty()) && gid != ::getgid() && ::setgid(gid) != 0)
        throw error("cannot set gid, because of " + sysText(errno));
    if (!user.empty() && uid != ::getuid() && ::setuid(uid) != 0)
        throw error("cannot set uid, because of " + sysText(errno));
    return !user.empty() || !group.empty();
}

void Utils::listDirAll(const std::string& dir, std::vector<std::string>& paths) {
    paths.clear();
    std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), ::closedir);
    if (!handle) throw std::runtime_error("opendir() error: \"" + dir + "\": " + sysText(errno));
    while (struct dirent* entry = ::readdir(handle.get())) {
        const std::string path = dir + entry->d_name;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            const int e = errno;
            // Gone since readdir (.hup files come and go), or a link that
            // leads nowhere: not a file to list.
            if (e == ENOENT || e == ELOOP) continue;
            handle.reset();
            throw std::runtime_error("stat() error: \"" + path + "\": " + sysText(e));
        }
        if (!S_ISDIR(st.st_mode)) paths.push_back(path);
    }
}

void Utils::listDir(const std::string& dir, const std::string& suffix, std::vector<std::string>& paths) {
    std::vector<std::string> all;
    listDirAll(dir, all);
    paths.clear();
    for (const std::string& path : all)
        if (path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
            paths.push_back(path);
}

pid_t Utils::waitPid(pid_t pid, int* status, int options) {
    pid_t rc;
    while ((rc = ::waitpid(pid, status, options)) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("waitpid(" + std::to_string(pid) + ", ..) error: " + sysText(errno));
    }
    return rc;
}

bool Utils::checkProcess(pid_t pid, bool noHang, int* signal, int* exitCode, bool* exited) {
    int status = 0;
    const pid_t rc = waitPid(pid, &status, noHang ? WNOHANG : 0);
    if (signal) *signal = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (exited) *exited = WIFEXITED(status);
    return noHang && rc == 0;
}

bool Utils::hasEnded(pid_t pid) {
    siginfo_t info;
    info.si_pid = 0;
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        if (errno != EINTR) return true;  // no child of ours: nothing left to wait for
    return info.si_pid != 0;
}

int Utils::openExitDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool Utils::waitForExit(pid_t pid, long long timeoutMs, int alsoFd) {
    if (hasEnded(pid)) return true;
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(std::max(0LL, timeoutMs));
    // A process descriptor becomes readable when the process ends. Where
    // the kernel has none, the waits start at 1 ms and double up to 100 ms.
    FdGuard exit(openExitDescriptor(pid));
    milliseconds pause(1);
    for (;;) {
        const long long left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) return hasEnded(pid);
        if (exit.fd >= 0) {
            struct pollfd p[2] = {{exit.fd, POLLIN, 0}, {alsoFd, POLLIN, 0}};  // a negative descriptor is skipped
            ::poll(p, 2, static_cast<int>(std::min<long long>(left, INT_MAX)));
        } else {
            struct pollfd p = {alsoFd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min(pause, milliseconds(left)).count()));
            pause = std::min(pause * 2, milliseconds(100));
        }
        if (hasEnded(pid)) return true;
        if (isReadable(alsoFd)) return false;
    }
}

int Utils::waitOrKill(pid_t pid, unsigned seconds, int* signal, int* exitCode, bool* exited, bool killGroup) {
    const bool ended = waitForExit(pid, static_cast<long long>(seconds) * 1000);
    if (!ended) ::kill(killGroup ? -pid : pid, SIGKILL);
    checkProcess(pid, false, signal, exitCode, exited);
    return ended ? 0 : 1;
}
