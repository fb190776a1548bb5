// VkPersistentPoolManager: a pool that keeps its connections open between
// exchanges, in an established and a donor list, steered by one maintain
// thread through a control pipe; caller threads wait in it for a ready
// connection, sleep in it while the session is suspended, and can be
// cancelled by other threads.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>


#include "base/vk_multi_event.h"
#include "ipc/session/event_list.h"
#include "ipc/session/maintained_pool.h"
#include "ipc/session/session_pool_manager.h"

namespace velka {
namespace base {
class VkControl;
}

namespace ipc {

class VkMaintainThread;

// True when the peer of an idle connection has closed it: readable, and a
// one-byte peek finds the end of the stream or an error (EAGAIN means open).
bool IsPeerClosed(const std::shared_ptr<VkIPC>& connection);

class VkPersistentPoolManager : public VkSessionPoolManager, public VkIfMaintainedPool {
public:
    explicit VkPersistentPoolManager(VkIpcFactory* factory);
    // Every concrete pool calls StopMaintainer first thing in its own
    // destructor, so that the loop never runs hooks of a half-destroyed
    // object; this destructor stops a thread still running as a last resort.
    ~VkPersistentPoolManager() override;

    bool Resume() override;
    // The session's state change: wakes every thread waiting or sleeping in
    // the pool and waits (bounded) until the sleepers have left.
    void Wakeup() override { WakeUpAll(); }
    // Starts the control pipe and the maintain thread; a pool opened again
    // after a close also gets its pause gate lowered again.
    bool RunMaintainer() override;
    // Stops and joins the maintain thread, then drops the control pipe; a
    // connect of the thread in progress is ended (CancelPause).
    bool StopMaintainer() override;
    // Puts a connection that is still connected back; closes any other, and
    // one that IsListed refuses.
    void Release(const std::shared_ptr<VkIPC>& connection) override;
    void CloseConnection(Connection connection) override;
    void CloseSurplus(uint32_t n) override;
    void Refresh() override;
    void WriteStatistics(std::ostream& out, int32_t seconds) override;
    // The maintain loop: one poll per pass over the control pipe, the
    // established connections and the derived pool's extra entries.
    void Maintain() override;

    void WakeUpAll();
    // Waits until the deadline for a state change, a ready or closed
    // connection; the caller's lock is released while waiting.
    bool Sleep(const base::VkDeadline& deadline, std::unique_lock<std::mutex>& callerLock);
    // One step of a wait for a ready connection, of at most a second and
    // at most the timeout: returns after a ready or closed connection or an
    // empty step, so that the caller looks at its list again; throws
    // VkTimedOut when the timeout has run out, VkNeedRecall after a state
    // change, VkThreadCanceled on a cancel of this thread or destruction.
    void _WaitReady(const base::VkTimeout& timeout);
    // Asks a thread waiting in the pool to end with VkThreadCanceled and
    // waits up to 3 s for its acknowledgement; a request still unanswered
    // then is withdrawn (false).
    bool Cancel(pthread_t thread);
    // Throws VkThreadCanceled when the calling thread was asked to cancel.
    void CheckCancelAndExitIfNeed();

    const std::string& GetName() const { return m_name; }

protected:
    void OnAddressesAdded(const std::list<std::string>&) override { Refresh(); }
    // Closes both lists uncounted and wakes every waiter, which then
    // retries and finds the session closed.
    void OnClose() override;

    // Hooks of the maintain loop.
    virtual bool PrepareMaintain() = 0;
    virtual bool AppendDonorPool(VkEventList& waitList) = 0;
    virtual void ProcessDonorPool(VkEventListEntry& entry) = 0;
    virtual void ProcessEstablishedPool(VkEventListEntry& entry) = 0;
    virtual void OnWaitTimeout() {}
    // Called with m_established_mutex held; may shorten the loop's wait.
    virtual void SetWaitTimeout(base::VkTimeout&) {}
    // Whether an empty step of _WaitReady asks the maintain thread to look
    // at the pool again.
    virtual bool IsStepWait() = 0;
    // Whether the connection leads to an address of the pool's list; one
    // that does not is closed, not given back. Called with
    // m_established_mutex held.
    virtual bool IsListed(const Connection&) { return true; }

    // An idle connection that the pool closes by itself (idle expiry, found
    // unusable): closed uncounted, counted in the statistics, and the
    // maintain thread told.
    void CloseIdleConnection(Connection connection);
    // An established connection found broken or in an unusable state: it
    // leaves the established list, is closed uncounted with a WARN record
    // (description + reason), and the thread pauses half a second.
    void CloseBrokenConnection(const Connection& connection, const std::string& reason);
    // Half a second's rest of the maintain thread after a failure; a stop
    // of the maintainer ends it early.
    void MakePause();
    std::shared_ptr<base::VkControl> Control() const;

    std::string m_name;
    ConnectionList m_established;
    std::mutex m_established_mutex;
    ConnectionList m_donor;
    std::mutex m_donor_mutex;

private:
    void CloseLists();
    void StopThread();

    std::mutex m_keeper_mutex;  // serialises starting and stopping the thread
    std::unique_ptr<VkMaintainThread> m_keeper;
    mutable std::mutex m_ctl_mutex;  // guards the pointer m_keeper_ctl only
    std::shared_ptr<base::VkControl> m_keeper_ctl;
    base::VkMultiEvent m_cancel_ack;
    std::list<pthread_t> m_cancel_requests;
    std::mutex m_cancel_mutex;
    std::mutex m_sleep_mutex;
    std::condition_variable m_sleep_changed;
    int32_t m_sleep_num = 0;
    std::mutex m_stat_mutex;
    int32_t m_closed_num = 0;
    std::mutex m_rest_mutex;
    std::condition_variable m_rest_changed;
    bool m_stopping = false;

    static const std::set<unsigned> m_sleep_ids;
    static const std::set<unsigned> m_cancel_ids;
};

}  // namespace ipc
}  // namespace velka
