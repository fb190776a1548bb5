// VkSessionPoolManager: what every connection pool has in common.
#include "ipc/session/session_pool_manager.h"

#include <errno.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>


#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/session/connection_observer.h"
#include "ipc/session/pool_codes.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

namespace {

const int32_t kDefaultConnectSeconds = 10;

// VK_CONNECT_TIMEOUT in seconds: strtol's reading of the text, or the
// default when it is unset or holds no number at all.
base::VkTimeout connectTimeoutFromEnvironment() {
    const char* text = std::getenv("VK_CONNECT_TIMEOUT");
    if (text == nullptr) return base::VkTimeout(kDefaultConnectSeconds, base::VkTimeout::Seconds);
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text) {
        LogClass& log = getIpcLogger();
        if (log.isWarnEnabled())
            log.log(VK_LOG_WARN, std::string("VK_CONNECT_TIMEOUT=\"") + text +
                                     "\" is not a number of seconds; the connect timeout is " +
                                     std::to_string(kDefaultConnectSeconds) + " s");
        return base::VkTimeout(kDefaultConnectSeconds, base::VkTimeout::Seconds);
    }
    value = std::min<long>(std::max<long>(value, INT32_MIN), INT32_MAX);
    return base::VkTimeout(static_cast<int32_t>(value), base::VkTimeout::Seconds);
}

// The texts of the list without adjacent repeats.
std::list<std::string> withoutAdjacentRepeats(const std::list<std::string>& texts) {
    std::list<std::string> result(texts);
    result.unique();
    return result;
}

std::string ctimeText(time_t when) {
    char text[32];
    return ctime_r(&when, text) ? text : "?\n";
}

}  // namespace

VkSessionPoolManager::VkSessionPoolManager(VkIpcFactory* factory)
    : m_factory(factory),
      m_connectTimeout(connectTimeoutFromEnvironment()),
      m_poolEvent("PoolManager::GMultiEvent") {
    m_settings.Check();
}

VkSessionPoolManager::~VkSessionPoolManager() = default;

void VkSessionPoolManager::SetConnSettings(const ConnSettings& settings) {
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    if (!m_settings.statistics && settings.statistics) m_statisticsStart = time(nullptr);
    m_settings = settings;
}

ConnSettings VkSessionPoolManager::GetConnSettings() const {
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    return m_settings;
}

bool VkSessionPoolManager::Init(const std::list<std::string>& addresses, const ConnSettings& settings, bool flag) {
    SetConnSettings(settings);
    {
        std::lock_guard<std::mutex> lock(m_settingsMutex);
        m_addresses = withoutAdjacentRepeats(addresses);
    }
    return OpenPool(flag, true);
}

bool VkSessionPoolManager::Reinit(const std::list<std::string>& addresses, const ConnSettings& settings, bool) {
    std::list<std::string> added = withoutAdjacentRepeats(addresses);
    std::list<std::string> removed;
    bool unchanged;
    {
        // The stored order is the order in which connections are tried: the
        // kept texts stay where they are, the new ones follow in the order
        // given. The list changes before the hooks run, so that a connection
        // to a removed address given back meanwhile is closed (Release).
        std::lock_guard<std::mutex> lock(m_settingsMutex);
        unchanged = added == m_addresses;
        for (auto it = m_addresses.begin(); !unchanged && it != m_addresses.end();) {
            auto found = std::find(added.begin(), added.end(), *it);
            if (found != added.end()) {
                added.erase(found);
                ++it;
            } else {
                removed.splice(removed.end(), m_addresses, it++);
            }
        }
        if (!unchanged) m_addresses.insert(m_addresses.end(), added.begin(), added.end());
    }
    SetConnSettings(settings);
    if (unchanged) return true;
    OnAddressesRemoved(removed);
    OnAddressesAdded(added);
    return true;
}

bool VkSessionPoolManager::Close() {
    OnClose();
    ConnSettings zero;
    zero.Check();
    SetConnSettings(zero);
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_addresses.clear();
    return true;
}

bool VkSessionPoolManager::Suspend() {
    std::lock_guard<std::mutex> lock(m_pauseMutex);
    m_paused = true;
    m_pauseChanged.notify_all();
    return true;
}

bool VkSessionPoolManager::Resume() {
    std::lock_guard<std::mutex> lock(m_pauseMutex);
    m_paused = false;
    m_pauseChanged.notify_all();
    return true;
}

void VkSessionPoolManager::CancelPause() {
    ConnectionList connecting;
    {
        std::lock_guard<std::mutex> lock(m_pauseMutex);
        m_pauseCanceled = true;
        m_pauseChanged.notify_all();
        connecting = m_connecting;
    }
    // The endpoint ends the connect it waits for with VkIpcErrorClosed.
    for (const Connection& connection : connecting) connection->Close();
}

void VkSessionPoolManager::ResetPause() {
    std::lock_guard<std::mutex> lock(m_pauseMutex);
    m_paused = false;
    m_pauseCanceled = false;
    m_pauseChanged.notify_all();
}

