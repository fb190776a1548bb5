// VkPersistentPoolManager: the persistent pool's lists, waits, cancels,
// its maintain thread and control pipe, and the maintain loop.
#include "ipc/session/persistent_pool_manager.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <stdexcept>


#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/session/control.h"
#include "ipc/session/maintain_thread.h"
#include "ipc/session/pool_codes.h"
#include "ipc/session/select_ready.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

namespace {

const short kWaitEvents = POLLIN | POLLHUP;
const std::chrono::milliseconds kFailurePause(500);
const std::chrono::milliseconds kWakeSlice(100);
const std::chrono::seconds kWakeLimit(3);
// A stop repeats its cancel this often until the maintain thread has ended:
// a connect that began just before the first cancel is ended by the next.
const std::chrono::milliseconds kStopSlice(100);
const uint32_t kWaitStepMs = 1000;

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

std::string threadText(pthread_t thread) { return std::to_string(static_cast<unsigned long>(thread)); }

std::string description(const std::shared_ptr<VkIPC>& connection) {
    return connection ? connection->GetDescription() : std::string("connection (null)");
}

}  // namespace

const std::set<unsigned> VkPersistentPoolManager::m_sleep_ids = {kPoolEventStateChanged, kPoolEventConnectionReady,
                                                                 kPoolEventConnectionClosed, kPoolEventCancel};
const std::set<unsigned> VkPersistentPoolManager::m_cancel_ids = {kPoolEventCancelAck};

bool IsPeerClosed(const std::shared_ptr<VkIPC>& connection) {
    if (!connection) throw base::VkParameterError("IsPeerClosed", "connection", "null");
    const int fd = connection->GetDescriptor();
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, 0);
    } while (ready == -1 && errno == EINTR);
    if (ready <= 0) return false;
    char byte;
    ssize_t n;
    do {
        n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n == -1 && errno == EINTR);
    if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;  // nothing to read yet: open
    return n < 1;
}

VkPersistentPoolManager::VkPersistentPoolManager(VkIpcFactory* factory)
    : VkSessionPoolManager(factory), m_cancel_ack("PP-Manager::CancelationAcknowledge") {}

VkPersistentPoolManager::~VkPersistentPoolManager() {
    bool running;
    {
        std::lock_guard<std::mutex> lock(m_keeper_mutex);
        running = m_keeper != nullptr;
    }
    if (running) {
        LogClass& log = getIpcLogger();
        if (log.isErrorEnabled())
            log.log(VK_LOG_ERROR, m_name + " PoolManager: destroyed with its maintain thread still running");
    }
    try {
        StopMaintainer();
    } catch (const std::exception& e) {
        LogClass& log = getIpcLogger();
        if (log.isErrorEnabled()) log.log(VK_LOG_ERROR, m_name + " PoolManager: cannot stop maintainer: " + e.what());
    }
    CloseLists();
}

std::shared_ptr<base::VkControl> VkPersistentPoolManager::Control() const {
    std::lock_guard<std::mutex> lock(m_ctl_mutex);
    return m_keeper_ctl;
}

bool VkPersistentPoolManager::RunMaintainer() {
    std::lock_guard<std::mutex> keeper(m_keeper_mutex);
    if (Control()) throw std::logic_error("m_keeper_ctl.get()==0");
    if (m_keeper) throw std::logic_error("m_keeper.get()==0");
    ResetPause();
    {
        std::lock_guard<std::mutex> lock(m_rest_mutex);
        m_stopping = false;
    }
    auto control = std::make_shared<base::VkControl>(
        m_name + " PoolManager::GControl", std::set<int>{kControlRefresh, kControlReleased, kControlClosed});
    {
        std::lock_guard<std::mutex> lock(m_ctl_mutex);
        m_keeper_ctl = control;
    }
    try {
        m_keeper.reset(new VkMaintainThread(this, m_name));
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_ctl_mutex);
        m_keeper_ctl.reset();
        throw;
    }
    return true;
}

