#include "control/thread_safety_monitor.h"

#include <mutex>
#include <utility>

#include "base/app_log.h"

ThreadSafetyMonitor::Mediator& ThreadSafetyMonitor::Mediator::instance() {
    static Mediator mediator;  // thread-safe first use
    return mediator;
}

void ThreadSafetyMonitor::Mediator::init(Monitor* monitor) {
    Mediator& m = instance();
    std::unique_lock<std::shared_mutex> guard(m.m_lock);
    if (m.m_monitor) throw Error("mediator re-initialization");
    m.m_monitor = monitor;
}

void ThreadSafetyMonitor::Mediator::release(Monitor* monitor) {
    Mediator& m = instance();
    std::unique_lock<std::shared_mutex> guard(m.m_lock);
    if (m.m_monitor != monitor) return;
    m.m_monitor = nullptr;
    m.m_user.clear();
    m.m_group.clear();
    m.m_mta.clear();
}

void ThreadSafetyMonitor::Mediator::setSettings(const std::string& user, const std::string& group,
                                                const std::string& mta) {
    Mediator& m = instance();
    std::unique_lock<std::shared_mutex> guard(m.m_lock);
    m.m_user = user;
    m.m_group = group;
    m.m_mta = mta;
}

std::string ThreadSafetyMonitor::Mediator::getMta() {
    Mediator& m = instance();
    std::shared_lock<std::shared_mutex> guard(m.m_lock);
    return m.m_mta;
}

std::string ThreadSafetyMonitor::Mediator::getUserGroup() {
    Mediator& m = instance();
    std::shared_lock<std::shared_mutex> guard(m.m_lock);
    if (m.m_user.empty() && m.m_group.empty()) return std::string();
    return m.m_user + ":" + m.m_group;
}

void ThreadSafetyMonitor::Mediator::addChangedConf(const std::set<pid_t>& pids) {
    Mediator& m = instance();
    Monitor* monitor;
    {
        std::shared_lock<std::shared_mutex> guard(m.m_lock);
        monitor = m.m_monitor;
    }
    if (!monitor) throw Error("no monitor is registered with the mediator");
    // The monitor guards its set with a lock of its own; none is held here.
    monitor->addChangedConf(pids);
}

ThreadSafetyMonitor::ThreadSafetyMonitor(const std::string& confPath, const std::string& runList, bool updateMode,
                                         std::unique_ptr<AgentLink> agent)
    : Monitor(confPath, runList, updateMode, std::move(agent)) {
    Mediator::init(this);
    try {
        publishSettings();
    } catch (...) {
        Mediator::release(this);
        throw;
    }
}

ThreadSafetyMonitor::~ThreadSafetyMonitor() { Mediator::release(this); }

void ThreadSafetyMonitor::reloadData() {
    logDebug("ThreadSafetyMonitor::reloadData()");
    Monitor::reloadData();
    publishSettings();
}

void ThreadSafetyMonitor::readConfigFromAgent() {
    Monitor::readConfigFromAgent();
    publishSettings();
}

void ThreadSafetyMonitor::publishSettings() {
    const ConfReader& settings = getSettings();
    Mediator::setSettings(settings.getUser(), settings.getGroup(), settings.getMta());
}
