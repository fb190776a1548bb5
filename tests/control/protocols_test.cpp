// The configuration, report and control protocols on the wire: each
// client's request and each server's answer as hex against a raw peer,
// and what each side refuses, with the bounds on counts and lengths.
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "control/config_client.h"
#include "control/config_server.h"
#include "control/config_store_client.h"
#include "control/config_store_server.h"
#include "control/reload_comp_client.h"
#include "control/reload_comp_server.h"
#include "control/start_app_client.h"
#include "control/start_app_server.h"
#include "control/stop_app_client.h"
#include "control/stop_app_server.h"
#include "control/update_client.h"
#include "control/update_server.h"
#include "ipc/raw_peer.h"
#include "ipc/session/protocol_exchange.h"
#include "ipc/session/protocol_registry.h"
#include "support/log_capture.h"

namespace {

using namespace velka::varno;
using velka::ipc::VkClientProtocol;
using velka::ipc::VkServerProtocol;
using vktest::toHex;

velka::base::VkDeadline soon() { return velka::base::VkDeadline(velka::base::VkTimeout(500, 1)); }

// The test's own encoding: an int32 as hex; a text as its count and bytes.
std::string i32(uint32_t value) {
    return toHex(std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)});
}
std::string str(const std::string& text) { return i32(text.size()) + (text.empty() ? "" : " " + toHex(text)); }

struct Registry : velka::ipc::VkIfProtocolRegistry {
    VkServerProtocol* protocol = nullptr;
    VkServerProtocol* FindProtocol(uint32_t) const override { return protocol; }
};

// One exchange against a peer that has already written its bytes: what
// the peer then receives as hex, or "!" and the text of the exception. A
// false result adds " (false)".
std::string run(VkClientProtocol* client, VkServerProtocol* server, const std::string& peerSends) {
    vktest::RawPeer peer;
    peer.writeHex(peerSends);
    Registry registry;
    registry.protocol = server;
    bool ok = false;
    try {
        ok = client ? velka::ipc::ExecuteClientExchange(client, peer.endpoint(), soon(), 30)
                    : velka::ipc::ExecuteServerExchange(nullptr, peer.endpoint(), soon(), registry);
    } catch (const std::exception& e) {
        EXPECT_FALSE(peer.endpoint()->IsConnected() && client) << e.what();
        return std::string("!") + e.what();
    }
    return peer.readHex() + (ok ? "" : " (false)");
}

