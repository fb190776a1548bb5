// VkPersistentClientPoolManager: requests, creation, breakage and idle
// expiry of client connections.
#include "ipc/session/persistent_client_pool_manager.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "base/vk_exception.h"
#include "ipc/session/pool.h"
#include "ipc/session/pool_codes.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

namespace {

const short kBroken = POLLERR | POLLHUP | POLLNVAL;

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

const base::VkEvent kConnectionReady(kPoolEventConnectionReady, std::any(0));

}  // namespace

VkPersistentClientPoolManager::VkPersistentClientPoolManager(VkIpcFactory* factory) : VkPersistentPoolManager(factory) {
    m_name = "(Client)";
}

VkPersistentClientPoolManager::~VkPersistentClientPoolManager() { StopMaintainer(); }

void VkPersistentClientPoolManager::SetWanted(const ConnSettings& settings) {
    if (settings.min == GetConnSettings().min) return;
    std::lock_guard<std::mutex> lock(m_wantedMutex);
    m_connectionsNum = settings.min;
}

bool VkPersistentClientPoolManager::Init(const std::list<std::string>& addresses, const ConnSettings& settings,
                                         bool flag) {
    ResetPause();
    SetWanted(settings);
    m_open = true;
    return VkPersistentPoolManager::Init(addresses, settings, flag);
}

bool VkPersistentClientPoolManager::Reinit(const std::list<std::string>& addresses, const ConnSettings& settings,
                                           bool flag) {
    SetWanted(settings);
    return VkPersistentPoolManager::Reinit(addresses, settings, flag);
}

bool VkPersistentClientPoolManager::OpenPool(bool flag, bool second) {
    return CreatePool(GetConnSettings().min, flag, second);
}

bool VkPersistentClientPoolManager::WaitStateChange(const base::VkDeadline& deadline) {
    std::unique_lock<std::mutex> lock(m_established_mutex);
    return Sleep(deadline, lock);
}

std::shared_ptr<VkIPC> VkPersistentClientPoolManager::GetReady(const base::VkDeadline& deadline) {
    for (;;) {
        bool requested = false;
        uint32_t old = 0, max = 0;
        {
            std::unique_lock<std::mutex> lock(m_established_mutex);
            if (!m_established.empty()) {
                const Connection connection = m_established.front();
                if (!connection)
                    throw base::VkException("PCP-Manager::GetReady - cannot detaches a connection from r-pool");
                Connections().Increase();
                m_established.pop_front();
                const bool more = !m_established.empty();
                lock.unlock();
                // Another waiter may have missed a ready event that a later
                // one overwrote: tell one of them about the rest.
                if (more) PoolEvent().set(kConnectionReady);
                return connection;
            }
            if (!m_open) throw base::VkSessionClosed();
            max = GetConnSettings().max;
            std::lock_guard<std::mutex> total(m_totalMutex);
            std::lock_guard<std::mutex> wanted(m_wantedMutex);
            if ((max == 0 || m_connectionsNum < max) && m_connectionsNum == m_totalConnections) {
                old = m_connectionsNum++;
                requested = true;
            }
        }
        if (requested) {
            ipcLog(VK_LOG_INFO, [&] {
                return "VkPersistentClientPoolManager: request for new connection (" + std::to_string(old) + "/" +
                       std::to_string(old) + "/" + std::to_string(max) + ")";
            });
            Refresh();
            if (GetConnSettings().statistics) {
                std::lock_guard<std::mutex> lock(m_statisticsMutex);
                ++m_statistics.createdOnRequest;
            }
        }
        _WaitReady(deadline.remaining());
    }
}

void VkPersistentClientPoolManager::CorrectConnectionsNum(uint32_t number) {
    uint32_t old;
    {
        std::lock_guard<std::mutex> lock(m_wantedMutex);
        if (m_connectionsNum == number) return;
        old = m_connectionsNum;
        m_connectionsNum = number;
    }
    ipcLog(VK_LOG_INFO, [&] {
        return "CorrectConnectionsNum - number of connection changed from " + std::to_string(old) + " to " +
               std::to_string(number);
    });
    Refresh();
}

uint32_t VkPersistentClientPoolManager::GetConnectionsTotal() {
    std::lock_guard<std::mutex> lock(m_totalMutex);
    return m_totalConnections;
}

