// io_service_runner_t: start, the guarded run loop and the stop.
#include "ipc/transport/io_service_runner.h"

#include <pthread.h>

#include <exception>
#include <string>

#include "base/app_log.h"

namespace velka {
namespace ipc {

std::shared_ptr<io_service_runner_t> io_service_runner_t::create() {
    // Should the control block fail to allocate, shared_ptr runs destroy.
    return std::shared_ptr<io_service_runner_t>(new io_service_runner_t(), &io_service_runner_t::destroy);
}

void io_service_runner_t::destroy(io_service_runner_t* runner) {
    if (runner == nullptr) return;
    runner->m_work.reset();
    if (runner->is_runner_thread()) {
        // The last reference went inside one of the runner's own handlers:
        // the thread cannot join itself, so another one waits for it to end.
        std::thread([runner] { delete runner; }).detach();
        return;
    }
    delete runner;
}

io_service_runner_t::io_service_runner_t()
    : m_work(new boost::asio::executor_work_guard<boost::asio::io_context::executor_type>(m_io.get_executor())) {
    // Started last, once the context and the work guard exist.
    m_thread = std::thread([this] { run(); });
}

io_service_runner_t::~io_service_runner_t() {
    m_work.reset();
    if (m_thread.joinable()) m_thread.join();
}

bool io_service_runner_t::is_runner_thread() const { return std::this_thread::get_id() == m_thread.get_id(); }

void io_service_runner_t::run() {
    pthread_setname_np(pthread_self(), "vk-io-runner");
    for (;;) {
        try {
            m_io.run();
            return;
        } catch (const std::exception& e) {
            LogClass& logger = getIpcLogger();
            if (logger.isErrorEnabled())
                logger.log(VK_LOG_ERROR, std::string("io_service_runner_t: a handler failed: ") + e.what());
        } catch (...) {
            LogClass& logger = getIpcLogger();
            if (logger.isErrorEnabled())
                logger.log(VK_LOG_ERROR, "io_service_runner_t: a handler failed with an unknown exception");
        }
    }
}

}  // namespace ipc
}  // namespace velka