bool VkPersistentPoolManager::StopMaintainer() {
    std::lock_guard<std::mutex> keeper(m_keeper_mutex);
    CancelPause();
    {
        std::lock_guard<std::mutex> lock(m_rest_mutex);
        m_stopping = true;
    }
    m_rest_changed.notify_all();
    if (std::shared_ptr<base::VkControl> control = Control()) {
        control->Clear();
        control->SetCmd(kControlStop);
    }
    while (m_keeper && !m_keeper->WaitEnded(kStopSlice)) CancelPause();
    m_keeper.reset();  // joins the thread
    std::lock_guard<std::mutex> lock(m_ctl_mutex);
    m_keeper_ctl.reset();
    return true;
}

void VkPersistentPoolManager::MakePause() {
    std::unique_lock<std::mutex> lock(m_rest_mutex);
    m_rest_changed.wait_for(lock, kFailurePause, [this] { return m_stopping; });
}

void VkPersistentPoolManager::Refresh() {
    if (std::shared_ptr<base::VkControl> control = Control()) control->SetCmd(kControlRefresh);
}

bool VkPersistentPoolManager::Resume() {
    const bool result = VkSessionPoolManager::Resume();
    Refresh();
    return result;
}

void VkPersistentPoolManager::Release(const std::shared_ptr<VkIPC>& connection) {
    LogClass& log = getIpcLogger();
    if (connection && connection->IsConnected()) {
        bool placed = false, listed = true;
        try {
            // Looked at under the lock that the removal of an address takes,
            // so that no connection to a removed address comes back.
            std::lock_guard<std::mutex> lock(m_established_mutex);
            listed = IsListed(connection);
            if (listed) {
                m_established.push_back(connection);
                placed = true;
                Connections().Decrease();
                PoolEvent().set(base::VkEvent(kPoolEventConnectionReady, std::any(0)));
            }
        } catch (const std::exception& e) {
            if (log.isErrorEnabled())
                log.log(VK_LOG_ERROR, "can`t release " + description(connection) + ": " + e.what());
            if (placed) {
                std::lock_guard<std::mutex> lock(m_established_mutex);
                m_established.remove(connection);
            }
            CloseConnection(connection);
            return;
        }
        if (!listed) {
            if (log.isInfoEnabled())
                log.log(VK_LOG_INFO, description(connection) + " leads to an address no longer in the list: closed");
            CloseConnection(connection);
            return;
        }
        try {
            if (std::shared_ptr<base::VkControl> control = Control()) control->SetCmd(kControlReleased);
        } catch (const std::exception& e) {
            // The connection is in the pool; the next pass watches it.
            if (log.isErrorEnabled())
                log.log(VK_LOG_ERROR, "can`t release " + description(connection) + ": " + e.what());
        }
        return;
    }
    CloseConnection(connection);
}

void VkPersistentPoolManager::CloseConnection(Connection connection) {
    VkSessionPoolManager::CloseConnection(connection);
    try {
        if (GetConnSettings().statistics && connection) {
            std::lock_guard<std::mutex> lock(m_stat_mutex);
            ++m_closed_num;
        }
        if (std::shared_ptr<base::VkControl> control = Control()) control->SetCmd(kControlClosed);
    } catch (const std::exception& e) {
        LogClass& log = getIpcLogger();
        if (log.isErrorEnabled())
            log.log(VK_LOG_ERROR, std::string("can`t notify a manager about closing a connection: ") + e.what());
    }
}

void VkPersistentPoolManager::CloseIdleConnection(Connection connection) {
    LogClass& log = getIpcLogger();
    const bool counts = connection && GetConnSettings().statistics;
    try {
        ICloseConnection(connection, false);
        if (counts) {
            std::lock_guard<std::mutex> lock(m_stat_mutex);
            ++m_closed_num;
        }
        if (std::shared_ptr<base::VkControl> control = Control()) control->SetCmd(kControlClosed);
    } catch (const std::exception& e) {
        if (log.isWarnEnabled()) log.log(VK_LOG_WARN, std::string("Pool::CloseConnection - error ") + e.what());
    }
}

