// The protocol-identifier exchange over a socket pair with a raw peer:
// identifier bytes, protocol choice, quiet failures and their records,
// exceptions, the one deadline, and no data unit left behind on any path.
#include "ipc/session/protocol_exchange.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/raw_peer.h"
#include "ipc/session/client_protocol.h"
#include "ipc/session/protocol_registry.h"
#include "ipc/session/server_protocol.h"
#include "support/log_capture.h"

namespace {

using namespace velka::ipc;
using velka::base::VkDeadline;
using velka::base::VkTimeout;

std::atomic<int> liveUnits{0};

struct CountedUnit : VkDdpUnit {
    CountedUnit() { ++liveUnits; }
    ~CountedUnit() override { --liveUnits; }
};

// Request: one int32. Answer: the request + 1.
struct TestClient : VkClientProtocol {
    uint32_t id = 0x2009;
    bool buildOk = true, parseOk = true;
    int32_t answer = 0;
    VkPDU* CreatePDU() override { return new CountedUnit; }
    bool IsLast() override { return true; }
    uint32_t GetId() override { return id; }
    bool BuildRequest(VkPDU& unit) override { return unit.AddInt32(4) && buildOk; }
    bool ParseResponse(VkPDU& unit) override {
        answer = unit.GetInt32();
        return parseOk;
    }
};

struct TestServer : VkServerProtocol {
    uint32_t id = 0x2008;
    bool ok = true;
    VkPDU* CreatePDU() override { return new CountedUnit; }
    bool IsLast() override { return true; }
    uint32_t GetId() override { return id; }
    bool BuildResponse(VkPDU& in, VkPDU& out) override { return out.AddInt32(in.GetInt32() + 1) && ok; }
};

struct MapRegistry : VkIfProtocolRegistry {
    std::map<uint32_t, VkServerProtocol*> protocols;
    VkServerProtocol* FindProtocol(uint32_t id) const override {
        const auto found = protocols.find(id);
        return found == protocols.end() ? nullptr : found->second;
    }
};

// A transport that reports a closed peer with its own error type.
struct ClosedByPeerSocket : VkUnixSocket {
    using VkUnixSocket::VkUnixSocket;
    void Send(const void*, size_t, const VkTimeout&) override { throw VkIpcErrorClosedByPeer("peer gone"); }
    void Receive(void*, size_t, const VkTimeout&) override { throw VkIpcErrorClosedByPeer("peer gone"); }
};

VkDeadline inMs(int ms) { return VkDeadline(VkTimeout(ms, VkTimeout::Milliseconds)); }

struct Case {
    const char* name;
    std::function<void(TestClient&, TestServer&, MapRegistry&)> setup;
    std::string peerSends;  // before the exchange; the peer then stays silent
    bool result;
    std::string thrown;     // "" when nothing is thrown
    std::string wire;       // what the peer receives
    std::string record;
    bool passProtocol = false;  // server: hand the protocol in rather than look it up
    bool closedByPeer = false;
};

// Runs each case with a 300 ms deadline; checks the result or exception,
// the bytes on the wire, the record and that no unit is left.
void runCases(const std::vector<Case>& cases, bool server) {
    getIpcLogger().setLevel(VK_LOG_DEBUG);
    auto runner = io_service_runner_t::create();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vktest::SyslogCapture capture;
        vktest::RawPeer peer(runner);
        std::shared_ptr<VkIPC> connection = peer.endpoint();
        if (c.closedByPeer) connection = std::make_shared<ClosedByPeerSocket>(runner);
        TestClient client;
        TestServer protocol;
        MapRegistry registry;
        registry.protocols[protocol.id] = &protocol;
        if (c.setup) c.setup(client, protocol, registry);
        peer.writeHex(c.peerSends);
        const auto start = std::chrono::steady_clock::now();
        std::string thrown;
        bool result = false;
        try {
            result = server ? ExecuteServerExchange(c.passProtocol ? &protocol : nullptr, connection, inMs(300), registry)
                            : ExecuteClientExchange(&client, connection, inMs(300), 30);
        } catch (const velka::base::VkException& e) {
            thrown = e.what();
        }
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(thrown.substr(0, c.thrown.size()), c.thrown);
        if (c.thrown.empty()) {
            EXPECT_EQ(thrown, "");
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
        } else {
            EXPECT_FALSE(connection->IsConnected());
        }
        EXPECT_EQ(peer.readHex(20), c.wire);
        EXPECT_TRUE(capture.contains(c.record)) << testing::PrintToString(capture.texts());
        EXPECT_EQ(liveUnits, 0);
        if (!server && !c.closedByPeer && c.thrown.empty()) {
            // The idle deadline is refreshed after a pass, also a failed one.
            EXPECT_FALSE(connection->GetIdleDeadline().isInfinite());
        }
    }
}

