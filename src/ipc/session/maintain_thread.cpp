// VkMaintainThread: the one thread of a persistent pool, which runs the
// pool's maintain loop until the loop is told to stop.
#include "ipc/session/maintain_thread.h"

#include <chrono>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/session/maintained_pool.h"

namespace velka {
namespace ipc {

namespace {
const std::chrono::milliseconds kRestartPause(500);
}

VkMaintainThread::VkMaintainThread(VkIfMaintainedPool* maintainedPool, const std::string& name)
    : m_maintainedPool(maintainedPool), m_name(name) {
    if (m_maintainedPool == nullptr) {
        LogClass& log = getIpcLogger();
        if (log.isFatalEnabled())
            log.log(VK_LOG_FATAL, m_name + " MaintainThread::ctor - maintained pool doesn't specified");
        throw base::VkParameterError("MaintainThread::ctor", "PoolManager");
    }
    m_thread = std::thread([this] { run(); });
}

VkMaintainThread::~VkMaintainThread() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_stopChanged.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

bool VkMaintainThread::WaitEnded(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_stopChanged.wait_for(lock, period, [this] { return m_ended; });
}

void VkMaintainThread::run() {
    struct Ended {
        VkMaintainThread& thread;
        ~Ended() {
            std::lock_guard<std::mutex> lock(thread.m_mutex);
            thread.m_ended = true;
            thread.m_stopChanged.notify_all();
        }
    } ended{*this};
    LogClass& log = getIpcLogger();
    for (;;) {
        try {
            m_maintainedPool->Maintain();
            return;
        } catch (const base::VkThreadCanceled&) {
            if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "VkMaintainThread: catch stop thread");
            return;
        } catch (const std::exception& e) {
            if (log.isFatalEnabled())
                log.log(VK_LOG_FATAL, m_name + " MaintainThread::run exception(" + e.what() + ")");
        } catch (...) {
            if (log.isFatalEnabled()) log.log(VK_LOG_FATAL, m_name + " MaintainThread::run exception(unknown)");
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stopChanged.wait_for(lock, kRestartPause, [this] { return m_stopping; })) return;
        if (log.isInfoEnabled()) log.log(VK_LOG_INFO, m_name + " MaintainThread::run - maintain loop restarted");
    }
}

}  // namespace ipc
}  // namespace velka
