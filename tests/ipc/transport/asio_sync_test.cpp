// Blocking operations with a timeout over socket pairs, unix and TCP
// listeners: results, timing, cancellation, refusal on the runner thread and
// the drain before an exception leaves.
#include "ipc/transport/asio_sync.h"

#include <netinet/in.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "base/vk_exception.h"
#include "ipc/transport/io_service_runner.h"
#include "support/temp_dir.h"
#include "transport_test_support.h"

namespace {

using boost::posix_time::milliseconds;
using boost::posix_time::time_duration;
using boost::system::error_code;
using velka::ipc::io_service_runner_t;
using Clock = std::chrono::steady_clock;
namespace local = boost::asio::local;

const error_code kTimedOut(ETIMEDOUT, boost::system::system_category());
const time_duration kPeriod = boost::posix_time::seconds(1);

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class AsioSync : public testing::Test {
protected:
    std::shared_ptr<io_service_runner_t> runner = io_service_runner_t::create();
    boost::asio::io_context& io = runner->get_io_context();
};

// What the peer does: nothing, writes (after 50 ms in the single calls), or
// closes its end.
enum class Peer { Silent, Answers, Closes };

struct ReadCase {
    const char* name;
    Peer peer;
    time_duration timeout;
    error_code expected;
    double minSeconds, maxSeconds;
};

TEST_F(AsioSync, ReadsExactlyOrTimesOutOrMeetsEndOfFile) {
    const ReadCase cases[] = {
        {"silent peer", Peer::Silent, milliseconds(200), kTimedOut, 0.2, 1.2},
        {"answer in time", Peer::Answers, milliseconds(200), error_code(), 0.04, 1.0},
        {"closed peer", Peer::Closes, milliseconds(200), boost::asio::error::eof, 0.0, 1.0},
        {"infinite timeout", Peer::Answers, boost::posix_time::pos_infin, error_code(), 0.04, 1.0},
        {"zero timeout", Peer::Silent, milliseconds(0), kTimedOut, 0.0, 1.0},
        {"negative timeout", Peer::Silent, boost::posix_time::neg_infin, kTimedOut, 0.0, 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vktest::SocketPair pair(io);
        // Taken before the peer starts: its pause then lies within what is
        // measured, however late this thread gets to the call.
        const auto start = Clock::now();
        std::thread peer([&] {
            if (c.peer == Peer::Closes) pair.closePeer();
            if (c.peer != Peer::Answers) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ASSERT_EQ(::write(pair.peer, "abcdEF", 6), 6);
        });
        char buffer[4] = {};
        error_code ec = boost::asio::error::fault;
        asio_sync::run_op(ec, pair.descriptor, asio_sync::op_read(buffer, sizeof buffer), c.timeout, {}, kPeriod);
        const double elapsed = secondsSince(start);
        peer.join();
        EXPECT_EQ(ec, c.expected) << ec.message();
        EXPECT_GE(elapsed, c.minSeconds);
        EXPECT_LE(elapsed, c.maxSeconds);
        if (!c.expected) {
            EXPECT_EQ(std::string(buffer, 4), "abcd");
        }
    }
}

// A descriptor that counts the cancellations asked of it.
struct CountingDescriptor {
    typedef boost::asio::posix::stream_descriptor::wait_type wait_type;
    static constexpr wait_type wait_read = boost::asio::posix::stream_descriptor::wait_read;

    boost::asio::posix::stream_descriptor& inner;
    std::atomic<int>& cancels;

    auto get_executor() { return inner.get_executor(); }
    template <typename Handler>
    void async_wait(wait_type type, Handler&& handler) {
        inner.async_wait(type, std::forward<Handler>(handler));
    }
    void cancel(error_code& ec) {
        ++cancels;
        inner.cancel(ec);
    }
};

// With a timer, the timer's handler cancels the socket once the wait has
// completed; an infinite timeout arms no timer, so nothing cancels it.
TEST_F(AsioSync, AnInfiniteTimeoutArmsNoTimer) {
    for (const bool infinite : {true, false}) {
        SCOPED_TRACE(infinite ? "infinite" : "one second");
        vktest::SocketPair pair(io);
        std::atomic<int> cancels{0};
        CountingDescriptor counting{pair.descriptor, cancels};
        ASSERT_EQ(::write(pair.peer, "x", 1), 1);
        error_code ec = boost::asio::error::fault;
        asio_sync::run_op(ec, counting, asio_sync::op_wait_read(),
                          infinite ? time_duration(boost::posix_time::pos_infin) : boost::posix_time::seconds(1), {},
                          kPeriod);
        EXPECT_FALSE(ec) << ec.message();
        EXPECT_EQ(cancels.load(), infinite ? 0 : 1);
    }
}

TEST_F(AsioSync, AThirdPartyCancelGivesOperationAbortedNotTimedOut) {
    vktest::SocketPair pair(io);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        boost::asio::post(io, [&] { pair.descriptor.cancel(); });
    });
    error_code ec;
    const auto start = Clock::now();
    asio_sync::run_op(ec, pair.descriptor, asio_sync::op_wait_read(), boost::posix_time::seconds(5), {}, kPeriod);
    canceller.join();
    EXPECT_EQ(ec, boost::asio::error::operation_aborted) << ec.message();
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST_F(AsioSync, ACallOnTheRunnerThreadIsRefused) {
    vktest::SocketPair pair(io);
    EXPECT_FALSE(runner->is_runner_thread());
    std::promise<std::string> outcome;
    boost::asio::post(io, [&] {
        try {
            error_code ec;
            asio_sync::run_op(ec, pair.descriptor, asio_sync::op_wait_read(), milliseconds(100), {}, kPeriod);
            outcome.set_value("returned " + ec.message());
        } catch (const velka::base::VkException& e) {
            outcome.set_value(std::string(runner->is_runner_thread() ? "on runner: " : "elsewhere: ") + e.what());
        }
    });
    auto future = outcome.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the runner deadlocked";
    EXPECT_EQ(future.get(),
              "on runner: asio_sync::run_op: called on the thread that runs the socket's I/O service; "
              "the operation could only complete on this same thread");
}

// An exception in the caller's wait (an interruption, a failing periodical
// function) leaves only after the operation's timer has ended it, so the
// handlers never touch a frame that is gone.
TEST_F(AsioSync, AnExceptionInTheWaitLeavesOnlyAfterTheHandlersHaveRun) {
    for (const bool interrupt : {true, false}) {
        SCOPED_TRACE(interrupt ? "interrupted" : "periodical function throws");
        vktest::SocketPair pair(io);
        std::atomic<int> calls{0};
        asio_sync::periodical_func_t periodical;
        if (!interrupt)
            periodical = [&calls] {
                ++calls;
                throw std::runtime_error("periodical");
            };
        std::string caught;
        double elapsed = 0;
        boost::thread caller([&] {
            const auto start = Clock::now();
            try {
                error_code ec;
                asio_sync::run_op(ec, pair.descriptor, asio_sync::op_wait_read(), milliseconds(400), periodical,
                                  milliseconds(50));
                caught = "returned";
            } catch (const boost::thread_interrupted&) {
                caught = "interrupted";
            } catch (const std::runtime_error& e) {
                caught = e.what();
            }
            elapsed = secondsSince(start);
        });
        if (interrupt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            caller.interrupt();
        }
        caller.join();
        EXPECT_EQ(caught, interrupt ? "interrupted" : "periodical");
        EXPECT_GE(elapsed, 0.4);
        EXPECT_LT(elapsed, 1.4);
        EXPECT_EQ(calls.load(), interrupt ? 0 : 1);
    }
}

// A listening unix socket at path.
int listenUnix(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0)
        throw std::runtime_error("cannot listen on " + path);
    return fd;
}