void VkPersistentPoolManager::CloseBrokenConnection(const Connection& connection, const std::string& reason) {
    LogClass& log = getIpcLogger();
    {
        std::lock_guard<std::mutex> lock(m_established_mutex);
        m_established.remove(connection);
    }
    if (log.isWarnEnabled()) log.log(VK_LOG_WARN, description(connection) + reason + " make pause...");
    try {
        Connection copy(connection);
        ICloseConnection(copy, false);
    } catch (const std::exception& e) {
        if (log.isWarnEnabled()) log.log(VK_LOG_WARN, std::string("Pool::CloseConnection - error ") + e.what());
    }
    MakePause();
}

void VkPersistentPoolManager::CloseLists() {
    for (auto list : {std::make_pair(&m_established, &m_established_mutex), std::make_pair(&m_donor, &m_donor_mutex)}) {
        std::lock_guard<std::mutex> lock(*list.second);
        for (Connection& connection : *list.first)
            if (connection) connection->Close();
        list.first->clear();
    }
}

void VkPersistentPoolManager::OnClose() {
    CloseLists();
    VkSessionPoolManager::Wakeup();
}

void VkPersistentPoolManager::CloseSurplus(uint32_t n) {
    uint32_t k;
    {
        std::lock_guard<std::mutex> lock(m_donor_mutex);
        k = std::min<uint32_t>(n, m_donor.size());
        CloseFirst(m_donor, k);
    }
    if (k == n) return;
    std::lock_guard<std::mutex> lock(m_established_mutex);
    CloseFirst(m_established, std::min<uint32_t>(n - k, m_established.size()));
}

void VkPersistentPoolManager::WriteStatistics(std::ostream& out, int32_t seconds) {
    std::lock_guard<std::mutex> lock(m_stat_mutex);
    out << "closed: " << m_closed_num << " (" << static_cast<double>(m_closed_num) / seconds << " num/sec)\n";
    m_closed_num = 0;
}

void VkPersistentPoolManager::WakeUpAll() {
    LogClass& log = getIpcLogger();
    std::unique_lock<std::mutex> lock(m_sleep_mutex);
    if (log.isDebugEnabled())
        log.log(VK_LOG_DEBUG, "WakeUpAll: num of sleeping threads = " + std::to_string(m_sleep_num));
    VkSessionPoolManager::Wakeup();
    const auto giveUp = std::chrono::steady_clock::now() + kWakeLimit;
    while (m_sleep_num != 0) {
        if (m_sleep_changed.wait_for(lock, kWakeSlice) == std::cv_status::no_timeout) {
            if (log.isDebugEnabled())
                log.log(VK_LOG_DEBUG, "WakeUpAll: some thread wake up: check it (m_sleep_num=" +
                                          std::to_string(m_sleep_num) + ")");
            continue;
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            if (log.isWarnEnabled())
                log.log(VK_LOG_WARN, "WakeUpAll: " + std::to_string(m_sleep_num) + " thread(s) still sleep in the " +
                                         m_name + " pool after 3 s; given up waiting for them");
            return;
        }
        VkSessionPoolManager::Wakeup();  // a sleeper between its waits missed the broadcast
    }
}

bool VkPersistentPoolManager::Sleep(const base::VkDeadline& deadline, std::unique_lock<std::mutex>& callerLock) {
    LogClass& log = getIpcLogger();
    if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "VkPersistentPoolManager::Sleep: " + deadline.toString());
    {
        std::lock_guard<std::mutex> lock(m_sleep_mutex);
        ++m_sleep_num;
    }
    struct Leave {
        VkPersistentPoolManager* pool;
        ~Leave() {
            std::lock_guard<std::mutex> lock(pool->m_sleep_mutex);
            --pool->m_sleep_num;
            pool->m_sleep_changed.notify_all();
        }
    } leave{this};
    for (;;) {
        CheckCancelAndExitIfNeed();
        callerLock.unlock();
        base::VkEvent event;
        try {
            event = PoolEvent().timedWait(&m_sleep_ids, deadline);
        } catch (...) {
            callerLock.lock();
            throw;
        }
        callerLock.lock();
        if (event.first == kPoolEventCancel) {
            if (log.isDebugEnabled())
                log.log(VK_LOG_DEBUG, "VkPersistentPoolManager::Sleep - got event for a cancelation of " +
                                          threadText(std::any_cast<pthread_t>(event.second)) + " thread");
            continue;
        }
        if (log.isDebugEnabled())
            log.log(VK_LOG_DEBUG, "VkPersistentPoolManager::Sleep(): go out with signal " + std::to_string(event.first));
        return true;
    }
}

