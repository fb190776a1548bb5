// Blocking calls with a timeout over asynchronous Asio operations: run_op
// with its operations (connect, read all, write all, wait readable) and the
// zero_ref_notifier_t that wakes the caller once no handler is left.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

// Wakes its waiter when the last reference handed out with get_ref is
// dropped. Lives for one blocking call; always owned by shared_ptr.
class zero_ref_notifier_t : public std::enable_shared_from_this<zero_ref_notifier_t> {
public:
    struct notify_data_t {
        boost::mutex mutex;
        boost::condition_variable changed;
        bool done = false;
        // Runs in place of a delete when the count reaches zero.
        static void notify(notify_data_t* data);
    };
    // One counted reference. The members are destroyed second first, so the
    // notifier is still alive while notify runs.
    typedef std::pair<std::shared_ptr<zero_ref_notifier_t>, std::shared_ptr<notify_data_t>> ref_t;

    static std::shared_ptr<zero_ref_notifier_t> create();
    zero_ref_notifier_t(const zero_ref_notifier_t&) = delete;
    zero_ref_notifier_t& operator=(const zero_ref_notifier_t&) = delete;

    ref_t get_ref();
    // Drops the notifier's own reference and waits until no other is left.
    // An interruption point of Boost.Thread.
    void wait();
    // The same, but waits at most one period; true once no reference is left.
    bool timed_wait(const boost::posix_time::time_duration& period);
    // wait() with interruption disabled: used to drain after a failure.
    void wait_uninterruptibly();

private:
    zero_ref_notifier_t();

    notify_data_t m_data;
    std::shared_ptr<notify_data_t> m_counted;  // use count = references out + own
};

namespace asio_sync {

// Called about once a period while a blocking call waits; may be empty.
typedef std::function<void()> periodical_func_t;

template <typename Protocol>
struct op_connect {
    typename Protocol::endpoint endpoint;

    template <typename Socket, typename Handler>
    void async_start(Socket& socket, Handler&& handler) const {
        socket.async_connect(endpoint, std::forward<Handler>(handler));
    }
};

// Fills the whole buffer; end of stream before that is an error (eof).
struct op_read {
    boost::asio::mutable_buffer buffer;

    op_read(void* data, std::size_t size) : buffer(data, size) {}
    template <typename Socket, typename Handler>
    void async_start(Socket& socket, Handler&& handler) const {
        boost::asio::async_read(socket, buffer, boost::asio::transfer_all(), std::forward<Handler>(handler));
    }
};

// Writes the whole buffer.
struct op_write {
    boost::asio::const_buffer buffer;

