// VkPersistentServerPoolManager: listening, accepting within the limits,
// requests, hang-ups and silent clients.
#include "ipc/session/persistent_server_pool_manager.h"

#include <errno.h>
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/session/control.h"
#include "ipc/session/pool.h"
#include "ipc/session/pool_codes.h"
#include "ipc/transport/ipc_factory.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

namespace {

const short kWaitEvents = POLLIN | POLLHUP;

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

const base::VkEvent kConnectionReady(kPoolEventConnectionReady, std::any(0));

// The least time between two records of one kind about refused clients.
const std::chrono::seconds kRecordPeriod(10);

// An accept that fails for want of descriptors or buffers fails again at
// once while nothing has been freed: the pool rests before the next.
bool isShortage(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS; }

size_t sizeOf(const std::list<std::shared_ptr<VkIPC>>& list, std::mutex& mutex) {
    std::lock_guard<std::mutex> lock(mutex);
    return list.size();
}

}  // namespace

VkPersistentServerPoolManager::VkPersistentServerPoolManager(VkIpcFactory* factory)
    : VkPersistentPoolManager(factory),
      m_overCap(VK_LOG_WARN),
      m_overShare(VK_LOG_WARN),
      m_refused(VK_LOG_WARN),
      m_acceptFailed(VK_LOG_ERROR) {
    m_name = "(Server)";
}

VkPersistentServerPoolManager::~VkPersistentServerPoolManager() {
    StopMaintainer();
    std::lock_guard<std::mutex> lock(m_readyMutex);
    for (const Connection& connection : m_readyPool) connection->Close();
    m_readyPool.clear();
}

void VkPersistentServerPoolManager::SetLimits(const ServerLimits& limits) {
    std::lock_guard<std::mutex> lock(m_limitsMutex);
    m_limits = limits;
}

ServerLimits VkPersistentServerPoolManager::Limits() const {
    std::lock_guard<std::mutex> lock(m_limitsMutex);
    return m_limits;
}

LogClass& VkPersistentServerPoolManager::RecordLog(const ServerLimits& limits) {
    return limits.log ? *limits.log : getIpcLogger();
}

void VkPersistentServerPoolManager::CountedRecord::Count(const std::string& subject, const std::string& what,
                                                         LogClass& log) {
    ++m_count;
    m_subject = subject;
    m_what = what;
    const Clock::time_point now = Clock::now();
    if (now >= m_quietUntil) Write(log, now);
}

void VkPersistentServerPoolManager::CountedRecord::Flush(LogClass& log) {
    const Clock::time_point now = Clock::now();
    if (m_count != 0 && now >= m_quietUntil) Write(log, now);
}

VkPersistentServerPoolManager::Clock::time_point VkPersistentServerPoolManager::CountedRecord::Due() const {
    return m_count != 0 ? m_quietUntil : Clock::time_point::max();
}

void VkPersistentServerPoolManager::CountedRecord::Write(LogClass& log, Clock::time_point now) {
    if (log.isEnabledFor(m_level)) log.log(m_level, m_subject + ": " + std::to_string(m_count) + " " + m_what);
    m_count = 0;
    m_quietUntil = now + kRecordPeriod;
}

bool VkPersistentServerPoolManager::Init(const std::list<std::string>& addresses, const ConnSettings& settings,
                                         bool flag) {
    m_open = true;
    return VkPersistentPoolManager::Init(addresses, settings, flag);
}

void VkPersistentServerPoolManager::CreatePool(const std::list<std::string>& addresses) {
    for (const std::string& text : addresses) {
        const Connection connection = GetFactory()->CreateBySpec(text, "");
        if (!connection) {
            ipcLog(VK_LOG_WARN, [&] { return "can`t create a listening connection at " + text; });
            continue;
        }
        try {
            connection->SetListening(true);
            connection->Create();
            connection->Listen(static_cast<int>(GetListenQueue()));
            std::lock_guard<std::mutex> lock(m_donor_mutex);
            m_donor.push_back(connection);
        } catch (const std::exception& e) {
            ipcLog(VK_LOG_ERROR, [&] { return "can`t create a listening connection at " + text + ": " + e.what(); });
            connection->Close();
        }
    }
}

