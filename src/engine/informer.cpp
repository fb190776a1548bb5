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

// How long a mail command or informer command may take to read its letter.
const int kWriteTimeoutMs = 30000;

std::string sysText(int error) { return velka::base::errnoText(error); }

// Runs the mail command with the mail text on its standard input and
// reports how it ended.
void runSendWorker(const std::string& command, const std::string& mail);

void sendWorker(const std::string& command, const std::string& mail) {
    runSendWorker(command, mail);
    Workers& w = workers();
    std::lock_guard<std::mutex> guard(w.lock);
    --w.running;
    w.done.notify_all();
}

void runSendWorker(const std::string& command, const std::string& mail) {
    try {
        logDebug("Run informer: \"" + command + "\"");
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            logError("Error sending notification: popen(): " + sysText(errno));
            return;
        }
        pid_t pid;
        try {
            pid = Utils::spawnShell(command, fds[0], -1, -1);
        } catch (const std::exception& e) {
            ::close(fds[0]);
            ::close(fds[1]);
            logError(std::string("Error sending notification: popen(): ") + e.what());
            return;
        }
        ::close(fds[0]);
        if (!Utils::writeToPipe(fds[1], mail, kWriteTimeoutMs))
            logError("Error sending notification: fprintf(): " + sysText(errno));
        ::close(fds[1]);
        int status = 0;
        Utils::waitPid(pid, &status, 0);
        if (WIFSIGNALED(status)) {
            logError("Informer was terminated by signal");
        } else if (WIFEXITED(status)) {
            if (WEXITSTATUS(status) != 0)
                logError("Informer exited with status: " + std::to_string(WEXITSTATUS(status)));
            else
                logDebug("Informed successfully");
        }
    } catch (const std::exception& e) {
        logError(std::string("Error sending notification: ") + e.what());
    }
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
        std::thread(sendWorker, command, header + letter).detach();
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
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        logError("error inform: pipe() error. Data=" + letter);
        return false;
    }
    pid_t pid;
    try {
        // A group of its own, so the time limit can kill whatever the
        // command started as well.
        pid = Utils::spawnShell(m_command, fds[0], -1, -1, true);
    } catch (const std::exception&) {
        ::close(fds[0]);
        ::close(fds[1]);
        logError("error inform: fork() error. Data=" + letter);
        return false;
    }
    ::close(fds[0]);
    // One limit for writing and waiting: a command that never reads cannot
    // hold the caller longer than that.
    const auto started = std::chrono::steady_clock::now();
    if (!Utils::writeToPipe(fds[1], letter, static_cast<int>(m_limitSeconds) * 1000))
        logError("error inform: write() error. Data=" + letter);
    ::close(fds[1]);
    const auto spent = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    const unsigned left = spent.count() >= m_limitSeconds ? 0 : m_limitSeconds - static_cast<unsigned>(spent.count());
    int signal = -1, exitCode = -1;
    bool exited = false;
    Utils::waitOrKill(pid, left, &signal, &exitCode, &exited, true);
    if (signal > 0)
        logError("informer command \"" + m_command + "\" terminated by signal" + std::to_string(signal));
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