    op_write(const void* data, std::size_t size) : buffer(data, size) {}
    template <typename Socket, typename Handler>
    void async_start(Socket& socket, Handler&& handler) const {
        boost::asio::async_write(socket, buffer, boost::asio::transfer_all(), std::forward<Handler>(handler));
    }
};

// Completes when the descriptor is readable (data, end of stream or error).
struct op_wait_read {
    template <typename Socket, typename Handler>
    void async_start(Socket& socket, Handler&& handler) const {
        socket.async_wait(Socket::wait_read, std::forward<Handler>(handler));
    }
};

inline void set_ec(std::optional<boost::system::error_code>& target, const boost::system::error_code& ec,
                   const zero_ref_notifier_t::ref_t&) {
    target = ec;
}

template <typename Item>
void set_ec_and_cancel_item(std::optional<boost::system::error_code>& target, const boost::system::error_code& ec,
                            Item& item, const zero_ref_notifier_t::ref_t&) {
    target = ec;
    boost::system::error_code ignored;
    item.cancel(ignored);
}

namespace detail {

// True when the calling thread is running the I/O context behind executor.
template <typename Executor>
bool running_in_this_thread(const Executor& executor) {
    if constexpr (std::is_same<Executor, boost::asio::io_context::executor_type>::value) {
        return executor.running_in_this_thread();
    } else {
        const auto* own = executor.template target<boost::asio::io_context::executor_type>();
        return own != nullptr && own->running_in_this_thread();
    }
}

// Only positive infinity (and not-a-time) mean "no limit"; a negative or
// elapsed timeout expires at once.
inline bool is_limited(const boost::posix_time::time_duration& timeout) {
    return !timeout.is_pos_infinity() && !timeout.is_not_a_date_time();
}

inline std::chrono::microseconds to_chrono(const boost::posix_time::time_duration& timeout) {
    if (timeout.is_neg_infinity() || timeout.is_negative()) return std::chrono::microseconds(0);
    const int64_t kMaxMicros = int64_t(100) * 366 * 24 * 3600 * 1000000;  // keeps the clock from overflowing
    const int64_t micros = timeout.total_microseconds();
    return std::chrono::microseconds(micros > kMaxMicros ? kMaxMicros : micros);
}

// Refuses a call that would wait for completions only its own thread can run.
void refuse_on_runner_thread();

// Logs a call whose operation handler never ran (the I/O context was torn
// down under it).
void report_lost_handler();

}  // namespace detail

// Runs one operation on socket and blocks until it completes or the timeout
// passes (then it is cancelled and ec is ETIMEDOUT in the system category).
// Returns only after every handler of the call has run and been destroyed.
// Must not be called on the thread that runs the socket's I/O context: that
// throws VkException.
template <typename Socket, typename Operation>
void run_op(boost::system::error_code& ec, Socket& socket, const Operation& op,
            const boost::posix_time::time_duration& timeout, const periodical_func_t& periodical,
            const boost::posix_time::time_duration& period) {
    if (detail::running_in_this_thread(socket.get_executor())) detail::refuse_on_runner_thread();

    std::shared_ptr<zero_ref_notifier_t> notifier = zero_ref_notifier_t::create();
    std::optional<boost::system::error_code> ec_op;
    std::optional<boost::system::error_code> ec_tm;
    boost::asio::steady_timer timer(socket.get_executor());
    const bool use_timer = detail::is_limited(timeout);

    try {
        // Every object holding a reference lives in this scope only, so the
        // count can reach zero once the handlers are gone.
        if (!use_timer) {
            // Started on the runner too: another thread's cancel of the
            // socket (posted there) then never meets a half-started wait.
            auto on_op = [&ec_op, ref = notifier->get_ref()](const boost::system::error_code& e, auto&&...) {
                set_ec(ec_op, e, ref);
            };
            boost::asio::post(socket.get_executor(), [&socket, &op, on_op = std::move(on_op)]() mutable {
                op.async_start(socket, std::move(on_op));
            });
        } else {
            // The limit counts from the call, not from when the runner starts.
            timer.expires_after(detail::to_chrono(timeout));
            auto on_timer = [&ec_tm, &socket, ref = notifier->get_ref()](const boost::system::error_code& e) {
                set_ec_and_cancel_item(ec_tm, e, socket, ref);
            };
            auto on_op = [&ec_op, &timer, ref = notifier->get_ref()](const boost::system::error_code& e, auto&&...) {
                set_ec_and_cancel_item(ec_op, e, timer, ref);
            };
            // Started on the runner: the timer first, then the operation, so
            // every start and cancellation happens on that one thread.
            boost::asio::post(socket.get_executor(), [&timer, &socket, &op, on_timer = std::move(on_timer),
                                                      on_op = std::move(on_op)]() mutable {
                timer.async_wait(std::move(on_timer));
                op.async_start(socket, std::move(on_op));
            });
        }
        if (!periodical) {
            notifier->wait();
        } else {
            while (!notifier->timed_wait(period)) periodical();
        }
    } catch (...) {
        // The handlers refer to this frame: wait for them before unwinding.
        notifier->wait_uninterruptibly();
        throw;
    }

    if (!ec_op) {
        detail::report_lost_handler();
        ec = boost::asio::error::operation_aborted;
    } else if (use_timer && ec_tm && *ec_op == boost::asio::error::operation_aborted) {
        // Aborted by the expired timer: timed out. Otherwise the timer's own
        // error (a third party cancelled both) wins.
        ec = ec_tm->failed() ? *ec_tm : boost::system::error_code(ETIMEDOUT, boost::system::system_category());
    } else {
        ec = *ec_op;
    }
}

// Connects the socket behind descriptor to endpoint within the timeout. The
// connect runs on a close-on-exec duplicate, so the connection stays on
// the caller's descriptor. A failed duplicate is returned in ec; a failed
// assignment throws boost::system::system_error ("assign").
template <typename Protocol>
void connect_descriptor(boost::system::error_code& ec, boost::asio::posix::stream_descriptor& descriptor,
                        const typename Protocol::endpoint& endpoint, const boost::posix_time::time_duration& timeout,
                        const periodical_func_t& periodical, const boost::posix_time::time_duration& period) {
    typename Protocol::socket socket(descriptor.get_executor());
    const int duplicate = ::fcntl(descriptor.native_handle(), F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) {
        ec = boost::system::error_code(errno, boost::system::system_category());
        return;
    }
    boost::system::error_code assigned;
    socket.assign(endpoint.protocol(), duplicate, assigned);
    if (assigned) {
        ::close(duplicate);
        throw boost::system::system_error(assigned, "assign");
    }
    run_op(ec, socket, op_connect<Protocol>{endpoint}, timeout, periodical, period);
}

}  // namespace asio_sync