TEST_F(AsioSync, ConnectsAUnixDescriptorOrReportsWhyNot) {
    vktest::TempDir dir;
    const int listener = listenUnix(dir.file("s"));
    vktest::writeFile(dir.file("plain"), "not a socket");
    boost::asio::posix::stream_descriptor opensTheReactor(io);
    const int descriptorsBefore = vktest::descriptorCount();
    struct Case {
        std::string path;
        bool assigned;
        error_code expected;
    };
    const Case cases[] = {
        {dir.file("s"), true, error_code()},
        {dir.file("missing"), true, error_code(ENOENT, boost::system::system_category())},
        {dir.file("plain"), true, error_code(ECONNREFUSED, boost::system::system_category())},
        {dir.file("s"), false, error_code(EBADF, boost::system::system_category())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + (c.assigned ? "" : " (no descriptor)"));
        boost::asio::posix::stream_descriptor descriptor(io);
        if (c.assigned) descriptor.assign(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        error_code ec = boost::asio::error::fault;
        asio_sync::connect_descriptor<local::stream_protocol>(ec, descriptor, local::stream_protocol::endpoint(c.path),
                                                              milliseconds(500), {}, kPeriod);
        EXPECT_EQ(ec, c.expected) << ec.message();
        if (!c.expected) {
            // The connection stays on the caller's descriptor.
            sockaddr_un peer{};
            socklen_t length = sizeof peer;
            EXPECT_EQ(::getpeername(descriptor.native_handle(), reinterpret_cast<sockaddr*>(&peer), &length), 0);
            const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            EXPECT_GE(accepted, 0);
            ::close(accepted);
        }
    }
    EXPECT_EQ(vktest::descriptorCount(), descriptorsBefore);
    ::close(listener);
}

TEST_F(AsioSync, ConnectsATcpDescriptorOnLoopback) {
    using boost::asio::ip::tcp;
    tcp::acceptor listening(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    const auto open = listening.local_endpoint();
    tcp::endpoint closed;
    {
        tcp::acceptor probe(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        closed = probe.local_endpoint();
    }
    for (const auto& target : {open, closed}) {
        boost::asio::posix::stream_descriptor descriptor(io, ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        error_code ec = boost::asio::error::fault;
        asio_sync::connect_descriptor<tcp>(ec, descriptor, target, milliseconds(1000), {}, kPeriod);
        EXPECT_EQ(ec, target == open ? error_code() : error_code(ECONNREFUSED, boost::system::system_category()))
            << ec.message();
    }
}

// Many callers share one runner; every call returns with the result its
// peer dictates, and a call to a silent peer not before its deadline. How
// long after its deadline a call returns depends on the machine's load
// (a call that never returns shows as the test's own timeout).
TEST_F(AsioSync, StressManyCallersWithAnsweredSilentAndClosedPeers) {
    const int kThreads = 8;
    const int kCalls = 1000;
    const int kTimeoutMs = 10;
    std::atomic<int> wrong{0}, early{0}, raced{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const Peer kind = static_cast<Peer>((i + t) % 3);
                vktest::SocketPair pair(io);
                if (kind == Peer::Answers && ::write(pair.peer, "1234", 4) != 4) ++wrong;
                if (kind == Peer::Closes) pair.closePeer();
                char buffer[4];
                error_code ec;
                const auto start = Clock::now();
                asio_sync::run_op(ec, pair.descriptor, asio_sync::op_read(buffer, 4), milliseconds(kTimeoutMs), {},
                                  kPeriod);
                if (kind == Peer::Silent && Clock::now() - start < std::chrono::milliseconds(kTimeoutMs)) ++early;
                const error_code expected = kind == Peer::Silent  ? kTimedOut
                                            : kind == Peer::Closes ? error_code(boost::asio::error::eof)
                                                                   : error_code();
                // On a busy runner an answer already there may still lose the
                // race to the timer; a silent peer never gives anything else.
                if (ec != expected && kind != Peer::Silent && ec == kTimedOut)
                    ++raced;
                else if (ec != expected)
                    ++wrong;
            }
        });
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(early.load(), 0);
    EXPECT_LT(raced.load(), kThreads * kCalls / 20);
}

}  // namespace
