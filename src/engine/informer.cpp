#include "engine/informer.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "engine/fd_guard.h"
#include "engine/monitor_state.h"
#include "engine/utils.h"

namespace {

std::mutex sendCommandLock;
std::string sendCommand;

// The count of mail workers still running. Never destroyed: a detached
// worker may finish while the process is already exiting.
struct Workers {
    std::mutex lock;
    std::condition_variable done;
    unsigned running = 0;
};

Workers& workers() {
    static Workers* instance = new Workers;
    return *instance;
}

std::string sysText(int error) { return velka::base::errnoText(error); }

// How a command that was handed a letter ended.
struct LetterRun {
    enum Step { PIPE_FAILED, SPAWN_FAILED, DONE } step = DONE;
    std::string error;  // what failed: the pipe, the start or the write
    bool written = false;
    int signal = -1;
    int exitCode = -1;
    bool exited = false;
};

// Runs the shell command in a process group of its own with the letter on
// its standard input. One limit holds for writing and waiting together:
// then the whole group is killed, so a hung command can hold neither its
// caller nor anything it started.
LetterRun runWithLetter(const std::string& command, const std::string& letter, unsigned limitSeconds) {
    LetterRun run;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        run.step = LetterRun::PIPE_FAILED;
        run.error = sysText(errno);
        return run;
    }
    FdGuard readEnd(fds[0]), writeEnd(fds[1]);
    pid_t pid;
    try {
        pid = Utils::spawnShell(command, readEnd.fd, -1, -1, true);
    } catch (const std::exception& e) {
        run.step = LetterRun::SPAWN_FAILED;
        run.error = e.what();
        return run;
    }
    readEnd.reset();
    const auto started = std::chrono::steady_clock::now();
    run.written = Utils::writeToPipe(writeEnd.fd, letter, static_cast<int>(limitSeconds) * 1000);
    if (!run.written) run.error = sysText(errno);
    writeEnd.reset();
    const auto spent = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    const unsigned left = spent.count() >= limitSeconds ? 0 : limitSeconds - static_cast<unsigned>(spent.count());
    Utils::waitOrKill(pid, left, &run.signal, &run.exitCode, &run.exited, true);
    return run;
}

// Mails the letter with the command and reports how it ended.
void runSendWorker(const std::string& command, const std::string& mail, unsigned limitSeconds) {
    try {
        logDebug("Run informer: \"" + command + "\"");
        const LetterRun run = runWithLetter(command, mail, limitSeconds);
        if (run.step != LetterRun::DONE) {
            logError("Error sending notification: popen(): " + run.error);
            return;
        }
        if (!run.written) logError("Error sending notification: fprintf(): " + run.error);
        if (run.signal > 0) {
            logError("Informer was terminated by signal");
        } else if (run.exited) {
            if (run.exitCode != 0)
                logError("Informer exited with status: " + std::to_string(run.exitCode));
            else
                logDebug("Informed successfully");
        }
    } catch (const std::exception& e) {
        logError(std::string("Error sending notification: ") + e.what());
    }
}

void sendWorker(const std::string& command, const std::string& mail, unsigned limitSeconds) {
    runSendWorker(command, mail, limitSeconds);
    Workers& w = workers();
    std::lock_guard<std::mutex> guard(w.lock);
    --w.running;
    w.done.notify_all();
}

}  // namespace

bool Informer::inform(const std::string&) {
    logWarn("call virtual method Informer::inform()");
    return false;
}

Informer::~Informer() = default;

bool LogInformer::inform(const std::string& letter) {
    logInfo("LogInform: " + letter);
    return true;
}

const char* const SenderInformer::kDefaultRecipient = "root";

void SenderInformer::setSendCommand(const std::string& command) {
    std::lock_guard<std::mutex> guard(sendCommandLock);
    sendCommand = command;
}

std::string SenderInformer::getSendCommand() {
    std::lock_guard<std::mutex> guard(sendCommandLock);
    return sendCommand;
}

bool SenderInformer::inform(const std::string& letter) {
    std::string filterMail, adminMail;
    MonitorInfo::instance()->getMailAddresses(filterMail, adminMail);
    std::string header;
    if (!filterMail.empty()) header += "From:" + filterMail + "\n";
    header += "To:" + (adminMail.empty() ? std::string(kDefaultRecipient) : adminMail) + "\n";
    const std::string command = getSendCommand();
    logDebug("send notification " + header + ". Command: " + command);
    Workers& w = workers();
    {
        std::lock_guard<std::mutex> guard(w.lock);
        ++w.running;
    }
    try {
        std::thread(sendWorker, command, header + letter, m_limitSeconds).detach();
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> guard(w.lock);
        --w.running;
        logError(std::string("Error sending notification: ") + e.what());
    }
    return true;
}

bool SenderInformer::waitForWorkers(unsigned timeoutMs) {
    Workers& w = workers();
    std::unique_lock<std::mutex> guard(w.lock);
    return w.done.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&w] { return w.running == 0; });
}

CmdInformer::CmdInformer(const std::string& command, unsigned limitSeconds)
    : m_command(command), m_limitSeconds(limitSeconds) {}

bool CmdInformer::inform(const std::string& letter) {
    const LetterRun run = runWithLetter(m_command, letter, m_limitSeconds);
    if (run.step == LetterRun::PIPE_FAILED) {
        logError("error inform: pipe() error. Data=" + letter);
        return false;
    }
    if (run.step == LetterRun::SPAWN_FAILED) {
        logError("error inform: fork() error. Data=" + letter);
        return false;
    }
    if (!run.written) logError("error inform: write() error. Data=" + letter);
    if (run.signal > 0)
        logError("informer command \"" + m_command + "\" terminated by signal" + std::to_string(run.signal));
    logInfo("execute command: \"" + m_command + "\". Transfer message in stdin: " + letter);
    return true;
}

std::unique_ptr<Informer> createInformer(int type, const std::string& command) {
    switch (type) {
        case 1:
            return std::unique_ptr<Informer>(new LogInformer);
        case 2:
            return std::unique_ptr<Informer>(new SenderInformer);
        case 3:
            return std::unique_ptr<Informer>(new CmdInformer(command));
        default:
            return nullptr;
    }
}
