// VkMaintainThread: the one thread of a persistent pool, which runs the
// pool's maintain loop until the loop is told to stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace velka {
namespace ipc {

class VkIfMaintainedPool;

class VkMaintainThread {
public:
    // Starts the thread. A null pool throws VkParameterError and starts
    // nothing.
    VkMaintainThread(VkIfMaintainedPool* maintainedPool, const std::string& name);
    // Joins the thread. The owner makes Maintain end first (the stop
    // command); a thread resting after a failed loop ends at once.
    virtual ~VkMaintainThread();
    // Waits at most the period for the thread body to end; true once it has.
    bool WaitEnded(std::chrono::milliseconds period);
    VkMaintainThread(const VkMaintainThread&) = delete;
    VkMaintainThread& operator=(const VkMaintainThread&) = delete;

protected:
    // The thread body: Maintain, entered again half a second after any
    // exception other than VkThreadCanceled, so that one failing pass
    // neither ends the process nor leaves the pool without its thread.
    virtual void run();

private:
    VkIfMaintainedPool* m_maintainedPool;
    std::string m_name;
    std::mutex m_mutex;
    std::condition_variable m_stopChanged;
    bool m_stopping = false;
    bool m_ended = false;
    std::thread m_thread;
};

}  // namespace ipc
}  // namespace velka