TEST(ProtocolExchange, ClientSendsTheIdentifierAndItsRequest) {
    const std::string timedOut = "a waiting of VkSocket::Receive: timed out";
    runCases({
        {"id 0x2009", nullptr, "00 00 00 05", true, "", "00 00 20 09 00 00 00 04",
         "VkClientSession::_Execute: deadline: "},
        {"id 0 sends none", [](TestClient& c, TestServer&, MapRegistry&) { c.id = 0; }, "00 00 00 05", true, "",
         "00 00 00 04", ""},
        {"request refused", [](TestClient& c, TestServer&, MapRegistry&) { c.buildOk = false; }, "", false, "",
         "00 00 20 09", "ERROR protocol error over connection (fd->"},
        {"answer refused", [](TestClient& c, TestServer&, MapRegistry&) { c.parseOk = false; }, "00 00 00 05", false,
         "", "00 00 20 09 00 00 00 04", "ERROR protocol error over connection (fd->"},
        {"silent peer", nullptr, "", false, timedOut, "00 00 20 09 00 00 00 04", ""},
        {"peer closed", nullptr, "", false, "", "", "ERROR error in sending client information: peer gone", false,
         true},
    }, false);
}

TEST(ProtocolExchange, ServerReadsTheIdentifierAndPicksTheProtocol) {
    runCases({
        {"registered 0x2008", nullptr, "00 00 20 08 00 00 00 04", true, "", "00 00 00 05",
         "VkServerSession::_Execute: deadline: "},
        {"given protocol of id 0 reads no id",
         [](TestClient&, TestServer& s, MapRegistry&) { s.id = 0; }, "00 00 00 04", true, "", "00 00 00 05", "",
         true},
        {"unknown id", nullptr, "00 00 12 34 00 00 00 04", false, "server: unsupported protocol ID -> 4660", "",
         "ERROR server: unsupported protocol ID ->4660", false},
        {"wrong id for the given protocol", nullptr, "00 00 20 0C 00 00 00 04", false,
         "server: wrong protocol ID (rcv=8204, sup=8200)", "",
         "ERROR server: wrong protocol ID (received=8204, supported=8200)", true},
        {"answer refused", [](TestClient&, TestServer& s, MapRegistry&) { s.ok = false; }, "00 00 20 08 00 00 00 04",
         false, "", "", "ERROR server: an protocol error over connection (fd->"},
        {"silent peer", nullptr, "00 00 20 08", false, "a waiting of VkSocket::Receive: timed out", "", ""},
        {"peer closed", nullptr, "", false, "", "", "ERROR error in receiving client information: peer gone", false,
         true},
    }, true);
}

// The identifier arrives late; the request never does. The read of the
// request gets only what is left of the deadline, not a fresh timeout.
TEST(ProtocolExchange, OneDeadlineCoversTheWholeExchange) {
    vktest::RawPeer peer;
    TestServer protocol;
    MapRegistry registry;
    registry.protocols[protocol.id] = &protocol;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        peer.writeHex("00 00 20 08");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(ExecuteServerExchange(nullptr, peer.endpoint(), inMs(1000), registry), velka::base::VkTimedOut);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    late.join();
    EXPECT_GE(elapsed, std::chrono::milliseconds(950));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1450));
    EXPECT_EQ(liveUnits, 0);
}

}  // namespace