void VkSessionPoolManager::Pause() {
    std::unique_lock<std::mutex> lock(m_pauseMutex);
    for (;;) {
        if (!m_paused) return;
        if (m_pauseCanceled) throw base::VkThreadCanceled("VkSessionPoolManager::Pause");
        m_pauseChanged.wait(lock);
    }
}

void VkSessionPoolManager::ConnectStarting(const Connection& connection) {
    std::lock_guard<std::mutex> lock(m_pauseMutex);
    if (m_pauseCanceled) throw base::VkThreadCanceled("VkSessionPoolManager::ConnectStarting");
    m_connecting.push_back(connection);
}

void VkSessionPoolManager::ConnectEnded(const Connection& connection) {
    std::lock_guard<std::mutex> lock(m_pauseMutex);
    const auto found = std::find(m_connecting.begin(), m_connecting.end(), connection);
    if (found != m_connecting.end()) m_connecting.erase(found);
    if (m_pauseCanceled) throw base::VkThreadCanceled("VkSessionPoolManager::ConnectEnded");
}

void VkSessionPoolManager::Wakeup() {
    LogClass& log = getIpcLogger();
    if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "Pool::Wakeup()");
    m_poolEvent.broadcast(base::VkEvent(kPoolEventStateChanged, std::any(0)));
}

std::list<std::string> VkSessionPoolManager::GetAddresses() const {
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    return m_addresses;
}

std::string VkSessionPoolManager::AddressesText() const {
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    std::string text;
    for (const std::string& address : m_addresses) {
        if (!text.empty()) text += ", ";
        text += address;
    }
    return text;
}

void VkSessionPoolManager::CloseConnection(Connection connection) {
    try {
        ICloseConnection(connection, true);
    } catch (const std::exception& e) {
        LogClass& log = getIpcLogger();
        if (log.isWarnEnabled()) log.log(VK_LOG_WARN, std::string("Pool::CloseConnection - error ") + e.what());
    }
}

void VkSessionPoolManager::ICloseConnection(Connection& connection, bool counted) {
    if (!connection) return;
    LogClass& log = getIpcLogger();
    if (log.isInfoEnabled()) log.log(VK_LOG_INFO, "Pool::ICloseConnection - " + connection->GetDescription());
    if (VkConnectionObserver* observer = GetObserver()) {
        Connection copy(connection);
        observer->ConnectionClosing(copy);
    }
    connection->Close();
    connection.reset();
    if (!counted) return;
    m_connections.Decrease();
    m_poolEvent.set(base::VkEvent(kPoolEventConnectionClosed, std::any(0)));
}

void VkSessionPoolManager::CloseByAddress(ConnectionList& connections, const std::list<std::string>& addresses,
                                          bool local) {
    for (Connection& connection : TakeByAddress(connections, addresses, local)) ICloseConnection(connection, false);
    connections.remove(Connection());
}

VkSessionPoolManager::ConnectionList VkSessionPoolManager::TakeByAddress(ConnectionList& connections,
                                                                         const std::list<std::string>& addresses,
                                                                         bool local) {
    const auto named = [&](const Connection& connection) {
        const std::string& text = local ? connection->GetLocalText() : connection->GetRemoteText();
        return std::find(addresses.begin(), addresses.end(), text) != addresses.end();
    };
    ConnectionList taken;
    for (auto it = connections.begin(); it != connections.end();) {
        if (*it && named(*it))
            taken.splice(taken.end(), connections, it++);
        else
            ++it;
    }
    return taken;
}

void VkSessionPoolManager::CloseFirst(ConnectionList& connections, uint32_t n) {
    if (n == 0) return;
    for (auto it = connections.begin(); it != connections.end() && n != 0; ++it, --n) {
        if (!*it) continue;
        Connection copy(*it);
        ICloseConnection(copy, false);
        it->reset();
    }
    connections.remove(Connection());
}

void VkSessionPoolManager::AppendStatistics(const std::string& fileName) {
    time_t start;
    {
        std::lock_guard<std::mutex> lock(m_settingsMutex);
        if (!m_settings.statistics) return;
        start = m_statisticsStart;
    }
    LogClass& log = getIpcLogger();
    std::ofstream out(fileName, std::ios::out | std::ios::app);
    if (!out) {
        if (log.isErrorEnabled())
            log.log(VK_LOG_ERROR, "Error in open file " + fileName + " for writing: " + base::errnoText(errno));
        return;
    }
    const time_t now = time(nullptr);
    int32_t period = static_cast<int32_t>(difftime(now, start));
    out << std::string(70, '=') << "\n"
        << "start:  " << ctimeText(start) << "curr:   " << ctimeText(now) << "period: " << period / 86400
        << "d " << (period / 3600) % 24 << "h " << (period % 3600) / 60 << "m " << period % 60 << "s\n\n";
    WriteStatistics(out, period < 1 ? 1 : period);
    if (log.isInfoEnabled()) log.log(VK_LOG_INFO, "Success append ipc statistic to " + fileName + " file");
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_statisticsStart = time(nullptr);
}

}  // namespace ipc
}  // namespace velka