bool VkPersistentClientPoolManager::CreatePool(uint32_t n, bool bAtLeastOne, bool bOkIfNoConnections) {
    if (n == 0) return true;
    ipcLog(VK_LOG_INFO, [&] {
        return "should creates " + std::to_string(n) + " new connections (bAtLeastOne=" + std::to_string(bAtLeastOne) +
               " bOkIfNoConnections=" + std::to_string(bOkIfNoConnections) + ")";
    });
    const ConnSettings& settings = GetConnSettings();
    // Every success and every failure counts against n: creation ends
    // with n connections (true) or n failures (false).
    for (uint32_t made = 0, failures = 0; made < n;) {
        Connection connection;
        try {
            connection = Pool::CreateClientConnection(this);
        } catch (const std::exception& e) {
            if (bOkIfNoConnections) {
                ipcLog(VK_LOG_DEBUG,
                       [&] { return std::string("CreateDonorPool:") + e.what() + ": can stop on first error"; });
                return true;
            }
            if (bAtLeastOne && ++failures < n) {
                ipcLog(VK_LOG_DEBUG, [&] {
                    return std::string("VkPersistentClientPoolManager::_CreateDonorPool: create connection error: ") +
                           e.what();
                });
                continue;
            }
            ipcLog(VK_LOG_WARN, [&] { return std::string("CreateDonorPool:") + e.what(); });
            return false;
        }
        if (!connection) return false;
        {
            std::lock_guard<std::mutex> lock(m_totalMutex);
            const uint32_t total = ++m_totalConnections;
            const bool permanent = total <= settings.min;
            ipcLog(VK_LOG_DEBUG, [&] {
                return "VkPersistentClientPoolManager: inc total connection = " + std::to_string(total) + " (" +
                       std::to_string(permanent) + ")";
            });
            if (permanent) connection->SetPermanent(true);
            if (settings.statistics) {
                std::lock_guard<std::mutex> statistics(m_statisticsMutex);
                ++m_statistics.totalCreated;
                m_statistics.totalSum += total;
                m_statistics.maxTotal = std::max(m_statistics.maxTotal, total);
            }
        }
        const bool connected = connection->IsConnected();
        bool listed;
        {
            // A re-open may have removed the address while it was connected.
            std::lock_guard<std::mutex> lock(connected ? m_established_mutex : m_donor_mutex);
            listed = IsListed(connection);
            if (listed) (connected ? m_established : m_donor).push_back(connection);
            if (listed && connected) PoolEvent().set(kConnectionReady);
        }
        if (!listed) {
            ipcLog(VK_LOG_INFO, [&] { return connection->GetDescription() + " leads to a removed address: closed"; });
            ICloseConnection(connection, false);
            return false;  // the next pass connects to the new list
        }
        ipcLog(VK_LOG_DEBUG, [&] {
            return "CreatePool: " + connection->GetDescription() + " is placed into the " + (connected ? "r" : "b") +
                   "-pool";
        });
        ++made;
    }
    return true;
}

bool VkPersistentClientPoolManager::PrepareMaintain() {
    const ConnSettings& settings = GetConnSettings();
    LogClass& log = getIpcLogger();
    if (log.isDebugEnabled() || settings.statistics) {
        size_t d, e;
        {
            std::lock_guard<std::mutex> established(m_established_mutex);
            std::lock_guard<std::mutex> donor(m_donor_mutex);
            d = m_donor.size();
            e = m_established.size();
        }
        const uint32_t a = Connections().Count();
        uint32_t wanted;
        {
            std::lock_guard<std::mutex> lock(m_wantedMutex);
            wanted = m_connectionsNum;
        }
        ipcLog(VK_LOG_DEBUG, [&] {
            return "has started for (d=" + std::to_string(d) + ", e=" + std::to_string(e) + ", a=" + std::to_string(a) +
                   ", curr=" + std::to_string(wanted) + ", total=" + std::to_string(GetConnectionsTotal()) +
                   ") connections ...";
        });
        if (settings.statistics) {
            std::lock_guard<std::mutex> lock(m_statisticsMutex);
            m_statistics.maxReady = std::max<uint32_t>(m_statistics.maxReady, e);
            m_statistics.maxDonor = std::max<uint32_t>(m_statistics.maxDonor, d);
            m_statistics.maxActive = std::max(m_statistics.maxActive, a);
        }
    }
    int64_t diff;
    {
        std::lock_guard<std::mutex> lock(m_wantedMutex);
        diff = m_connectionsNum;
    }
    diff -= GetConnectionsTotal();
    if (diff > 0) return CreatePool(static_cast<uint32_t>(diff), true, false);
    if (diff == 0) return false;
    CloseSurplus(static_cast<uint32_t>(-diff));
    return true;
}

