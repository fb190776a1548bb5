// Request and answer round trips of a small protocol (an int32 out, the
// int32 + 1 back) through a client session and a server session, over a
// unix socket and over loopback TCP, with one client and with 8 clients
// (each its own session and connection; the server serves on as many
// threads as there are clients).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/session/client_protocol.h"
#include "ipc/session/client_session.h"
#include "ipc/session/conn_settings.h"
#include "ipc/session/server_protocol.h"
#include "ipc/session/server_session.h"
#include "ipc/session/session_factory.h"
#include "ipc/transport/ddp_unit.h"

namespace {

using namespace velka::ipc;

const uint32_t kId = 0x2008;

struct Request : VkClientProtocol {
    int32_t value = 0, answer = 0;
    VkPDU* CreatePDU() override { return new VkDdpUnit; }
    bool IsLast() override { return true; }
    uint32_t GetId() override { return kId; }
    bool BuildRequest(VkPDU& unit) override { return unit.AddInt32(value); }
    bool ParseResponse(VkPDU& unit) override { return (answer = unit.GetInt32()) == value + 1; }
};

struct Answer : VkServerProtocol {
    VkPDU* CreatePDU() override { return new VkDdpUnit; }
    bool IsLast() override { return true; }
    uint32_t GetId() override { return kId; }
    bool BuildResponse(VkPDU& in, VkPDU& out) override { return out.AddInt32(in.GetInt32() + 1); }
};

// The server of one benchmark run, made before its client threads start.
struct Server {
    Server(const std::string& address, int serving) : session(CreatePersistentServerSession()) {
        session->Register(&answer);
        session->Open(address, ConnSettings(0));
        for (int i = 0; i < serving; ++i)
            threads.emplace_back([this] {
                for (;;) try {
                        session->Execute(nullptr, velka::base::kDeadlineInfinite);
                    } catch (const velka::base::VkThreadCanceled&) {
                        return;
                    } catch (const std::exception&) {
                    }
            });
    }
    ~Server() {
        session->Close();
        for (std::thread& thread : threads) thread.join();
    }
    Answer answer;
    std::unique_ptr<VkServerSession> session;
    std::vector<std::thread> threads;
};

std::unique_ptr<Server> server;
std::string address;
std::string directory;

void startUnix(const benchmark::State& state) {
    signal(SIGPIPE, SIG_IGN);
    getIpcLogger().setLevel(VK_LOG_ERROR);
    char pattern[] = "/tmp/vkbench.XXXXXX";
    directory = mkdtemp(pattern);
    address = "unix:" + directory + "/s";
    server.reset(new Server(address, state.threads()));
}

void startTcp(const benchmark::State& state) {
    signal(SIGPIPE, SIG_IGN);
    getIpcLogger().setLevel(VK_LOG_ERROR);
    // A loopback port that is free right now.
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof bound;
    bind(probe, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
    getsockname(probe, reinterpret_cast<sockaddr*>(&bound), &length);
    close(probe);
    address = "inet:" + std::to_string(ntohs(bound.sin_port)) + "@127.0.0.1";
    server.reset(new Server(address, state.threads()));
}

void stop(const benchmark::State&) {
    server.reset();
    if (address.compare(0, 5, "unix:") == 0) rmdir(directory.c_str());
}

void RoundTrip(benchmark::State& state) {
    std::unique_ptr<VkClientSession> client(CreatePersistentClientSession());
    client->Open(address, ConnSettings(1));
    Request request;
    const auto deadline = [] {
        return velka::base::VkDeadline(velka::base::VkTimeout(5, velka::base::VkTimeout::Seconds));
    };
    client->Execute(&request, deadline());  // the connection is made
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        ++request.value;
        if (!client->Execute(&request, deadline())) state.SkipWithError("wrong answer");
    }
    // Time per iteration is the wall time over all clients' iterations; a
    // client's own round trip is this counter.
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    state.counters["client_rtt_us"] =
        benchmark::Counter(spent.count() / static_cast<double>(state.iterations()), benchmark::Counter::kAvgThreads);
}

BENCHMARK(RoundTrip)->Name("RoundTrip/unix")->Setup(startUnix)->Teardown(stop)->Threads(1)->Threads(8)->UseRealTime()
    ->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(RoundTrip)->Name("RoundTrip/tcp")->Setup(startTcp)->Teardown(stop)->Threads(1)->Threads(8)->UseRealTime()
    ->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