bool VkPersistentServerPoolManager::OpenPool(bool flag, bool) {
    CreatePool(GetAddresses());
    const size_t listening = GetConnectionsTotal();
    return flag ? listening != 0 : listening == GetAddresses().size();
}

void VkPersistentServerPoolManager::OnAddressesAdded(const std::list<std::string>& addresses) {
    // A listener removed a moment ago and not yet retired listens on.
    std::list<std::string> missing;
    {
        std::lock_guard<std::mutex> retired(m_retiredMutex);
        std::lock_guard<std::mutex> donor(m_donor_mutex);
        for (const std::string& text : addresses) {
            const auto named = [&](const Connection& listening) { return listening->GetLocalText() == text; };
            const auto kept = std::find_if(m_retired.begin(), m_retired.end(), named);
            if (kept != m_retired.end())
                m_donor.splice(m_donor.end(), m_retired, kept);
            else
                missing.push_back(text);
        }
    }
    CreatePool(missing);
    Refresh();
}

void VkPersistentServerPoolManager::OnAddressesRemoved(const std::list<std::string>& addresses) {
    {
        std::lock_guard<std::mutex> retired(m_retiredMutex);
        std::lock_guard<std::mutex> donor(m_donor_mutex);
        m_retired.splice(m_retired.end(), TakeByAddress(m_donor, addresses, true));
    }
    Refresh();  // the maintain thread retires them
    std::lock_guard<std::mutex> lock(m_established_mutex);
    CloseByAddress(m_established, addresses, true);
}

void VkPersistentServerPoolManager::RetireListeners() {
    // Closed under the lock: an address added again meanwhile binds only
    // once its old listener is gone.
    std::lock_guard<std::mutex> lock(m_retiredMutex);
    for (const Connection& listening : m_retired) listening->Close();
    m_retired.clear();
}

void VkPersistentServerPoolManager::OnClose() {
    m_open = false;
    RetireListeners();  // the maintain thread has stopped
    {
        std::lock_guard<std::mutex> lock(m_readyMutex);
        for (const Connection& connection : m_readyPool) connection->Close();
        m_readyPool.clear();
    }
    VkPersistentPoolManager::OnClose();
}

uint32_t VkPersistentServerPoolManager::GetConnectionsTotal() {
    return static_cast<uint32_t>(sizeOf(m_donor, m_donor_mutex));
}

void VkPersistentServerPoolManager::Release(const std::shared_ptr<VkIPC>& connection) {
    const uint32_t seconds = Limits().requestSeconds;
    if (connection && seconds != 0) connection->SetIdleTimeout(seconds);
    VkPersistentPoolManager::Release(connection);
}

bool VkPersistentServerPoolManager::WaitStateChange(const base::VkDeadline& deadline) {
    std::unique_lock<std::mutex> lock(m_readyMutex);
    return Sleep(deadline, lock);
}

std::shared_ptr<VkIPC> VkPersistentServerPoolManager::GetReady(const base::VkDeadline& deadline) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_readyMutex);
            if (!m_readyPool.empty()) {
                const Connection connection = m_readyPool.front();
                if (!connection)
                    throw base::VkException("PSP-Manager::GetReady - cannot detaches a connection from r-pool");
                Connections().Increase();
                m_readyPool.pop_front();
                const bool more = !m_readyPool.empty();
                lock.unlock();
                // Another waiter may have missed a ready event that a later
                // one overwrote: tell one of them about the rest.
                if (more) PoolEvent().set(kConnectionReady);
                return connection;
            }
            if (!m_open) throw base::VkSessionClosed();
        }
        _WaitReady(deadline.remaining());
    }
}

