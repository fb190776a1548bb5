#include "daemon/monitor.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "daemon/updater.h"
#include "engine/informer.h"
#include "engine/monitor_state.h"
#include "engine/utils.h"

namespace {
const char* const kDefaultAgentAddress = "local:/var/velka/ipc/.agent";
std::string sysText(int error) { return velka::base::errnoText(error); }

// What a scan of the .hup files records: about a file, or a signal sent.
enum class HupRecord { OpenError, BadFormat, LockTestError, NotLockedByOwner, Unlinked, UnlinkError, Sent, Kinds };
}  // namespace

// The records of the .hup scans. The pid file directory is writable by
// components, so it may hold any number of foreign files with names of any
// length, and a scan runs with every applied reload request: of each kind
// only the first few records of a period are written, and a scan that left
// records out counts them in one record at its end. The scans then write a
// bounded number of bytes a minute, however many files they meet and
// however often clients ask for them.
class HupScanRecords {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kPerKind = 5;
    static constexpr std::chrono::seconds kPeriod{10};

    // Begins a scan, and a new period when the last one is over.
    void begin() {
        const Clock::time_point now = Clock::now();
        if (now >= m_periodEnd) {
            m_written.fill(0);
            m_periodEnd = now + kPeriod;
        }
        m_leftOut.fill(0);
    }

    // True when a record of this kind is still to be written in this period.
    bool take(HupRecord kind) {
        const size_t k = static_cast<size_t>(kind);
        if (m_written[k] < kPerKind) {
            ++m_written[k];
            return true;
        }
        ++m_leftOut[k];
        return false;
    }

    // One record with what this scan left out, when it left anything out.
    void writeLeftOut(const std::string& dir) const {
        static const char* const kNames[] = {"error in open hup file",         "bad hup file format",
                                             "error in lock test of hup file", "hup file not write-locked by its pid",
                                             "unlink not locked hup file",     "unlink error",
                                             "send HUP signal"};
        static_assert(sizeof kNames / sizeof *kNames == static_cast<size_t>(HupRecord::Kinds), "a name per kind");
        size_t total = 0;
        std::string kinds;
        for (size_t kind = 0; kind < m_leftOut.size(); ++kind) {
            if (m_leftOut[kind] == 0) continue;
            total += m_leftOut[kind];
            kinds += std::string(kinds.empty() ? "" : ", ") + kNames[kind] + ": " + std::to_string(m_leftOut[kind]);
        }
        if (total == 0) return;
        logWarn("hup file scan of \"" + Utils::printable(dir) + "\": " + std::to_string(total) +
                " records left out after the first " + std::to_string(kPerKind) + " of each kind in " +
                std::to_string(kPeriod.count()) + " s (" + kinds + ")");
    }

private:
    using Counts = std::array<size_t, static_cast<size_t>(HupRecord::Kinds)>;
    Counts m_written{};  // in this period
    Counts m_leftOut{};  // in this scan
    Clock::time_point m_periodEnd{};
};

namespace {
// How long a scan of the .hup files goes on between two passes of
// failure detection and due restarts.
constexpr std::chrono::milliseconds kHupScanSlice(100);

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}
}  // namespace

Monitor::Monitor(const std::string& confPath, const std::string& runList, bool updateMode,
                 std::unique_ptr<AgentLink> agent)
    : m_store(updateMode),
      m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_agent(agent ? std::move(agent) : std::make_unique<UnreachableAgentLink>()),
      m_hupRecords(std::make_unique<HupScanRecords>()),
      m_settings(confPath) {
    logDebug("Monitor::Monitor() confFile = " + confPath);
    if (!runList.empty()) {
        std::vector<std::string> names;
        Utils::split(runList.c_str(), ",", names);
        for (const std::string& name : names) m_cmdRunSet.insert(name);
    }
    reloadData();
    if (m_settings.isEnterpriseMode()) m_cmdRunSet.insert(kAgentAppName);
    loadMetaConf(m_store);
}

Monitor::~Monitor() {
    logDebug("Monitor::~Monitor()");
    setMonitorState(MONITOR_STOPPED);
    m_agent->close();
    MonitorInfo::destroy();
}

void Monitor::loadMetaConf(RunAppStore& store) {
    RunAppStore::parseMetaConf(m_settings.getMetaConfigDir(), store);
    store.setMonitor(this);
}

void Monitor::setState(bool started) {
    setMonitorState(started ? MONITOR_STARTED : MONITOR_STOPPED);
    logDebug("Monitor::setState to " + monitorStateName());
    if (!started) wakeMainLoop();
}

void Monitor::wakeMainLoop() {
    const uint64_t one = 1;
    if (m_wake.fd >= 0 && ::write(m_wake.fd, &one, sizeof one) < 0) {
        // Already readable (the counter is full): the loop wakes anyway.
    }
}