bool VkPersistentClientPoolManager::AppendDonorPool(VkEventList& waitList) {
    std::lock_guard<std::mutex> lock(m_donor_mutex);
    if (m_donor.empty()) return false;
    for (const Connection& connection : m_donor)
        waitList.Add(connection->GetDescriptor(), POLLOUT | POLLHUP, connection);
    return true;
}

bool VkPersistentClientPoolManager::Take(ConnectionList& list, std::mutex& mutex, const Connection& connection) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = std::find(list.begin(), list.end(), connection);
    if (found == list.end()) return false;
    list.erase(found);
    return true;
}

void VkPersistentClientPoolManager::CloseBroken(Connection connection, const std::string& reason) {
    ipcLog(VK_LOG_WARN, [&] { return connection->GetDescription() + reason + " make pause..."; });
    try {
        ICloseConnection(connection, false);
    } catch (const std::exception& e) {
        ipcLog(VK_LOG_WARN, [&] { return std::string("Pool::CloseConnection - error ") + e.what(); });
    }
    MakePause();
}

void VkPersistentClientPoolManager::ProcessDonorPool(VkEventListEntry& entry) {
    const Connection& connection = entry.connection;
    if (entry.revents & POLLOUT) {
        if (!Take(m_donor, m_donor_mutex, connection)) return;
        connection->SetConnected(true);
        {
            std::lock_guard<std::mutex> lock(m_established_mutex);
            m_established.push_back(connection);
            PoolEvent().set(kConnectionReady);
        }
        ipcLog(VK_LOG_DEBUG, [&] { return connection->GetDescription() + " is placed into the r-pool"; });
    } else if (entry.revents & kBroken) {
        if (!Take(m_donor, m_donor_mutex, connection)) return;
        CloseBroken(connection, " has been broken/closed on server side befor connect (poll revent=0x" +
                                    hex(static_cast<unsigned short>(entry.revents)) + ")");
    }
}

void VkPersistentClientPoolManager::ProcessEstablishedPool(VkEventListEntry& entry) {
    const Connection connection = entry.connection;
    short events;
    {
        // The poll may be stale: since then a caller may have taken the
        // connection, run an exchange and given it back. Look again, with
        // the connection held here so that no caller takes it meanwhile.
        std::lock_guard<std::mutex> lock(m_established_mutex);
        const auto found = std::find(m_established.begin(), m_established.end(), connection);
        if (!connection || found == m_established.end()) return;
        pollfd now{connection->GetDescriptor(), POLLIN | POLLHUP, 0};
        events = poll(&now, 1, 0) == 1 ? now.revents : 0;
        if (events == 0) return;
        m_established.erase(found);
    }
    const std::string text = hex(static_cast<unsigned short>(events));
    if (events & kBroken) {
        CloseBroken(connection, " has been broken/closed on server side (poll revent=0x" + text + ")");
    } else if (IsPeerClosed(connection)) {
        ipcLog(VK_LOG_DEBUG, [] { return std::string("ProcessEstablishedPool: POLLIN and recv return <= 0"); });
        CloseBroken(connection, " is probably broken (event=0x" + text + ")");
    } else {
        // Bytes nobody asked for: the stream is out of step, and left in
        // the pool they would keep the maintain loop busy.
        CloseBroken(connection, " has unsolicited bytes while idle (event=0x" + text + ")");
    }
}

void VkPersistentClientPoolManager::ICloseConnection(Connection& connection, bool counted) {
    if (!connection) return;
    uint32_t total;
    {
        std::lock_guard<std::mutex> lock(m_totalMutex);
        if (m_totalConnections != 0) --m_totalConnections;
        total = m_totalConnections;
    }
    ipcLog(VK_LOG_DEBUG,
           [&] { return "VkPersistentClientPoolManager: dec total connection = " + std::to_string(total); });
    VkPersistentPoolManager::ICloseConnection(connection, counted);
}

