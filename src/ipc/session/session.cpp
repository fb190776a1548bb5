// VkSession: opening, closing, the exchange of Execute, and the end of a
// session.
#include "ipc/session/session.h"

#include <sys/socket.h>

#include "base/vk_exception.h"
#include "ipc/session/conn_settings.h"
#include "ipc/session/if_pool_manager.h"
#include "ipc/session/parse_pid_file.h"
#include "ipc/session/session_state.h"
#include "ipc/session/session_state_table.h"
#include "ipc/transport/ipc_factory.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

namespace {

const int32_t kDestroyWaitSeconds = 5;

base::VkDeadline inSeconds(int32_t seconds) {
    return base::VkDeadline(base::VkTimeout(seconds, base::VkTimeout::Seconds));
}

bool passed(const base::VkDeadline& deadline) {
    return !deadline.isInfinite() && deadline.remaining().AsUnit(base::VkTimeout::Milliseconds) == 0;
}

// Sets the counter's canceled flag without waiting (the deadline has passed).
void setCanceled(RefCounter& calls, bool canceled) {
    calls.WaitFor(0, base::VkDeadline(base::kTimeoutNowait), canceled);
}

// Counts one Execute out on every way out of it.
struct CountedCall {
    RefCounter& calls;
    ~CountedCall() { calls.Decrease(); }
};

}  // namespace

VkSession::VkSession(VkIfPoolManager* poolManager) : m_poolManager(poolManager), m_state(GetInitialState()) {
    if (!m_poolManager) {
        ipcLog(VK_LOG_ERROR, [] { return std::string("Session::ctor - a null pointer to a pool manager"); });
        throw base::VkParameterError("Session::ctor", "PoolManager");
    }
}

VkSession::~VkSession() { Shutdown(); }

void VkSession::Shutdown() noexcept {
    if (m_shutDown) return;
    m_shutDown = true;
    try {
        setCanceled(m_calls, true);
        try {
            getState()->Close(*this);
        } catch (const std::exception& e) {
            ipcLog(VK_LOG_ERROR, [&] { return std::string("Session::dtor - close: ") + e.what(); });
        }
        if (!m_calls.WaitFor(0, inSeconds(kDestroyWaitSeconds), true)) {
            ipcLog(VK_LOG_WARN, [&] {
                return "Session::dtor - " + std::to_string(m_calls.Count()) + " call(s) of Execute still run after " +
                       std::to_string(kDestroyWaitSeconds) + " s; their connections are shut down";
            });
            ShutDownExchanges();
            m_calls.WaitFor(0, base::kDeadlineInfinite, true);
        }
        getState()->Destroy(*this);
    } catch (const std::exception& e) {
        ipcLog(VK_LOG_ERROR, [&] { return std::string("Session::dtor - destroy: ") + e.what(); });
    }
}

bool VkSession::HasExchanges() {
    std::lock_guard<std::mutex> lock(m_exchangesMutex);
    return !m_exchanges.empty();
}

void VkSession::ShutDownExchanges() {
    std::lock_guard<std::mutex> lock(m_exchangesMutex);
    for (const std::shared_ptr<VkIPC>& connection : m_exchanges) {
        const int fd = connection->GetDescriptor();
        if (fd != -1) ::shutdown(fd, SHUT_RDWR);
    }
}

std::unique_ptr<VkSessionState> VkSession::getState() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_state->Clone();
}

void VkSession::setState(VkSessionState* state) {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_state = state;
}

VkIfPoolManager& VkSession::GetPoolManager() const {
    if (!m_poolManager) throw base::VkSessionDestroyed("Session::GetPoolManager - ");
    return *m_poolManager;
}

void VkSession::DestroyPoolManager() { m_poolManager.reset(); }

bool VkSession::Open(const std::string& address, const ConnSettings& settings) {
    return Open(std::list<std::string>{address}, settings, nullptr);
}

bool VkSession::Open(const std::list<std::string>& addresses, const ConnSettings& settings,
                     std::vector<std::string>* resolved) {
    std::list<std::string> texts;
    VkIpcFactory* factory = patterns::VkSingleton<VkIpcFactory>::Instance();
    for (const std::string& text : addresses) {
        if (ParsePidFile(texts, text)) continue;
        const std::shared_ptr<VkIpcAddress> address = factory->CreateAddress(text);
        if (!address) {
            ipcLog(VK_LOG_ERROR, [&] { return "can`t create incorrect address: " + text; });
            throw base::VkParameterError("Session::Open", "address", text);
        }
        texts.push_back(address->GetSpec());
    }
    // Calls still counted belong to the callers that have not left yet.
    setCanceled(m_calls, false);
    getState()->Open(*this, texts, settings);
    if (resolved) resolved->assign(texts.begin(), texts.end());
    return true;
}

bool VkSession::Close() {
    getState()->Close(*this);
    m_calls.WaitFor(0, base::kDeadlineInfinite, true);
    return true;
}

