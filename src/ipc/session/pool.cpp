// Pool: making client and server connections for the persistent pools.
#include "ipc/session/pool.h"

#include <stdexcept>
#include <string>

#include "base/vk_exception.h"
#include "ipc/session/connection_observer.h"
#include "ipc/session/session_pool_manager.h"
#include "ipc/transport/ipc_factory.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {
namespace Pool {

namespace {

// One connect of the endpoint; throws when it fails or is refused, and
// VkThreadCanceled when the pool's gate was cancelled (which also ends a
// connect in progress): each is one failed attempt for the caller.
void connectOnce(VkSessionPoolManager& manager, const std::shared_ptr<VkIPC>& connection) {
    manager.Pause();
    ipcLog(VK_LOG_DEBUG, [&] { return "call connect to " + connection->GetDescription() + "..."; });
    bool connected;
    manager.ConnectStarting(connection);
    try {
        connected = connection->Connect(manager.GetConnectTimeout(), &manager);
    } catch (...) {
        manager.ConnectEnded(connection);  // a cancel's closed endpoint ends here
        throw;
    }
    manager.ConnectEnded(connection);
    if (!connected)
        throw base::VkException("CreateClientConnection - cannot establish a " + connection->GetDescription());
    VkConnectionObserver* observer = manager.GetObserver();
    if (observer && !observer->AcceptConnection(connection)) {
        connection->Close();
        throw base::VkException("CreateClientConnection - a new connection " + connection->GetDescription() +
                                " was not accepted by session manager");
    }
}

// The connection to one address, or null when the text gives no endpoint
// or no attempt is made; throws the logic_error of the last failed attempt.
std::shared_ptr<VkIPC> connectTo(VkSessionPoolManager& manager, const std::string& spec) {
    std::shared_ptr<VkIPC> connection = manager.GetFactory()->CreateBySpec("", spec);
    if (!connection) {
        ipcLog(VK_LOG_DEBUG, [&] { return "Pool::CreateClientConnection - cannot create connection to " + spec; });
        return nullptr;
    }
    for (uint32_t attempt = 0; attempt < manager.GetConnectAttempts();) {
        try {
            connectOnce(manager, connection);
            ipcLog(VK_LOG_INFO,
                   [&] { return "Pool::CreateClientConnection - an established " + connection->GetDescription(); });
            return connection;
        } catch (const std::exception& e) {
            if (++attempt == manager.GetConnectAttempts())
                throw std::logic_error("attempt to create connection to " + spec + " failed: " + e.what());
        }
    }
    return nullptr;
}

}  // namespace

std::shared_ptr<VkIPC> CreateClientConnection(VkSessionPoolManager* manager) {
    if (!manager) {
        ipcLog(VK_LOG_FATAL, [] { return std::string("Pool::CreateClientConnection - null reference to a manager"); });
        throw base::VkParameterError("CreateClientConnection", "PoolManager", "null");
    }
    const std::list<std::string>& addresses = manager->GetAddresses();
    for (auto it = addresses.begin(); it != addresses.end(); ++it) {
        try {
            if (std::shared_ptr<VkIPC> connection = connectTo(*manager, *it)) return connection;
        } catch (const std::exception& e) {
            if (std::next(it) == addresses.end()) throw;
            ipcLog(VK_LOG_DEBUG, [&] {
                return "Pool::CreateClientConnection - cannot create connection to " + *it + " because " + e.what();
            });
        }
    }
    return nullptr;
}

std::shared_ptr<VkIPC> CreateServerConnection(VkSessionPoolManager* manager, std::shared_ptr<VkIPC>& listening) {
    if (!manager) {
        ipcLog(VK_LOG_FATAL, [] { return std::string("Pool::CreateServerConnection - null reference to a manager"); });
        throw base::VkParameterError("CreateServerConnection", "PoolManager", "null");
    }
    if (!listening) {
        ipcLog(VK_LOG_DEBUG,
               [] { return std::string("Pool::CreateServerConnection - null reference to a listening connection"); });
        throw base::VkParameterError("CreateServerConnection", "ListeningConnection", "null");
    }
    manager->Pause();
    try {
        ipcLog(VK_LOG_DEBUG, [&] {
            return "Pool::CreateServerConnection - ready to accept connection at " + listening->GetDescription();
        });
        std::shared_ptr<VkIPC> accepted = listening->Accept(manager->GetListenQueue(), manager->GetAcceptTimeout());
        if (!accepted) return nullptr;
        VkConnectionObserver* observer = manager->GetObserver();
        if (observer && !observer->AcceptConnection(accepted)) {
            accepted->Close();
            throw base::VkException("new connection was not accepted by session manager");
        }
        ipcLog(VK_LOG_DEBUG,
               [&] { return "Pool::CreateServerConnection - an accepted " + accepted->GetDescription(); });
        return accepted;
    } catch (const std::exception& e) {
        ipcLog(VK_LOG_DEBUG, [&] {
            return "Pool::CreateServerConnection - cannot accept a connection at " + listening->GetDescription() +
                   " because " + e.what();
        });
        throw;
    }
}

}  // namespace Pool
}  // namespace ipc
}  // namespace velka