bool VkPersistentClientPoolManager::IsListed(const Connection& connection) {
    const std::list<std::string> addresses = GetAddresses();
    return std::find(addresses.begin(), addresses.end(), connection->GetRemoteText()) != addresses.end();
}

void VkPersistentClientPoolManager::OnAddressesRemoved(const std::list<std::string>& addresses) {
    {
        std::lock_guard<std::mutex> lock(m_donor_mutex);
        CloseByAddress(m_donor, addresses, false);
    }
    std::lock_guard<std::mutex> lock(m_established_mutex);
    CloseByAddress(m_established, addresses, false);
}

void VkPersistentClientPoolManager::OnClose() {
    m_open = false;
    ConnectionList idle;
    {
        std::lock_guard<std::mutex> lock(m_donor_mutex);
        idle.splice(idle.end(), m_donor);
    }
    {
        std::lock_guard<std::mutex> lock(m_established_mutex);
        idle.splice(idle.end(), m_established);
    }
    for (Connection& connection : idle) ICloseConnection(connection, false);
    {
        std::lock_guard<std::mutex> lock(m_wantedMutex);
        m_connectionsNum = 0;
    }
    VkPersistentPoolManager::OnClose();
}

void VkPersistentClientPoolManager::RemoveByTimeout(const Connection& connection) {
    ipcLog(VK_LOG_INFO, [&] { return "Remove by timeout " + connection->GetDescription(); });
    CloseIdleConnection(connection);
    const ConnSettings& settings = GetConnSettings();
    if (settings.statistics) {
        std::lock_guard<std::mutex> lock(m_statisticsMutex);
        ++m_statistics.closedByTimeout;
    }
    std::lock_guard<std::mutex> lock(m_wantedMutex);
    if (m_connectionsNum > settings.min) --m_connectionsNum;
}

namespace {
bool expires(const std::shared_ptr<VkIPC>& connection) { return connection && !connection->IsPermanent(); }
}  // namespace

void VkPersistentClientPoolManager::OnWaitTimeout() {
    ConnectionList expired;
    {
        std::lock_guard<std::mutex> lock(m_established_mutex);
        base::VkTime now;
        now.setNow();
        for (auto it = m_established.begin(); it != m_established.end();) {
            if (expires(*it) && (*it)->GetIdleDeadline() <= now)
                expired.splice(expired.end(), m_established, it++);
            else
                ++it;
        }
    }
    // Closed outside the lock: the close tells the maintain thread.
    for (const Connection& connection : expired) RemoveByTimeout(connection);
}

void VkPersistentClientPoolManager::SetWaitTimeout(base::VkTimeout& timeout) {
    // Called with the established pool's lock held: an expired connection
    // only cuts the wait to nothing, OnWaitTimeout then closes it.
    if (m_established.empty()) return;
    base::VkTime now;
    now.setNow();
    for (const Connection& connection : m_established) {
        if (!expires(connection)) continue;
        const base::VkTimeout left = connection->GetIdleDeadline() - now;
        if (left < timeout) timeout = left;
    }
    ipcLog(VK_LOG_DEBUG, [&] { return "VkPersistentClientPoolManager: set timeout to " + timeout.toString(); });
}

void VkPersistentClientPoolManager::WriteStatistics(std::ostream& out, int32_t seconds) {
    VkPersistentPoolManager::WriteStatistics(out, seconds);
    {
        std::lock_guard<std::mutex> lock(m_statisticsMutex);
        const Statistics& s = m_statistics;
        const auto rate = [seconds](uint32_t count) { return static_cast<double>(count) / seconds; };
        out << "total created = " << s.totalCreated << " (" << rate(s.totalCreated) << " num/sec)\n"
            << "created on request = " << s.createdOnRequest << " (" << rate(s.createdOnRequest) << " num/sec)\n"
            << "closed by timeout = " << s.closedByTimeout << " (" << rate(s.closedByTimeout) << " num/sec)\n"
            << "avg number = " << (s.totalCreated ? static_cast<double>(s.totalSum) / s.totalCreated : 0.0) << "\n"
            << "max cre = " << s.maxTotal << " est=" << s.maxReady << " don=" << s.maxDonor << " act=" << s.maxActive
            << "\n";
        m_statistics = Statistics();
    }
    out << "current = " << GetConnectionsTotal() << "\n";
}

}  // namespace ipc
}  // namespace velka