VkPersistentServerPoolManager::ConnectionList VkPersistentServerPoolManager::TakeUnusable(ConnectionList& list,
                                                                                           std::mutex& mutex,
                                                                                           size_t& remaining) {
    ConnectionList unusable;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = list.begin(); it != list.end();) {
        if ((*it)->IsConnected())
            ++it;
        else
            unusable.splice(unusable.end(), list, it++);
    }
    remaining = list.size();
    return unusable;
}

bool VkPersistentServerPoolManager::PrepareMaintain() {
    RetireListeners();
    size_t r, e;
    ConnectionList unusable = TakeUnusable(m_readyPool, m_readyMutex, r);
    unusable.splice(unusable.end(), TakeUnusable(m_established, m_established_mutex, e));
    // Idle connections: closed without counting a handed-out one out.
    for (const Connection& connection : unusable) CloseIdleConnection(connection);
    CloseSilent();
    LogClass& log = RecordLog(Limits());
    for (CountedRecord* record : {&m_overCap, &m_overShare, &m_refused, &m_acceptFailed}) record->Flush(log);

    const ConnSettings& settings = GetConnSettings();
    if (!getIpcLogger().isDebugEnabled() && !settings.statistics) return true;
    const uint32_t d = GetConnectionsTotal();
    const uint32_t a = Connections().Count();
    ipcLog(VK_LOG_DEBUG, [&] {
        return "has started for (d=" + std::to_string(d) + ", e=" + std::to_string(e) + ", r=" + std::to_string(r) +
               ", a=" + std::to_string(a) + ", min=" + std::to_string(settings.min) + ") connections ...";
    });
    if (settings.statistics) {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        m_maxReady = std::max<uint32_t>(m_maxReady, r);
        m_maxListening = std::max(m_maxListening, d);
        m_maxEstablished = std::max<uint32_t>(m_maxEstablished, e);
        m_maxActive = std::max(m_maxActive, a);
    }
    return true;
}

void VkPersistentServerPoolManager::CloseSilent() {
    ConnectionList silent;
    {
        const base::VkTime now;
        std::lock_guard<std::mutex> lock(m_established_mutex);
        for (auto it = m_established.begin(); it != m_established.end();) {
            if ((*it)->GetIdleDeadline() <= now)
                silent.splice(silent.end(), m_established, it++);
            else
                ++it;
        }
    }
    for (const Connection& connection : silent) {
        ipcLog(VK_LOG_INFO, [&] { return connection->GetDescription() + " sent no request in time: closed"; });
        CloseIdleConnection(connection);
    }
}

void VkPersistentServerPoolManager::SetWaitTimeout(base::VkTimeout& timeout) {
    base::VkTime first;
    first.setInfinite();
    for (const Connection& connection : m_established) first = std::min(first, connection->GetIdleDeadline());
    // One millisecond more: the wait must not end just before the deadline.
    if (!first.isInfinite()) {
        base::VkTimeout left = first.remaining();
        left += base::VkTimeout(1, base::VkTimeout::Milliseconds);
        if (left < timeout) timeout = left;
    }
    Clock::time_point due = Clock::time_point::max();
    for (const CountedRecord* record : {&m_overCap, &m_overShare, &m_refused, &m_acceptFailed})
        due = std::min(due, record->Due());
    if (due != Clock::time_point::max()) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count() + 1;
        const base::VkTimeout left(static_cast<int32_t>(std::max<long long>(0, ms)), base::VkTimeout::Milliseconds);
        if (left < timeout) timeout = left;
    }
}

