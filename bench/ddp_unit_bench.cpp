// Data unit throughput: encoding a 1 MiB string and a 10,000-element
// string vector into the outgoing buffer, and the same messages pushed by
// one unit and decoded by another over a unix socket pair.
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "ipc/transport/ddp_unit.h"
#include "ipc/transport/io_service_runner.h"
#include "ipc/transport/unix_socket.h"

namespace {

using velka::ipc::VkDdpUnit;

const std::string& bigString() {
    static const std::string text(1 << 20, 'x');
    return text;
}

const std::vector<std::string>& bigVector() {
    static const std::vector<std::string> values = [] {
        std::vector<std::string> v;
        for (int i = 0; i < 10000; ++i) v.push_back("element-" + std::to_string(i));
        return v;
    }();
    return values;
}

void add(VkDdpUnit& unit, const std::string& text) { unit.AddString(text); }
void add(VkDdpUnit& unit, const std::vector<std::string>& values) { unit.AddVector(values); }
void get(VkDdpUnit& unit, std::string& text) { text = unit.GetString(); }
void get(VkDdpUnit& unit, std::vector<std::string>& values) { unit.GetVector(values); }

template <typename Payload>
size_t wireSize(const Payload& payload) {
    VkDdpUnit unit;
    add(unit, payload);
    return unit.GetData().size();
}

template <typename Payload>
void Encode(benchmark::State& state, const Payload& payload) {
    VkDdpUnit unit;
    for (auto _ : state) {
        unit.Clear();
        add(unit, payload);
        benchmark::DoNotOptimize(unit.GetData().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wireSize(payload)));
}

// A writer thread encodes and pushes every message; the timed loop decodes.
template <typename Payload>
void PushAndDecode(benchmark::State& state, const Payload& payload) {
    auto runner = velka::ipc::io_service_runner_t::create();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::shared_ptr<velka::ipc::VkUnixSocket> ends[2];
    for (int i = 0; i < 2; ++i) {
        ends[i] = std::make_shared<velka::ipc::VkUnixSocket>(runner);
        ends[i]->AssignHandle(fds[i]);
        ends[i]->SetConnected(true);
    }
    const auto messages = state.max_iterations;
    std::thread writer([&] {
        VkDdpUnit unit;
        unit.SetConnection(ends[0]);
        for (benchmark::IterationCount i = 0; i < messages; ++i) {
            add(unit, payload);
            unit.Push();
        }
    });
    VkDdpUnit unit;
    unit.SetConnection(ends[1]);
    Payload received;
    for (auto _ : state) get(unit, received);
    writer.join();
    if (received != payload) state.SkipWithError("decoded message differs");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wireSize(payload)));
}

BENCHMARK_CAPTURE(Encode, string_1MiB, bigString());
BENCHMARK_CAPTURE(Encode, vector_10000, bigVector());
BENCHMARK_CAPTURE(PushAndDecode, string_1MiB, bigString())->UseRealTime();
BENCHMARK_CAPTURE(PushAndDecode, vector_10000, bigVector())->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