bool VkSession::Suspend() {
    getState()->Suspend(*this);
    return true;
}

bool VkSession::Resume() {
    getState()->Resume(*this);
    return true;
}

void VkSession::AppendStatistics(const std::string& fileName) { GetPoolManager().AppendStatistics(fileName); }

void VkSession::ReleaseConnection(std::shared_ptr<VkIPC> connection) {
    CountedCall countedOut{m_calls};
    getState()->ReleaseConnection(*this, connection);
}

bool VkSession::ExecuteWithTimeout(VkProtocol* protocol, int32_t seconds) {
    return Execute(protocol, inSeconds(seconds));
}

bool VkSession::Execute(VkProtocol* protocol, const base::VkDeadline& deadline) {
    m_calls.Increase();
    CountedCall countedOut{m_calls};
    process(protocol);
    base::VkDeadline callDeadline(deadline);
    callDeadline.normalize();
    const std::shared_ptr<VkIPC> connection = AcquireConnection(callDeadline);
    return RunExchange(protocol, connection, callDeadline);
}

std::shared_ptr<VkIPC> VkSession::AcquireConnection(const base::VkDeadline& deadline) {
    base::VkDeadline waitDeadline(deadline);
    const base::VkTimeout acquireTimeout = GetAcquireTimeout();
    if (!acquireTimeout.isInfinite()) {
        const base::VkDeadline bound(acquireTimeout);
        if (bound < waitDeadline) waitDeadline = bound;
    }
    try {
        if (passed(waitDeadline))
            throw base::VkTimedOut("Session::Execute - waiting for a connection", waitDeadline);
        for (;;) {
            try {
                return getState()->AquireConnection(*this, waitDeadline);
            } catch (const base::VkNeedRecall&) {
                ipcLog(VK_LOG_DEBUG,
                       [] { return std::string("Session::Execute - a state has been changed, call again"); });
            }
        }
    } catch (const base::VkTimedOut& e) {
        OnAcquireTimeout(e);
        throw;  // not reached: OnAcquireTimeout always throws
    } catch (const base::VkThreadCanceled& e) {
        ipcLog(VK_LOG_DEBUG, [&] { return std::string("Session::Execute - ") + e.what(); });
        throw;
    } catch (const std::exception& e) {
        ipcLog(VK_LOG_ERROR,
               [&] { return "error for address(es) [" + GetPoolManager().AddressesText() + "]: " + e.what(); });
        throw;
    }
}

bool VkSession::RunExchange(VkProtocol* protocol, const std::shared_ptr<VkIPC>& connection,
                            const base::VkDeadline& deadline) {
    const base::VkTimeout& executeTimeout = GetExecuteTimeout();
    ipcLog(VK_LOG_DEBUG, [&] { return "Session::Execute - execute timeout is " + executeTimeout.toString(); });
    // A finite execute timeout counts from the moment a connection is there.
    const base::VkDeadline runDeadline = executeTimeout.isInfinite() ? deadline : base::VkDeadline(executeTimeout);
    try {
        const bool result = Exchange(protocol, connection, runDeadline);
        if (result)
            getState()->ReleaseConnection(*this, connection);
        else
            GetPoolManager().CloseConnection(connection);
        return result;
    } catch (const base::VkSessionDestroyed& e) {
        ipcLog(VK_LOG_WARN, [&] { return std::string("Session::Execute (session destroyed)- ") + e.what(); });
        throw;
    } catch (const base::VkThreadCanceled& e) {
        // An exchange that did not complete leaves the stream out of step:
        // the connection must not carry another one.
        ipcLog(VK_LOG_DEBUG, [&] { return std::string("Session::Execute - ") + e.what(); });
        GetPoolManager().CloseConnection(connection);
        throw;
    } catch (const std::exception& e) {
        ipcLog(VK_LOG_ERROR,
               [&] { return "error for address(es) [" + GetPoolManager().AddressesText() + "]: " + e.what(); });
        GetPoolManager().CloseConnection(connection);
        throw;
    }
}

bool VkSession::Exchange(VkProtocol* protocol, const std::shared_ptr<VkIPC>& connection,
                         const base::VkDeadline& deadline) {
    struct Listed {
        VkSession& session;
        const std::shared_ptr<VkIPC>& connection;
        Listed(VkSession& s, const std::shared_ptr<VkIPC>& c) : session(s), connection(c) {
            std::lock_guard<std::mutex> lock(session.m_exchangesMutex);
            session.m_exchanges.insert(connection);
        }
        ~Listed() {
            std::lock_guard<std::mutex> lock(session.m_exchangesMutex);
            session.m_exchanges.erase(connection);
        }
    } listed(*this, connection);
    ++m_exchangesStarted;
    return _Execute(protocol, connection, deadline);
}

}  // namespace ipc
}  // namespace velka
