// Operating-system helpers: pid file, users and groups, commands, directory
// listing, text splitting, process waits, host and date texts.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <list>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/thread/thread.hpp>

class Utils {
public:
    class error : public std::runtime_error {
    public:
        explicit error(const std::string& message) : std::runtime_error(message) {}
    };

    enum OSCode { OS_LINUX = 1, OS_SOLARIS = 2, OS_FREEBSD = 3, OS_MACOSX = 4 };

    static int getOSCode();
    static std::string getOSName();
    static std::string getOSName(int code);
    static std::string getVersion();
    static std::string threadIdText(boost::thread& thread);

    static void getHostName(std::string& name);
    static void formatDate(time_t when, std::string& text);
    static void currentDate(std::string& text);
    static void timeText(time_t when, std::string& text);

    static void trimGraph(const std::string& input, std::string& output);
    static void split(const char* text, const std::string& separator, std::vector<std::string>& pieces);
    static void splitArgs(const std::string& program, const std::string& commandLine,
                          std::vector<std::string>& args);
    // Refuses a path holding anything but letters, digits and ". , - _ / +"
    // (a character after a backslash passes whatever it is).
    static void checkPath(const std::string& path);

    // Where a child's output is captured, at most this many bytes of it are
    // kept; the rest is read and dropped, and the text ends with kCutMark.
    static constexpr size_t kMaxCapturedOutput = 64 * 1024;
    static const char* const kCutMark;  // "… (cut)"
    // The text with each control character written as an escape ("\n",
    // "\x01") and each backslash doubled: a text from outside (a request
    // field, a child's output) then stays one log record.
    static std::string printable(const std::string& text);

    // How runCommand runs its program, beyond its arguments.
    struct CommandOptions {
        // Above 0: the program leads a process group of its own, and when
        // it has not ended (or its error output is still held open) after
        // that many seconds the whole group is killed.
        unsigned limitSeconds = 0;
        // Not negative: the program is the file open on this descriptor,
        // run through /dev/fd, so that the very file checked runs; argv[0]
        // only names it.
        int programFd = -1;
        // Not negative: once this descriptor is readable the program's
        // process group (it leads one) is killed and the run fails.
        int stopFd = -1;
    };
    // Starts argv[0] directly (no shell) with argv, its standard output
    // discarded and its error output collected into output (at most
    // kMaxCapturedOutput bytes of it). True only when it started, wrote
    // nothing on its error output and exited with 0.
    static bool runCommand(const std::vector<std::string>& argv, std::string& output, unsigned limitSeconds = 0);
    static bool runCommand(const std::vector<std::string>& argv, std::string& output, const CommandOptions& options);

    // Starts a program with an empty signal mask, default signal
    // dispositions and the descriptor limit the monitor started with. Each
    // of in/out/err, when not negative, becomes the child's descriptor
    // 0/1/2; the others are inherited. All other descriptors of the
    // monitor are close-on-exec. A name without a slash is looked up in
    // PATH. Throws Utils::error, also when the program cannot be executed.
    // With a kept limit (raiseDescriptorLimit) the child is forked, else
    // made with posix_spawn, which copies nothing of this process.
    // With ownGroup the child leads a new process group (its pid). keepFd,
    // when not negative, stays open in the child at its number (its
    // close-on-exec flag is cleared there only), e.g. for a /dev/fd path.
    static pid_t spawn(const std::vector<std::string>& argv, int in, int out, int err, bool ownGroup = false,
                       int keepFd = -1);
    // spawn of "/bin/sh -c command": for commands the administrator wrote
    // in the configuration.
    static pid_t spawnShell(const std::string& command, int in, int out, int err, bool ownGroup = false);

    // Raises the soft limit of open descriptors to the hard one, so that
    // clients cannot use up what supervision needs, and keeps the limit the
    // program started with for its children. Call it once, before any
    // thread starts; false when the limit could not be read or raised.
    static bool raiseDescriptorLimit();
    // In a child between fork and exec (async-signal-safe): puts back the
    // limit kept by raiseDescriptorLimit, if any, within the hard limit in
    // force. It never fails a start: should the limit not be set, the child
    // keeps the monitor's.
    static void restoreDescriptorLimit();
    // In a child between fork and exec (async-signal-safe): every signal
    // back to its default disposition and an empty signal mask, since the
    // monitor blocks and handles signals a program must get back; false
    // when the mask cannot be set.
    static bool resetSignals();

    static void createPidFile(const char* path, int pid, const std::list<std::string>& extraLines);
    static void unlinkPidFile(const char* path);

    static void getCurrentIds(std::string& user, std::string& group);
    static gid_t getGid(const std::string& group);
    static uid_t getUid(const std::string& user);
    // The user's primary group.
    static gid_t getPrimaryGid(const std::string& user);
    // Switches to the group, then the user. As root the supplementary
    // groups become the user's (or are dropped when no user is given).
    static bool setIds(const std::string& user, const std::string& group);

    static void listDirAll(const std::string& dir, std::vector<std::string>& paths);
    static void listDir(const std::string& dir, const std::string& suffix, std::vector<std::string>& paths);

    static pid_t waitPid(pid_t pid, int* status, int options);
    static bool checkProcess(pid_t pid, bool noHang, int* signal, int* exitCode, bool* exited);
    // True when the child has ended (or is no child of this process); it
    // is not reaped.
    static bool hasEnded(pid_t pid);
    // A process descriptor of the child (close-on-exec), readable once it
    // has ended; -1 where the kernel has none.
    static int openExitDescriptor(pid_t pid);
    // Waits up to timeoutMs for the child to end, without reaping it; true
    // once it has. The wait is on a process descriptor, so it ends with
    // the exit itself. It ends early, false, once alsoFd (when not
    // negative) is readable.
    static bool waitForExit(pid_t pid, long long timeoutMs, int alsoFd = -1);
    // Whether fd (when not negative) is readable now, without waiting.
    static bool isReadable(int fd);
    // SIGTERM is the caller's: waits up to the given seconds for the child
    // to end, then kills it with SIGKILL; the child is reaped either way.
    // 0 when it ended by itself, 1 when it was killed.
    // With killGroup the SIGKILL goes to the process group the child leads.
    static int waitOrKill(pid_t pid, unsigned seconds, int* signal, int* exitCode, bool* exited,
                          bool killGroup = false);

    enum FileRead { FILE_READ, FILE_UNREADABLE, FILE_NOT_REGULAR };
    // Reads a whole regular file into text. It is opened without waiting,
    // so a FIFO or a device in its place is refused (FILE_NOT_REGULAR)
    // rather than waited on or read for ever; a file that is missing or
    // cannot be read, a directory among them, is FILE_UNREADABLE.
    static FileRead readRegularFile(const std::string& path, std::string& text);
    // read() until end of file (or an error), appending to text; the text
    // keeps at most kMaxCapturedOutput bytes (see there).
    static void readAll(int fd, std::string& text);
    // write() until the whole text is written, repeated on EINTR.
    static bool writeAll(int fd, const std::string& text);
    // Writes the whole text into a pipe within timeoutMs milliseconds; a
    // reader that has gone away gives false (EPIPE), never SIGPIPE.
    static bool writeToPipe(int fd, const std::string& text, int timeoutMs);
    // A write lock on the whole file without waiting; 0 or the errno.
    static int setLock(int fd, int pid);
};