bool VkPersistentServerPoolManager::Admit(const Connection& listening, const Connection& accepted,
                                          const ServerLimits& limits) {
    LogClass& log = RecordLog(limits);
    const std::string reason = limits.refusal ? limits.refusal(*accepted) : std::string();
    if (!reason.empty()) {
        m_refused.Count(listening->GetLocalText(),
                        "connection(s) refused at accept: " + reason + " (the last from " + accepted->GetRemoteText() +
                            ")",
                        log);
        accepted->Close();
        return false;
    }
    const size_t open =
        sizeOf(m_readyPool, m_readyMutex) + sizeOf(m_established, m_established_mutex) + Connections().Count();
    if (limits.maxOpen != 0 && open >= limits.maxOpen) {
        m_overCap.Count(listening->GetLocalText(),
                        "connection(s) closed at accept: " + std::to_string(limits.maxOpen) +
                            " connections are open, the most allowed",
                        log);
        accepted->Close();
        return false;
    }
    const std::string share = ShareRefusal(accepted, limits, open);
    if (!share.empty()) {
        m_overShare.Count(listening->GetLocalText(), "connection(s) closed at accept: " + share, log);
        accepted->Close();
        return false;
    }
    if (limits.requestSeconds != 0) accepted->SetIdleTimeout(limits.requestSeconds);
    return true;
}

std::string VkPersistentServerPoolManager::ShareRefusal(const Connection& accepted, const ServerLimits& limits,
                                                        size_t open) {
    if (!limits.peerUser) return "";
    const PeerUser user = limits.peerUser(*accepted);
    uint32_t held = 0;
    for (auto it = m_peerUsers.begin(); it != m_peerUsers.end();) {
        const Connection connection = it->first.lock();
        if (!connection || connection->GetDescriptor() < 0) {
            it = m_peerUsers.erase(it);
            continue;
        }
        held += it->second == user.id;
        ++it;
    }
    const std::string who = user.id < 0 ? std::string("clients of unknown owner") : "uid " + std::to_string(user.id);
    if (!user.privileged) {
        if (limits.maxPerUser != 0 && held >= limits.maxPerUser)
            return who + " holds " + std::to_string(held) + " connections, the most one user may (the last from " +
                   accepted->GetRemoteText() + ")";
        if (limits.maxOpen != 0 && limits.privilegedReserve != 0 &&
            open + limits.privilegedReserve >= limits.maxOpen)
            return "the last " + std::to_string(limits.privilegedReserve) + " of " +
                   std::to_string(limits.maxOpen) + " connections are kept for privileged users (the last from " +
                   who + ")";
    }
    m_peerUsers.emplace_back(accepted, user.id);
    return "";
}

bool VkPersistentServerPoolManager::AppendDonorPool(VkEventList& waitList) {
    const uint32_t max = GetConnSettings().max;
    if (max != 0) {
        const size_t r = sizeOf(m_readyPool, m_readyMutex);
        const size_t e = sizeOf(m_established, m_established_mutex);
        // Full: new clients wait in the listen queue.
        if (max <= r + e + Connections().Count()) return false;
    }
    std::lock_guard<std::mutex> lock(m_donor_mutex);
    for (const Connection& listening : m_donor) waitList.Add(listening->GetDescriptor(), kWaitEvents, listening);
    return true;
}

bool VkPersistentServerPoolManager::WaitAcceptable(const Connection& listening) {
    const std::shared_ptr<base::VkControl> control = Control();
    pollfd entries[2] = {{listening->GetDescriptor(), POLLIN, 0}, {control ? control->ReadFd() : -1, POLLIN, 0}};
    const base::VkTimeout& timeout = GetAcceptTimeout();
    const int ms = timeout.isInfinite() ? -1 : static_cast<int>(timeout.AsUnit(base::VkTimeout::Milliseconds));
    int ready;
    do {
        ready = poll(entries, 2, ms);
    } while (ready == -1 && errno == EINTR);
    return ready > 0 && (entries[0].revents & POLLIN);
}