bool Monitor::isStarted() const { return getMonitorState() == MONITOR_STARTED; }

void Monitor::reloadData() {
    logDebug("Monitor::reloadData()");
    m_settings.reload();
    fillMonitorInfo();
}

void Monitor::fillMonitorInfo() {
    std::string host;
    Utils::getHostName(host);
    const std::vector<int>& delays = m_settings.getRecoveryTimes();
    std::vector<uint32_t> restart;
    for (int delay : delays) restart.push_back(delay > 0 ? static_cast<uint32_t>(delay) : 0u);
    MonitorInfo::instance()->fill(productBanner, Utils::getOSName(), Utils::getVersion(), host, restart);
    m_events.setRecoveryTimes(delays);
}

void Monitor::applyNotifierSettings() {
    MonitorInfo::instance()->setMailAddresses(m_settings.getFilterMail(), m_settings.getAdminMail());
    SenderInformer::setSendCommand(m_settings.getInjectCmd());
}

std::string Monitor::agentAddress() const {
    const auto& addresses = m_settings.getAgentAddresses();
    return addresses.empty() ? std::string(kDefaultAgentAddress) : addresses.front();
}

void Monitor::readConfigFromAgent() {
    if (!m_agent->isOpen()) {
        logError("agent session is not created");
    } else {
        try {
            m_agent->readConfig(m_settings, m_store.hasApp(kVarnoAppName));
        } catch (const std::exception& e) {
            logError(e.what());
        }
    }
    // Whatever the agent said, the letters use the settings as they stand.
    applyNotifierSettings();
}

void Monitor::getRunAppSet(AppNameSet& out, bool verify) {
    logDebug("Monitor::getRunAppSet()");
    out.clear();
    if (m_settings.isEnterpriseMode()) {
        readConfigFromAgent();
        out = m_settings.getAgentRunApps();
        // An agent that sent nothing (or could not be read) must not stop
        // everything: the last good set stays.
        if (out.empty()) {
            out = m_lastRunSet.empty() ? AppNameSet{kAgentAppName} : m_lastRunSet;
            logWarn("the agent sent no run app list, the current one is kept");
        }
    } else {
        out = m_cmdRunSet.empty() ? m_settings.getRunApps() : m_cmdRunSet;
    }
    if (verify) m_store.verify(out);
    m_lastRunSet = out;
}

void Monitor::getFirstRunAppSet(AppNameSet& out) {
    logDebug("Monitor::getFirstRunAppSet()");
    out.clear();
    try {
        if (m_settings.isEnterpriseMode())
            out.insert(kAgentAppName);
        else
            getRunAppSet(out);
        m_store.verify(out);
    } catch (const std::exception& e) {
        throw InitError(e.what());
    }
}

void Monitor::verifyFirstRunAppSet() {
    AppNameSet scratch;
    getFirstRunAppSet(scratch);
}

void Monitor::start() {
    logDebug("Monitor::start()");
    setState(true);
    applyNotifierSettings();
    AppNameSet first;
    getFirstRunAppSet(first);
    m_store.startApps(first, agentAddress(), m_settings.getPidFileDir());
    const AppNameSet running = m_store.getRunningApps();
    bool any = false;
    for (const AppName& name : first) any = any || running.count(name);
    if (!any) throw InitError("no applications started");
    connectToAgent();
    readConfigFromAgent();
    AppNameSet full;
    getRunAppSet(full);
    if (full != first) {
        if (isCheckRunMode())
            m_store.startApps(full, agentAddress(), m_settings.getPidFileDir());
        else
            m_store.applyRunSet(full);
    }
}

bool Monitor::isMainLoopRunning() {
    std::lock_guard<std::mutex> guard(m_loopLock);
    return m_loopRunning;
}

void Monitor::stop() {
    logDebug("Monitor::stop()");
    std::unique_lock<std::mutex> guard(m_loopLock);
    m_loopDone.wait(guard, [this] { return !m_loopRunning; });
    // A second stop (the program's, then the destructor's) finds nothing
    // left to do.
    if (m_stopped) return;
    m_stopped = true;
    m_store.stop();
}

void Monitor::reload() {
    logDebug("Monitor::reload()");
    reloadData();
    try {
        RunAppStore fresh(m_store.isUpdateMode());
        loadMetaConf(fresh);
        AppNameSet runSet;
        getRunAppSet(runSet, false);
        m_store.reload(fresh, runSet);  // verifies the run set against the new store
    } catch (const std::exception& e) {
        logError(std::string("reload error: ") + e.what());
    }
    m_store.sendSignal(SIGHUP);
    reconnectToAgent();
    readConfigFromAgent();
}