TEST(Protocols, ClientSide) {
    getIpcLogger().setLevel(VK_LOG_ERROR);
    const std::string pid = i32(::getpid()), ok = "00 00 00 02 00 00 00 01 ";
    VkConfigClient section46(46, "velka-monitor", ::getpid(), false), section40(40, "velka-monitor", ::getpid(), false);
    VkConfigClient flagged(46, "x", 7, true), type5(46, "x", 1, false), code2(46, "x", 1, false);
    VkConfigClient count(46, "x", 1, false), negative(46, "x", 1, false), length(46, "x", 1, false);
    VkConfigClient wide(46, "x", 1, false);
    VkConfigStoreClient store(40, "velka-monitor", 0, {{"b", "2"}, {"a", "1"}}), refusedStore(40, "x", 1);
    VkStartAppClient start("APP1", 4660, "mail:mail,root:root", "");
    VkStopAppClient stop("APP1", 4660);
    VkReloadCompClient reload({10, 10, 20});
    VkUpdateClient update("/tmp/c", "40", "velka"), refusedUpdate("a", "b", "c");
    const std::string request46 = "00 00 20 03 00 00 00 01 00 00 00 2E " + str("x") + " 00 00 00 01";
    struct Case {
        const char* name;
        VkClientProtocol& client;
        std::string reply, expected;
    } cases[] = {
        {"config 46", section46,
         ok + "00 00 00 03 " + str("monitor/runapplist") + " " + str("AGENT,APP1") + " " + str("k") + " " + str("1") +
             " " + str("k") + " " + str(""),
         "00 00 20 03 00 00 00 01 00 00 00 2E 00 00 00 0D " + toHex("velka-monitor") + " " + pid},
        {"config 40", section40, ok + "00 00 00 00", "00 00 20 03 00 00 00 01 00 00 00 28 " + str("velka-monitor") + " " + pid},
        {"config flag", flagged, ok + "00 00 00 00", "00 00 20 03 00 00 00 03 00 00 00 2E " + str("x") + " 00 00 00 07"},
        {"store", store, ok, "00 00 20 0E 00 00 00 28 " + str("velka-monitor") + " " + pid + " 00 00 00 02 " + str("a") +
                                 " " + str("1") + " " + str("b") + " " + str("2")},
        {"start", start, "", "00 00 20 09 " + str("APP1") + " 00 00 12 34 " + str("mail:mail,root:root") + " 00 00 00 00"},
        {"stop", stop, "", "00 00 20 0A " + str("APP1") + " 00 00 12 34"},
        {"reload", reload, "", "00 00 20 08 00 00 00 03 00 00 00 0A 00 00 00 0A 00 00 00 14"},
        {"update", update, "00 00 00 01 " + str("done"), "00 00 20 0C " + str("/tmp/c") + " " + str("40") + " " + str("velka")},
        {"update refused", refusedUpdate, "00 00 00 00 " + str("no"),
         "00 00 20 0C " + str("a") + " " + str("b") + " " + str("c") + " (false)"},
        {"type 5", type5, "00 00 00 05", "!ConfigClient::invalid response type ->5"},
        {"code 2", code2, "00 00 00 02 00 00 00 02", "!ConfigClient::ParseResponse - invalid response code"},
        {"count 0x7FFFFFFF", count, ok + "7F FF FF FF",
         "!ConfigClient::ParseResponse - invalid count of values ->2147483647 (0 to 4096 expected)"},
        {"negative count", negative, ok + "FF FF FF FF",
         "!ConfigClient::ParseResponse - invalid count of values ->-1 (0 to 4096 expected)"},
        {"length 0x7FFFFFFF", length, ok + "00 00 00 01 7F FF FF FF",
         "!ConfigClient::ParseResponse - invalid length of a name or value ->2147483647 (0 to 65536 expected)"},
        {"value of 64 KiB + 1", wide, ok + "00 00 00 01 " + str("k") + " 00 01 00 01",
         "!ConfigClient::ParseResponse - invalid length of a name or value ->65537 (0 to 65536 expected)"},
        {"store code 2", refusedStore, "00 00 00 02 00 00 00 02", "!ConfigStoreClient::ParseResponse - invalid response code"},
    };
    const long before = vktest::peakRssKiB();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vktest::SyslogCapture capture;
        const std::string got = run(&c.client, nullptr, c.reply);
        EXPECT_EQ(c.expected[0] == '!' ? got.substr(0, c.expected.size()) : got, c.expected);
        if (c.expected[0] == '!' && &c.client != &refusedStore) {
            EXPECT_TRUE(capture.contains("in parse client response: " + c.expected.substr(1)));
        }
    }
    EXPECT_LT(vktest::peakRssKiB() - before, 16 * 1024);
    EXPECT_EQ(section46.GetValue("monitor/runapplist"), "AGENT,APP1");
    EXPECT_EQ(vktest::thrownText([&] { section46.GetValue("x"); }), "ConfigClient::GetValue(x) error - unknown parameter");
    EXPECT_EQ(vktest::thrownText([&] { section46.GetValue("k"); }), "ConfigClient::GetValue(k) error - value doesn't defined");
    EXPECT_EQ(code2.GetResultCode(), 2);  // kept although refused
    EXPECT_TRUE(reload.GetResult());
    std::string text;
    EXPECT_TRUE(update.GetResult(text));
    EXPECT_EQ(text, "done");
}

// Handlers record what they were given; the answer goes on the wire.
std::string g_seen;
bool reloadHandler(const std::list<int32_t>& pids) {
    g_seen = "pids";
    for (int32_t pid : pids) g_seen += " " + std::to_string(pid);
    return true;
}
UpdateAnswer updateHandler(const UpdateRequest& request) {
    g_seen = request.first + "|" + request.second + "|" + request.third;
    return {false, "pre-update process error because of x"};
}

