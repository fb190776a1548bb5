#include "daemon/monitor_program.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <sstream>

#include <boost/program_options.hpp>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "daemon/monitor_factory.h"
#include "engine/monitor_state.h"
#include "engine/utils.h"

namespace po = boost::program_options;

namespace {

const std::string kVersion = Utils::getVersion();

// The write end of the pipe to a waiting parent, in a daemon's child.
int startupFd = -1;

std::string sysText(int error) { return velka::base::errnoText(error); }

void reopenStandardStreams() {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open("/dev/null", O_WRONLY);
    if (in >= 0) {
        ::dup2(in, 0);
        if (in > 2) ::close(in);
    }
    if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (out > 2) ::close(out);
    }
}

// The parent of a daemon: waits for the child's report and ends with it.
[[noreturn]] void waitForChild(int fd) {
    std::string report;
    Utils::readAll(fd, report);
    if (report.empty()) {
        std::fprintf(stderr, "%s: the daemon ended during start-up\n", programName.c_str());
        ::_exit(1);
    }
    const size_t newline = report.find('\n');
    const int status = std::atoi(report.substr(0, newline).c_str());
    if (newline != std::string::npos && newline + 1 < report.size())
        std::fprintf(stderr, "%s\n", report.substr(newline + 1).c_str());
    ::_exit(status);
}

}  // namespace

void MonitorProgram::reportStartup(int status, const std::string& text) {
    if (startupFd < 0) return;
    Utils::writeAll(startupFd, std::to_string(status) + "\n" + text);
    ::close(startupFd);
    startupFd = -1;
}

MonitorProgram::MonitorProgram(const std::string& runList, bool updateMode)
    : m_runList(runList), m_updateMode(updateMode) {
    // Descriptors in reserve: control clients must not leave supervision
    // without the pipes it needs. The children get the old limit back.
    if (!Utils::raiseDescriptorLimit())
        logWarn("cannot raise the limit of open descriptors: " + sysText(errno));
}

MonitorProgram::~MonitorProgram() {
    logDebug("~MonitorProgram()");
    stop();
    if (m_monitor) {
        try {
            m_monitor->stop();
        } catch (const std::exception& e) {
            logError(std::string("monitor stop error: ") + e.what());
        }
        m_monitor.reset();
    }
    if (!m_pidFile.empty()) {
        try {
            Utils::unlinkPidFile(m_pidFile.c_str());
        } catch (const std::exception& e) {
            logError(e.what());
        }
    }
}

int MonitorProgram::parseOptions(int argc, char** argv, std::string& confPath, std::string& runList,
                                 bool& updateMode, bool& checkOnly, bool& checkAll) {
    po::options_description description("Use: " + programName + " [OPTION]", po::options_description::m_default_line_length,
                                        po::options_description::m_default_line_length / 2);
    description.add_options()
        ("help,h", "display this message")
        ("version,v", "display version")
        ("update,u", "use update mode")
        ("check-only,C", po::bool_switch(&checkOnly), "perform configuration check and exit")
        ("check-all,A", po::bool_switch(&checkAll), "perform configuration for all components and exit")
        ("run,r", po::value<std::string>(&runList), "run applications (VARNO,ORTEX - without space)")
        ("conf,c", po::value<std::string>(&confPath)->default_value("/etc/velka/monitor.conf"), "use config file");
    po::variables_map options;
    try {
        po::store(po::parse_command_line(argc, argv, description), options);
        po::notify(options);
    } catch (const std::exception& e) {
        std::cerr << programName << ": " << e.what() << "\n"
                  << "Try '" << programName << " --help' for more options";
        return 6;
    }
    if (options.count("help")) {
        std::ostringstream text;
        text << description;
        throw exit(text.str());
    }
    if (options.count("version"))
        throw exit(programName + " for " + Utils::getOSName() + ", version " + kVersion);
    if (options.count("update")) updateMode = true;
    return 0;
}

bool MonitorProgram::createMonitor(const std::string& confPath) {
    try {
        m_monitor = createMonitorObject(confPath, m_runList, m_updateMode);
    } catch (const std::exception& e) {
        throw error(e.what(), 33);
    }
    return true;
}