void Monitor::connectToAgent() {
    logDebug("Monitor::connectToAgent()");
    if (m_agent->isOpen()) return;
    const std::string address =
        isCheckAllMode() ? AppStop::tempAgentAddress(agentAddress()) : agentAddress();
    try {
        m_agent->open(address);
    } catch (const std::exception&) {
        logError("error conect to agent");
        m_agent->close();
    }
}

void Monitor::reconnectToAgent() {
    logDebug("Monitor::reconnectToAgent()");
    m_agent->close();
    connectToAgent();
}

void Monitor::reportToAgent(Application& application, bool started) {
    const std::string event = started ? "started" : "stopped";
    if (!m_agent->isOpen()) connectToAgent();
    if (!m_agent->isOpen()) {
        logInfo("application \"" + application.getName() + "\" " + event);
        return;
    }
    // A slow or absent agent never aborts a start or a stop.
    try {
        if (started)
            m_agent->reportStarted(application, m_settings.getAgentResponseTime());
        else
            m_agent->reportStopped(application, m_settings.getAgentResponseTime());
    } catch (const std::exception& e) {
        logError("cannot report the " + std::string(started ? "start" : "stop") + " of application \"" +
                 application.getName() + "\": " + e.what());
    }
}

void Monitor::applicationStarted(Application& application) {
    if (!application.isAgent()) reportToAgent(application, true);
}

void Monitor::applicationStopped(Application& application) {
    if (!application.isAgent() && isStarted()) reportToAgent(application, false);
}

void Monitor::requestReload(int, const std::string& name) {
    logInfo("Monitor::reload(): arrived " + name);
    setReloadRequested(true);
    wakeMainLoop();
}

void Monitor::terminate(int, const std::string& name) {
    logInfo("Monitor::terminate(): arrived " + name);
    setState(false);
}

void Monitor::inform(int, const std::string& name) { logDebug("Monitor::inform(): arrived " + name); }

void Monitor::addChangedConf(const std::set<pid_t>& pids) {
    logDebug("Monitor::addChangedConf()");
    bool added;
    {
        std::lock_guard<std::mutex> guard(m_changedLock);
        const bool wasEmpty = m_changedConf.empty();
        m_changedConf.insert(pids.begin(), pids.end());
        added = wasEmpty && !m_changedConf.empty();
    }
    // A set that was already waiting has its time in the loop's wait: only
    // the first request after an application wakes the loop.
    if (added) wakeMainLoop();
}

void Monitor::getChangedConf(std::set<pid_t>& pids) {
    logDebug("Monitor::getChangedConf()");
    std::lock_guard<std::mutex> guard(m_changedLock);
    pids = m_changedConf;
    m_changedConf.clear();
}

bool Monitor::hasNoChangedConf() {
    std::lock_guard<std::mutex> guard(m_changedLock);
    return m_changedConf.empty();
}

bool Monitor::isReloadRequested() {
    std::lock_guard<std::mutex> guard(m_reloadLock);
    return m_reloadRequested;
}

void Monitor::setReloadRequested(bool requested) {
    std::lock_guard<std::mutex> guard(m_reloadLock);
    m_reloadRequested = requested;
}

void Monitor::changedConfReload() {
    logDebug("Monitor::changedConfReload()");
    std::set<pid_t> pids;
    getChangedConf(pids);
    m_store.signalPids(pids, SIGHUP);
    if (pids.count(m_ownPid)) {
        applyNotifierSettings();
        reload();
        pids.erase(m_ownPid);
    }
    processHupFiles(pids);
}

bool Monitor::parseHupFileName(const std::string& path, pid_t& pid, std::string& name) {
    if (path.size() <= 4) return false;
    const size_t n = path.size() - 4;
    if (path[n] != '.') return false;
    const size_t p = path.rfind('.', n - 1);
    if (p == std::string::npos || p == 0) return false;
    const std::string digits = path.substr(p + 1, n - p - 1);
    // Only a plain positive number: "x.-1.hup" must never signal -1.
    if (digits.empty() || digits.size() > 9) return false;
    for (char c : digits)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    pid = static_cast<pid_t>(std::stol(digits));
    if (pid <= 0) return false;
    name = path.substr(0, p);
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    return true;
}

void Monitor::sendHup(pid_t pid, const std::string& name) {
    logInfo("send HUP signal to component " +
            (name.empty() ? std::string() : "\"" + Utils::printable(name) + "\" ") + "with pid = " +
            std::to_string(pid));
    ::kill(pid, SIGHUP);
}

