// VkIfPoolManager: the interface through which a session's states drive the
// connection pool behind the session.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

namespace velka {
namespace base {
class VkDeadline;
}

namespace ipc {

class VkIPC;
class VkConnectionObserver;
struct ConnSettings;

class VkIfPoolManager {
public:
    virtual ~VkIfPoolManager() = default;

    // Stores the addresses and settings and opens the pool.
    virtual bool Init(const std::list<std::string>& addresses, const ConnSettings& settings, bool flag) = 0;
    // Changes addresses and settings of an open pool in place.
    virtual bool Reinit(const std::list<std::string>& addresses, const ConnSettings& settings, bool flag) = 0;
    virtual bool Close() = 0;
    virtual bool Suspend() = 0;
    virtual bool Resume() = 0;
    // Makes the given thread's wait in the pool end with VkThreadCanceled.
    virtual bool CancelThread(pthread_t thread) = 0;
    // Waits (while the session is suspended) until the pool's state changes.
    virtual bool WaitStateChange(const base::VkDeadline& deadline) = 0;
    // Wakes every thread that waits in the pool.
    virtual void Wakeup() = 0;
    virtual bool RunMaintainer() = 0;
    virtual bool StopMaintainer() = 0;
    // The address texts joined by ", ".
    virtual std::string AddressesText() const = 0;
    // A ready connection, waiting for one until the deadline.
    virtual std::shared_ptr<VkIPC> GetReady(const base::VkDeadline& deadline) = 0;
    // Gives a used connection back.
    virtual void Release(const std::shared_ptr<VkIPC>& connection) = 0;
    // Closes a connection that failed; never throws.
    virtual void CloseConnection(std::shared_ptr<VkIPC> connection) = 0;
    virtual void SetValue(VkConnectionObserver* observer) = 0;
    virtual void CorrectConnectionsNum(uint32_t number) = 0;
    // A copy: the settings change (Init, Reinit, Close) while callers and
    // the maintain thread read them.
    virtual ConnSettings GetConnSettings() const = 0;
    // Appends a statistics report to the file when statistics are on.
    virtual void AppendStatistics(const std::string& fileName) = 0;
};

}  // namespace ipc
}  // namespace velka