void VkPersistentPoolManager::_WaitReady(const base::VkTimeout& timeout) {
    LogClass& log = getIpcLogger();
    Refresh();
    CheckCancelAndExitIfNeed();
    const bool lastStep = !timeout.isInfinite() && timeout.AsUnit(base::VkTimeout::Milliseconds) <= kWaitStepMs;
    const base::VkTimeout step = lastStep ? timeout : base::VkTimeout(kWaitStepMs, base::VkTimeout::Milliseconds);
    if (log.isDebugEnabled())
        log.log(VK_LOG_DEBUG, "_WaitReady: step=" + step.toString() + " is infinite=" +
                                  (timeout.isInfinite() ? "1" : "0") + " timeout=" + timeout.toString());
    base::VkEvent event;
    try {
        event = PoolEvent().timedWait(base::VkDeadline(step));
    } catch (const base::VkTimedOut&) {
        if (log.isDebugEnabled())
            log.log(VK_LOG_DEBUG, std::string("_WaitReady: timeout with ") + (lastStep ? "the last step" : "a step"));
        if (lastStep) throw;
        if (IsStepWait()) Refresh();
        return;  // the caller looks at its list again
    }
    switch (event.first) {
    case kPoolEventConnectionReady:
        if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "PP-Manager::GetReady - a new connection is ready");
        return;
    case kPoolEventConnectionClosed:
        if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "PP-Manager::GetReady - one connection is closed");
        return;
    case kPoolEventStateChanged:
        if (log.isDebugEnabled())
            log.log(VK_LOG_DEBUG, "PP-Manager::GetReady - a state is changed, recall is nessessary");
        throw base::VkNeedRecall();
    case kPoolEventDestroy:
        throw base::VkThreadCanceled("PP-Manager::GetReady - destroy");
    case kPoolEventCancel: {
        const pthread_t target = std::any_cast<pthread_t>(event.second);
        if (log.isDebugEnabled())
            log.log(VK_LOG_DEBUG,
                    "PP-Manager::GetReady - got event for a cancelation of " + threadText(target) + " thread");
        if (!pthread_equal(target, pthread_self())) return;
        CheckCancelAndExitIfNeed();
        return;  // the request was already taken back
    }
    default:
        throw base::VkException("PP-Manager::GetReady got unsupported event " + std::to_string(event.first));
    }
}

bool VkPersistentPoolManager::Cancel(pthread_t thread) {
    if (thread == pthread_t()) return true;
    {
        std::lock_guard<std::mutex> lock(m_cancel_mutex);
        m_cancel_requests.push_front(thread);
        PoolEvent().broadcast(base::VkEvent(kPoolEventCancel, std::any(thread)));
    }
    LogClass& log = getIpcLogger();
    if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "request for cancelation of the thread " + threadText(thread));
    const base::VkDeadline deadline(base::VkTimeout(3, base::VkTimeout::Seconds));
    try {
        // An acknowledgement of an earlier, timed-out request for another
        // thread may still wait in the event: only this thread's counts.
        for (;;) {
            const base::VkEvent ack = m_cancel_ack.timedWait(&m_cancel_ids, deadline);
            if (ack.first == kPoolEventCancelAck && pthread_equal(std::any_cast<pthread_t>(ack.second), thread))
                return true;
        }
    } catch (const base::VkTimedOut&) {
        // Withdrawn, or a later thread that gets the same identifier would
        // find it and end its first wait.
        {
            std::lock_guard<std::mutex> lock(m_cancel_mutex);
            const auto mine = std::find_if(m_cancel_requests.begin(), m_cancel_requests.end(),
                                           [thread](pthread_t queued) { return pthread_equal(queued, thread) != 0; });
            if (mine != m_cancel_requests.end()) m_cancel_requests.erase(mine);
        }
        if (log.isWarnEnabled())
            log.log(VK_LOG_WARN, "a request for a cancelation of the " + threadText(thread) +
                                     " thread is timed out; it is withdrawn");
        return false;
    }
}