void Monitor::processHupFiles(std::set<pid_t>& pids) {
    const std::string& dir = m_settings.getPidFileDir();
    // Each file is opened and removed through the directory's handle.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::unique_ptr<DIR, int (*)(DIR*)> handle(dirFd < 0 ? nullptr : ::fdopendir(dirFd), ::closedir);
    if (!handle) {
        const int e = errno;
        if (dirFd >= 0) ::close(dirFd);
        throw std::runtime_error("opendir() error: \"" + dir + "\": " + sysText(e));
    }
    HupScanRecords& records = *m_hupRecords;
    records.begin();
    auto nextPass = std::chrono::steady_clock::now() + kHupScanSlice;
    while (const struct dirent* entry = ::readdir(handle.get())) {
        const std::string file = entry->d_name;
        if (!endsWith(file, ".hup") || entry->d_type == DT_DIR) continue;
        struct stat st;
        if (entry->d_type == DT_UNKNOWN && ::fstatat(dirFd, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode))
            continue;
        const std::string path = dir + file;
        // Any component may create files here: their names are written
        // escaped.
        auto shown = [&path] { return "\"" + Utils::printable(path) + "\""; };
        // The name first, so that a badly named file costs no system call.
        pid_t pid = 0;
        std::string name;
        if (!parseHupFileName(path, pid, name)) {
            if (records.take(HupRecord::BadFormat)) logWarn("bad hup file format " + shown());
            continue;
        }
        // Each well-named file costs a few system calls; while a scan of
        // many of them runs, failed components are still found and their
        // due restarts made, and a stopping monitor ends the scan.
        if (std::chrono::steady_clock::now() >= nextPass) {
            if (getMonitorState() == MONITOR_STOPPED) break;
            superviseDuringScan();
            nextPass = std::chrono::steady_clock::now() + kHupScanSlice;
        }
        // The directory is writable by components: no links, no creation,
        // regular files only.
        FdGuard fd(::openat(dirFd, file.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.fd < 0) {
            const int e = errno;
            if (e != EISDIR && records.take(HupRecord::OpenError))
                logWarn("error in open hup file " + shown() + ":" + sysText(e));
            continue;
        }
        if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (records.take(HupRecord::BadFormat)) logWarn("bad hup file format " + shown());
            continue;
        }
        // Who holds the lock, as the kernel sees it. Only the process that
        // holds a write lock on its own file (its pid in the name) may ask
        // for a SIGHUP: anyone able to create a file here could otherwise
        // name any pid. A write lock has one holder, so the answer is exact.
        struct flock lock;
        std::memset(&lock, 0, sizeof lock);
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd.fd, F_GETLK, &lock) != 0) {
            const int e = errno;
            if (records.take(HupRecord::LockTestError))
                logWarn("error in lock test of hup file " + shown() + ":" + sysText(e));
        } else if (lock.l_type == F_UNLCK) {
            // A stale file. It is removed under the monitor's own lock; one
            // that a process has locked since the test stays.
            if (Utils::setLock(fd.fd, m_ownPid) == 0) {
                if (records.take(HupRecord::Unlinked)) logInfo("unlink not locked hup file " + shown());
                if (::unlinkat(dirFd, file.c_str(), 0) != 0) {
                    const int e = errno;
                    if (records.take(HupRecord::UnlinkError))
                        logError("unlink error, file " + shown() + ":" + sysText(e));
                }
            }
        } else if (pids.count(pid)) {
            if (lock.l_type == F_WRLCK && lock.l_pid == pid) {
                if (records.take(HupRecord::Sent))
                    sendHup(pid, name);
                else
                    ::kill(pid, SIGHUP);  // the signal always goes; only its record is counted
                pids.erase(pid);
            } else if (records.take(HupRecord::NotLockedByOwner)) {
                logWarn("hup file " + shown() + " is not write-locked by pid " + std::to_string(pid) +
                        " (a lock is held by pid " + std::to_string(lock.l_pid) + "): no HUP signal sent");
            }
        }
    }
    records.writeLeftOut(dir);
}

std::string Monitor::getLogFileName() const {
    return m_settings.getLogFileName() == "syslog" ? std::string() : m_settings.getLogFileName();
}

namespace {
unsigned searchIds(const AppStore& store, SearchStrategy<unsigned int>& strategy) {
    for (const auto& entry : store.getApps()) {
        if (!strategy.searchApplication(*entry.second)) continue;
        for (const Component& c : entry.second->getComponents()) {
            try {
                strategy.visit(c);
            } catch (const std::exception&) {
                // An unknown user or group is reported when the component starts.
            }
        }
    }
    return strategy.value();
}
}  // namespace

unsigned Monitor::getFirstNotRootUID() const {
    FirstNotRootUIDStrategy strategy;
    return searchIds(m_store, strategy);
}

unsigned Monitor::getFirstNotRootGID() const {
    FirstNotRootGIDStrategy strategy;
    return searchIds(m_store, strategy);
}

bool Monitor::regenerate(const AppNameSet& names) {
    logDebug("Monitor::regenerate()");
    for (size_t i = 0; i < names.size(); ++i) {
        handleFailedComponents(0);
        processDeferredEvents(names);
    }
    return false;
}

void Monitor::terminateSelf() { ::kill(::getpid(), SIGTERM); }
