// The I/O runner: one thread however much uses it, survival of a throwing
// handler, and the stop.
#include "ipc/transport/io_service_runner.h"

#include <future>
#include <set>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "base/app_log.h"
#include "ipc/transport/asio_sync.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "transport_test_support.h"

namespace {

using velka::ipc::io_service_runner_t;

int runnerThreads() { return vktest::threadsNamed("vk-io-runner"); }

std::thread::id runOnRunner(io_service_runner_t& runner) {
    std::promise<std::thread::id> id;
    boost::asio::post(runner.get_io_context(), [&id] { id.set_value(std::this_thread::get_id()); });
    return id.get_future().get();
}

TEST(IoServiceRunner, OneThreadServesEveryCallerAndEndsWithTheRunner) {
    {
        auto runner = io_service_runner_t::create();
        EXPECT_TRUE(vktest::eventually([] { return runnerThreads() == 1; }, 5));
        std::vector<std::unique_ptr<vktest::SocketPair>> endpoints;
        for (int i = 0; i < 16; ++i) endpoints.push_back(std::make_unique<vktest::SocketPair>(runner->get_io_context()));
        std::vector<std::thread> callers;
        for (auto& endpoint : endpoints)
            callers.emplace_back([&endpoint] {
                boost::system::error_code ec;
                asio_sync::run_op(ec, endpoint->descriptor, asio_sync::op_wait_read(),
                                  boost::posix_time::milliseconds(20), {}, boost::posix_time::seconds(1));
            });
        std::set<std::thread::id> ids;
        for (int i = 0; i < 16; ++i) ids.insert(runOnRunner(*runner));
        for (auto& caller : callers) caller.join();
        EXPECT_EQ(ids.size(), 1u);
        EXPECT_EQ(runnerThreads(), 1);
    }
    // The last reference stops the runner and joins its thread.
    EXPECT_EQ(runnerThreads(), 0);
    io_service_runner_t::destroy(nullptr);
}

TEST(IoServiceRunner, AThrowingHandlerIsLoggedAndTheRunnerGoesOn) {
    vktest::SyslogCapture capture;
    getIpcLogger().setLevel(VK_LOG_ERROR);
    auto runner = io_service_runner_t::create();
    const auto id = runOnRunner(*runner);
    boost::asio::post(runner->get_io_context(), [] { throw std::runtime_error("boom"); });
    boost::asio::post(runner->get_io_context(), [] { throw 42; });
    EXPECT_EQ(runOnRunner(*runner), id);
    EXPECT_TRUE(capture.contains("ERROR io_service_runner_t: a handler failed: boom"));
    EXPECT_TRUE(capture.contains("io_service_runner_t: a handler failed with an unknown exception"));
}

// The last reference may go inside one of the runner's own handlers.
TEST(IoServiceRunner, TheLastReferenceDroppedOnTheRunnerThreadStillStopsIt) {
    auto runner = io_service_runner_t::create();
    std::promise<void> dropped;
    boost::asio::post(runner->get_io_context(), [keep = runner, &dropped]() mutable {
        keep.reset();
        dropped.set_value();
    });
    runner.reset();
    dropped.get_future().wait();
    EXPECT_TRUE(vktest::eventually([] { return runnerThreads() == 0; }, 5));
}

}  // namespace
