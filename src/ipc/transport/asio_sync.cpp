// zero_ref_notifier_t and the out-of-line helpers of run_op.
#include "ipc/transport/asio_sync.h"

#include <boost/thread/locks.hpp>
#include <boost/thread/thread.hpp>

#include "base/app_log.h"
#include "base/vk_exception.h"

std::shared_ptr<zero_ref_notifier_t> zero_ref_notifier_t::create() {
    return std::shared_ptr<zero_ref_notifier_t>(new zero_ref_notifier_t());
}

zero_ref_notifier_t::zero_ref_notifier_t() : m_counted(&m_data, &notify_data_t::notify) {}

void zero_ref_notifier_t::notify_data_t::notify(notify_data_t* data) {
    boost::lock_guard<boost::mutex> lock(data->mutex);
    data->done = true;
    data->changed.notify_all();
}

zero_ref_notifier_t::ref_t zero_ref_notifier_t::get_ref() { return ref_t(shared_from_this(), m_counted); }

void zero_ref_notifier_t::wait() {
    m_counted.reset();
    boost::unique_lock<boost::mutex> lock(m_data.mutex);
    while (!m_data.done) m_data.changed.wait(lock);
}

bool zero_ref_notifier_t::timed_wait(const boost::posix_time::time_duration& period) {
    m_counted.reset();
    boost::unique_lock<boost::mutex> lock(m_data.mutex);
    if (m_data.done) return true;
    m_data.changed.timed_wait(lock, period);
    return m_data.done;
}

void zero_ref_notifier_t::wait_uninterruptibly() {
    boost::this_thread::disable_interruption noInterruption;
    wait();
}

namespace asio_sync {
namespace detail {

void refuse_on_runner_thread() {
    throw velka::base::VkException(
        "asio_sync::run_op: called on the thread that runs the socket's I/O service; "
        "the operation could only complete on this same thread");
}

void report_lost_handler() {
    LogClass& logger = getIpcLogger();
    if (logger.isErrorEnabled())
        logger.log(VK_LOG_ERROR, "asio_sync::run_op: the operation's handler never ran (I/O service torn down?)");
}

}  // namespace detail
}  // namespace asio_sync