TEST(Protocols, ServerSide) {
    getIpcLogger().setLevel(VK_LOG_ERROR);
    VkConfigServer config([](const ConfigRequest& r) {
        g_seen = std::to_string(r.section) + " " + r.clientName + " " + std::to_string(r.pid) + (r.flag ? " flag" : "") +
                 (r.descriptor >= 0 ? " fd" : "");
        return ConfigAnswer{r.section == 46, {{"monitor/runapplist", "AGENT,APP1"}}};
    });
    VkConfigServer noHandler{VkConfigServer::Handler()};
    VkConfigStoreServer store([](const ConfigStoreRequest& r) {
        g_seen = std::to_string(r.section) + " " + r.clientName + " " + std::to_string(r.pid);
        for (const auto& v : r.values) g_seen += " " + v.first + "=" + v.second;
        return !r.values.empty();
    });
    VkStartAppServer start([](const StartAppRequest& r) {
        g_seen = r.name + " " + std::to_string(r.pid) + " " + r.users + " [" + r.commandLine + "]";
    });
    VkStopAppServer stop([](const StopAppRequest& r) { g_seen = r.name + " " + std::to_string(r.pid); });
    VkReloadCompServer reload(&reloadHandler);
    const VkReloadCompServer::Handler refusing = [](const std::list<int32_t>&) { return false; };
    VkReloadCompServer borrowed(&refusing);
    VkUpdateServer update(&updateHandler);
    const std::string pair = str("monitor/runapplist") + " " + str("AGENT,APP1");
    const std::string storeHead = "00 00 20 0E 00 00 00 28 " + str("m") + " 00 00 00 09 ";
    struct Case {
        const char* name;
        VkServerProtocol& server;
        std::string request, expected, seen;
    } cases[] = {
        {"config 46", config, "00 00 20 03 00 00 00 01 00 00 00 2E " + str("velka-monitor") + " 00 00 00 05",
         "00 00 00 02 00 00 00 01 00 00 00 01 " + pair, "46 velka-monitor 5 fd"},
        {"config not ok", config, "00 00 20 03 00 00 00 03 00 00 00 28 " + str("m") + " 00 00 00 05",
         "00 00 00 02 00 00 00 02 00 00 00 01 " + pair, "40 m 5 flag fd"},
        {"store", store, storeHead + "00 00 00 02 " + str("k") + " " + str("1") + " " + str("k") + " " + str("2"),
         "00 00 00 02 00 00 00 01", "40 m 9 k=2"},
        {"store nothing", store, storeHead + "00 00 00 00", "00 00 00 02 00 00 00 02", "40 m 9"},
        {"start", start, "00 00 20 09 " + str("APP1") + " 00 00 00 07 " + str("root:root") + " " + str("-x"), "",
         "APP1 7 root:root [-x]"},
        {"stop", stop, "00 00 20 0A " + str("APP1") + " 00 00 00 07", "", "APP1 7"},
        {"reload", reload, "00 00 20 08 00 00 00 03 00 00 00 0A 00 00 00 0A 00 00 00 14", "", "pids 10 10 20"},
        {"reload negative count", reload, "00 00 20 08 FF FF FF FE", "", "pids"},
        {"reload refused", borrowed, "00 00 20 08 00 00 00 00", " (false)", ""},
        {"update", update, "00 00 20 0C " + str("/c") + " " + str("40") + " " + str("p"),
         "00 00 00 00 " + str("pre-update process error because of x"), "/c|40|p"},
        {"config type 7", config, "00 00 20 03 00 00 00 07", "!ConfigServer::invalid request type ->7", ""},
        {"config without handler", noHandler, "00 00 20 03 00 00 00 01 00 00 00 2E " + str("m") + " 00 00 00 05",
         "!bad_function_call", ""},
        {"store negative count", store, storeHead + "FF FF FF FF",
         "!ConfigStoreServer::BuildResponse - invalid count of values ->-1 (0 to 4096 expected)", ""},
        {"reload count 65537", reload, "00 00 20 08 00 01 00 01",
         "!ReloadCompServer::BuildResponse - invalid count of pids ->65537 (at most 65536)", ""},
        {"update text 4097", update, "00 00 20 0C 00 00 10 01",
         "!DdpUnit::GetString: length 4097 exceeds the limit of 4096 bytes", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vktest::SyslogCapture capture;
        g_seen.clear();
        const std::string got = run(nullptr, &c.server, c.request);
        EXPECT_EQ(c.expected[0] == '!' ? got.substr(0, c.expected.size()) : got, c.expected);
        EXPECT_EQ(g_seen, c.seen);
        if (c.expected[0] == '!' && (&c.server == &config || &c.server == &noHandler)) {
            EXPECT_TRUE(capture.contains("in build response to client: " + c.expected.substr(1)));
        }
    }
}

}  // namespace
