// MonitorServer: the daemon's monitor with its control server, which serves
// reload and update requests on /Monitor/Address from monitorProtoThread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include <boost/thread/thread.hpp>

#include "base/vk_time.h"
#include "control/reload_comp_server.h"
#include "control/stop_app_server.h"
#include "control/thread_safety_monitor.h"
#include "control/update_server.h"

namespace velka {
namespace ipc {
class VkPDU;
class VkServerSession;
}  // namespace ipc
}  // namespace velka

class MonitorServer : public ThreadSafetyMonitor {
public:
    MonitorServer(const std::string& confPath, const std::string& runList, bool updateMode,
                  std::unique_ptr<AgentLink> agent = nullptr);
    ~MonitorServer() override;

    // Opens the control server (not in a check run), starts the monitor,
    // then the control thread. Throws Monitor::InitError.
    void start() override;
    // Stops the monitor, then cancels and closes the control server and
    // joins its thread. A second call finds nothing left to do.
    void stop() override;

    // The handlers of the two protocol servers; they reach the monitor
    // through the mediator only.
    static bool reloadCompProcessor(const std::list<int32_t>& pids);
    static velka::varno::UpdateAnswer updateProcessor(const velka::varno::UpdateRequest& request);
    // Only records the request; no server of the control session uses it.
    static void stopAppProcessor(const velka::varno::StopAppRequest& request);
    // True unless the program runs a check ("check-only" or "check-all").
    static bool isControlServerEnabled();

private:
    // The protocol servers of the control session serve loopback and
    // unix-socket peers only: the control address may be an inet one.
    class ReloadCompServer : public velka::varno::VkReloadCompServer {
    public:
        ReloadCompServer();
        bool BuildResponse(velka::ipc::VkPDU& in, velka::ipc::VkPDU& out) override;
    };
    // The update's reply gets a deadline of its own: the script may have
    // used up the exchange's time.
    class UpdateServer : public velka::varno::VkUpdateServer {
    public:
        UpdateServer();
        void setReplyTimeout(const velka::base::VkTimeout& timeout) { m_replyTimeout = timeout; }
        bool BuildResponse(velka::ipc::VkPDU& in, velka::ipc::VkPDU& out) override;

    private:
        velka::base::VkTimeout m_replyTimeout;
    };

    void createServer(const std::list<std::string>& addresses, unsigned timeoutSeconds);
    void closeServer();
    void monitorProtoThread();
    // Waits up to the time given, or until the server stops.
    void pause(std::chrono::milliseconds time);

    std::unique_ptr<velka::ipc::VkServerSession> pSession;
    ReloadCompServer m_reloadServer;
    UpdateServer m_updateServer;
    std::atomic<bool> m_stopping{false};
    bool m_protoEnded = false;  // the thread has left its loop; guarded by m_pauseLock
    std::mutex m_pauseLock;
    std::condition_variable m_wake;
    boost::thread m_protoThread;
};