void MonitorProgram::fixLogFileOwner() {
    const std::string file = m_monitor->getLogFileName();
    if (file.empty() || (::getuid() != 0 && ::getgid() != 0)) return;
    const ConfReader& settings = m_monitor->getSettings();
    unsigned uid = 0, gid = 0;
    if (!settings.getUser().empty()) {
        try {
            uid = Utils::getUid(settings.getUser());
        } catch (const std::exception& e) {
            logError("cannot get UID for user \"" + settings.getUser() + "\": " + e.what());
        }
    }
    if (!settings.getGroup().empty()) {
        try {
            gid = Utils::getGid(settings.getGroup());
        } catch (const std::exception& e) {
            logError("cannot get GID for group \"" + settings.getGroup() + "\": " + e.what());
        }
    }
    if (uid == 0) {
        try {
            uid = m_monitor->getFirstNotRootUID();
        } catch (const std::exception& e) {
            logError(std::string("cannot find component with not root UID: ") + e.what());
        }
    }
    if (gid == 0) {
        try {
            gid = m_monitor->getFirstNotRootGID();
        } catch (const std::exception& e) {
            logError(std::string("cannot find component with not root GID: ") + e.what());
        }
    }
    if (::chown(file.c_str(), uid, gid) != 0)
        logError("cannot change permissions for \"" + file + "\" log file: " + sysText(errno));
}

bool MonitorProgram::changePermissions() {
    try {
        fixLogFileOwner();
        const ConfReader& settings = m_monitor->getSettings();
        if (Utils::setIds(settings.getUser(), settings.getGroup())) {
            logInfo("permissions were changed to \"" + settings.getUser() + ":" + settings.getGroup() + "\"");
        } else {
            std::string user, group;
            Utils::getCurrentIds(user, group);
            logDebug(programName + " permission \"" + user + ":" + group + "\"");
        }
        return true;
    } catch (const std::exception& e) {
        logError(std::string("change permission error: ") + e.what());
        return false;
    }
}

void MonitorProgram::daemonize() {
    const ConfReader& settings = m_monitor->getSettings();
    if (settings.isRunForeground()) return;
    if (::getppid() != 1) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw error("cannot fork: " + sysText(errno), 4);
        const pid_t child = ::fork();
        if (child < 0) {
            const int e = errno;
            ::close(fds[0]);
            ::close(fds[1]);
            throw error("cannot fork: " + sysText(e), 4);
        }
        if (child > 0) {
            ::close(fds[1]);
            waitForChild(fds[0]);
        }
        ::close(fds[0]);
        startupFd = fds[1];
        if (::setsid() < 0) throw error("cannot create new session: " + sysText(errno), 4);
    }
    const std::string& dir = settings.getChDir();
    if (!dir.empty() && ::chdir(dir.c_str()) != 0)
        throw error("cannot change directory to \"" + dir + "\": " + sysText(errno), 5);
    reopenStandardStreams();
}

void MonitorProgram::writePidFile() {
    const pid_t pid = ::getpid();
    const std::string path = m_monitor->getSettings().getPidFileDir() + programName + ".pid";
    Utils::createPidFile(path.c_str(), pid, {});
    m_pidFile = path;
    m_monitor->setOwnPid(pid);
}

void MonitorProgram::setupSignals() {
    SignalExecutor* executor = m_monitor.get();
    addProcessor(SIGCHLD, new InformProcessor(executor, "SIGCHLD"));
    addProcessor(SIGTTOU, new InformProcessor(executor, "SIGTTOU"));
    addProcessor(SIGTTIN, new InformProcessor(executor, "SIGTTIN"));
    addProcessor(SIGTERM, new TerminateProcessor(executor, "SIGTERM"));
    addProcessor(SIGINT, new TerminateProcessor(executor, "SIGINT"));
    addProcessor(SIGHUP, new ReloadProcessor(executor, "SIGHUP"));
    start();
}

bool MonitorProgram::verifyDependences() {
    try {
        m_monitor->verifyFirstRunAppSet();
        return true;
    } catch (const std::exception& e) {
        logError(std::string("dependences verification error: ") + e.what());
        return false;
    }
}

void MonitorProgram::run() {
    try {
        m_monitor->start();
    } catch (...) {
        m_monitor->setState(false);
        if (m_monitor->getOwnPid() > 0) ::kill(m_monitor->getOwnPid(), SIGTERM);
        throw;
    }
}

bool MonitorProgram::startMainLoopThread() {
    try {
        logDebug("startMainLoopThread: creating thread mainLoopThread");
        Monitor* monitor = m_monitor.get();
        m_mainLoopThread = boost::thread([monitor] { monitor->mainLoop(); });
        logDebug("startMainLoopThread: created thread mainLoopThread: id=" + Utils::threadIdText(m_mainLoopThread));
        return true;
    } catch (const std::exception&) {
        logError("cannot create mainLoopThread");
        return false;
    }
}

void MonitorProgram::stop() {
    if (m_stopped) return;
    m_stopped = true;
    logDebug("MonitorProgram::stop()");
    if (m_monitor && getMonitorState() == MONITOR_STARTED) m_monitor->setState(false);
    if (m_mainLoopThread.joinable()) m_mainLoopThread.join();
}
