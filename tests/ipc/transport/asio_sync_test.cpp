// Blocking operations with a timeout over a socket pair and a unix socket.
#include "ipc/transport/asio_sync.h"

#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "ipc/transport/io_service_runner.h"

namespace {

using boost::posix_time::milliseconds;
using boost::posix_time::pos_infin;
using boost::posix_time::seconds;
using velka::ipc::io_service_runner_t;

TEST(AsioSync, SmokeReadAfterPeerWrite) {
    auto runner = io_service_runner_t::create();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    boost::asio::posix::stream_descriptor descriptor(runner->get_io_context(), fds[0]);
    ASSERT_EQ(write(fds[1], "abcd", 4), 4);
    char buffer[4];
    boost::system::error_code ec;
    asio_sync::run_op(ec, descriptor, asio_sync::op_read(buffer, 4), milliseconds(200), {}, seconds(1));
    EXPECT_FALSE(ec) << ec.message();
    asio_sync::run_op(ec, descriptor, asio_sync::op_write("x", 1), pos_infin, {}, seconds(1));
    asio_sync::run_op(ec, descriptor, asio_sync::op_wait_read(), milliseconds(10), {}, seconds(1));
    EXPECT_EQ(ec.value(), ETIMEDOUT);
    close(fds[1]);
    // An unassigned descriptor cannot be duplicated: EBADF, no connect.
    boost::asio::posix::stream_descriptor none(runner->get_io_context());
    asio_sync::connect_descriptor<boost::asio::local::stream_protocol>(
        ec, none, boost::asio::local::stream_protocol::endpoint("/nonexistent"), milliseconds(100), {}, seconds(1));
    EXPECT_EQ(ec.value(), EBADF);
    asio_sync::connect_descriptor<boost::asio::ip::tcp>(
        ec, none, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 1), milliseconds(100), {},
        seconds(1));
    EXPECT_EQ(ec.value(), EBADF);
}

}  // namespace