void VkPersistentPoolManager::CheckCancelAndExitIfNeed() {
    const pthread_t self = pthread_self();
    std::lock_guard<std::mutex> lock(m_cancel_mutex);
    auto mine = [self](pthread_t thread) { return pthread_equal(thread, self) != 0; };
    if (std::find_if(m_cancel_requests.begin(), m_cancel_requests.end(), mine) == m_cancel_requests.end()) return;
    LogClass& log = getIpcLogger();
    if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "CheckCancelAndExitIfNeed - find request for my cancel");
    m_cancel_requests.remove_if(mine);
    m_cancel_ack.set(base::VkEvent(kPoolEventCancelAck, std::any(self)));
    throw base::VkThreadCanceled("PP-Manager::GetReady");
}

void VkPersistentPoolManager::Maintain() {
    LogClass& log = getIpcLogger();
    for (;;) {
        PrepareMaintain();
        const std::shared_ptr<base::VkControl> control = Control();
        if (!control) {
            if (log.isFatalEnabled()) log.log(VK_LOG_FATAL, "Maintain: control is down");
            return;
        }
        VkEventList waitList;
        waitList.Add(control->ReadFd(), kWaitEvents);
        base::VkTimeout timeout(base::kTimeoutInfinite);
        {
            std::lock_guard<std::mutex> lock(m_established_mutex);
            for (const Connection& connection : m_established) {
                if (!connection) throw std::logic_error("Maintain: a null connection in the established pool");
                waitList.Add(connection->GetDescriptor(), kWaitEvents, connection);
            }
            SetWaitTimeout(timeout);
        }
        const size_t n = waitList.size();
        const bool extra = AppendDonorPool(waitList);

        size_t position;
        try {
            position = SelectReady(waitList, timeout.toDuration());
        } catch (const std::exception& e) {
            if (log.isWarnEnabled()) log.log(VK_LOG_WARN, std::string("Maintain: polling exception - ") + e.what());
            MakePause();  // a failure that repeats must not spin
            continue;
        }
        if (position == kSelectTimedOut) {
            if (!timeout.isInfinite()) OnWaitTimeout();
            continue;
        }
        if (position == 0) {
            int command;
            try {
                if (waitList[0].revents & POLLHUP) throw base::VkException("Maintain: hung up");
                command = control->ReadCmd();
            } catch (const base::VkThreadCanceled&) {
                throw;
            } catch (const std::exception& e) {
                if (log.isFatalEnabled()) log.log(VK_LOG_FATAL, std::string("Maintain: control is broken - ") + e.what());
                return;
            } catch (...) {
                if (log.isFatalEnabled()) log.log(VK_LOG_FATAL, "Maintain: control is down");
                return;
            }
            if (log.isDebugEnabled())
                log.log(VK_LOG_DEBUG, "Maintain: got control command -> 0x" + hex(static_cast<unsigned>(command)));
            switch (command) {
            case kControlStop:
                throw base::VkThreadCanceled("VkPersistentPoolManager::Maintain");
            case kControlRefresh:
            case kControlReleased:
            case kControlClosed:
                break;
            default:
                if (log.isErrorEnabled())
                    log.log(VK_LOG_ERROR, "Maintain: unknown control command -> " + std::to_string(command));
            }
            continue;
        }
        if (position < n) {
            ProcessEstablishedPool(waitList[position]);
        } else if (extra) {
            ProcessDonorPool(waitList.at(position));
        } else if (log.isErrorEnabled()) {
            log.log(VK_LOG_ERROR, "Maintain: poller return position behind a waitlist");
        }
    }
}

}  // namespace ipc
}  // namespace velka
