// io_service_runner_t: one Asio I/O context and the one thread that runs
// it; every asynchronous completion of the endpoints made on it runs there.
#pragma once

#include <memory>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace velka {
namespace ipc {

class io_service_runner_t {
public:
    // A new runner whose thread is already running, owned through destroy.
    static std::shared_ptr<io_service_runner_t> create();
    // Stops the runner once no operation is left, joins its thread and
    // frees it; null does nothing.
    static void destroy(io_service_runner_t* runner);

    io_service_runner_t(const io_service_runner_t&) = delete;
    io_service_runner_t& operator=(const io_service_runner_t&) = delete;

    boost::asio::io_context& get_io_context() { return m_io; }
    // True on the runner's own thread, where no blocking call may be made.
    bool is_runner_thread() const;

private:
    io_service_runner_t();
    ~io_service_runner_t();
    // Runs the context until the work guard is gone; a handler that throws
    // is logged and the loop goes on.
    void run();

    boost::asio::io_context m_io;
    std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> m_work;
    std::thread m_thread;
};

}  // namespace ipc
}  // namespace velka