void VkPersistentServerPoolManager::ProcessDonorPool(VkEventListEntry& entry) {
    Connection listening = entry.connection;
    const std::string description = listening->GetDescription();
    if (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        ipcLog(VK_LOG_WARN, [&] {
            return description + " has been closed (poll revent=0x" + hex(static_cast<unsigned short>(entry.revents)) +
                   ")";
        });
        std::lock_guard<std::mutex> lock(m_donor_mutex);
        m_donor.remove(listening);
        return;
    }
    if (!(entry.revents & POLLIN)) return;
    ipcLog(VK_LOG_INFO, [&] { return "a new connection is ready to be established by " + description; });
    // The accept itself never waits: a stop of the maintain thread must not
    // find it blocked there.
    if (!WaitAcceptable(listening)) return;
    const ServerLimits limits = Limits();
    Connection accepted;
    try {
        accepted = Pool::CreateServerConnection(this, listening);
    } catch (const base::VkThreadCanceled&) {
        ipcLog(VK_LOG_DEBUG, [] { return std::string("catch stop thread.."); });
        return;
    } catch (const std::exception& e) {
        const auto* system = dynamic_cast<const base::VkSystemError*>(&e);
        if (system && isShortage(system->GetErrno())) {
            m_acceptFailed.Count(listening->GetLocalText(),
                                 "accept(s) failed: " + base::errnoText(system->GetErrno()) +
                                     "; each failure pauses accepting for 0.5 s",
                                 RecordLog(limits));
            MakePause();
            return;
        }
        ipcLog(VK_LOG_ERROR,
               [&] { return std::string("can`t establishes new connection - ") + e.what() + " by " + description; });
        return;
    }
    if (!accepted || !Admit(listening, accepted, limits)) return;
    if (GetConnSettings().statistics) {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        ++m_created;
    }
    {
        std::lock_guard<std::mutex> lock(m_established_mutex);
        m_established.push_back(accepted);
    }
    ipcLog(VK_LOG_INFO, [&] { return accepted->GetDescription() + " is placed into the e-pool"; });
}

void VkPersistentServerPoolManager::ProcessEstablishedPool(VkEventListEntry& entry) {
    const Connection connection = entry.connection;
    const short events = entry.revents;
    if (events & POLLIN) Pause();  // a suspended pool takes no request
    {
        std::lock_guard<std::mutex> lock(m_established_mutex);
        const auto found = std::find(m_established.begin(), m_established.end(), connection);
        if (found == m_established.end()) return;
        m_established.erase(found);
    }
    Connection closing(connection);
    // A client that sent its request and hung up at once shows POLLIN with
    // the hang-up: what is pending is still served.
    if ((events & (POLLERR | POLLNVAL)) || ((events & POLLHUP) && !(events & POLLIN))) {
        if (events & POLLNVAL)
            ipcLog(VK_LOG_DEBUG, [&] { return connection->GetDescription() + " is already closed"; });
        else
            ipcLog(VK_LOG_INFO, [&] { return connection->GetDescription() + " is closed or broken"; });
        ICloseConnection(closing, false);
        return;
    }
    if (!(events & POLLIN)) {
        std::lock_guard<std::mutex> lock(m_established_mutex);
        m_established.push_back(connection);
        return;
    }
    if (IsPeerClosed(connection)) {
        ipcLog(VK_LOG_INFO, [] { return std::string("ServProcessEstablishedPool: POLLIN and recv return <= 0"); });
        ICloseConnection(closing, false);
        return;
    }
    size_t n;
    {
        std::lock_guard<std::mutex> lock(m_readyMutex);
        m_readyPool.push_back(connection);
        n = m_readyPool.size();
    }
    ipcLog(VK_LOG_INFO,
           [&] { return connection->GetDescription() + " is placed into r-pool; size=" + std::to_string(n); });
    PoolEvent().set(kConnectionReady);
}

void VkPersistentServerPoolManager::WriteStatistics(std::ostream& out, int32_t seconds) {
    VkPersistentPoolManager::WriteStatistics(out, seconds);
    std::lock_guard<std::mutex> lock(m_statsMutex);
    out << "total created = " << m_created << " (" << static_cast<long double>(m_created) / seconds << " num/sec)\n"
        << "max rea=" << m_maxReady << " est=" << m_maxEstablished << " don=" << m_maxListening
        << " act=" << m_maxActive << "\n";
    m_created = m_maxEstablished = m_maxListening = m_maxActive = m_maxReady = 0;
}

}  // namespace ipc
}  // namespace velka
