// The configuration, report and control protocols on the wire: each
// client's request and each server's answer as hex against a raw peer,
// the reply checks, and the bounds on counts and lengths.
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
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
using velka::base::VkDeadline;
using velka::base::VkTimeout;
using velka::ipc::VkClientProtocol;
using velka::ipc::VkServerProtocol;
using vktest::toHex;

VkDeadline soon() { return VkDeadline(VkTimeout(500, VkTimeout::Milliseconds)); }

// The test's own encoding, for texts: an int32 count and the bytes.
std::string str(const std::string& text) {
    char count[16];
    std::snprintf(count, sizeof count, "%02X %02X %02X %02X", (unsigned)(text.size() >> 24) & 0xFF,
                  (unsigned)(text.size() >> 16) & 0xFF, (unsigned)(text.size() >> 8) & 0xFF,
                  (unsigned)text.size() & 0xFF);
    return text.empty() ? count : std::string(count) + " " + toHex(text);
}
std::string pidHex() {
    char hex[16];
    const unsigned pid = static_cast<unsigned>(::getpid());
    std::snprintf(hex, sizeof hex, "%02X %02X %02X %02X", pid >> 24, (pid >> 16) & 0xFF, (pid >> 8) & 0xFF, pid & 0xFF);
    return hex;
}

struct Registry : velka::ipc::VkIfProtocolRegistry {
    VkServerProtocol* protocol = nullptr;
    VkServerProtocol* FindProtocol(uint32_t id) const override {
        return protocol && protocol->GetId() == id ? protocol : nullptr;
    }
};

// Runs the client against a peer that has already written "reply"; the
// request as hex, or the exception's text after "!".
std::string runClient(VkClientProtocol& client, const std::string& reply, bool* result = nullptr) {
    vktest::RawPeer peer;
    peer.writeHex(reply);
    try {
        const bool ok = velka::ipc::ExecuteClientExchange(&client, peer.endpoint(), soon(), 30);
        if (result) *result = ok;
    } catch (const std::exception& e) {
        EXPECT_FALSE(peer.endpoint()->IsConnected());
        return std::string("!") + e.what();
    }
    return peer.readHex();
}

// Runs the server on a request (identifier included); the answer as hex,
// or the exception's text after "!".
std::string runServer(VkServerProtocol& server, const std::string& request, bool* result = nullptr) {
    vktest::RawPeer peer;
    Registry registry;
    registry.protocol = &server;
    peer.writeHex(request);
    try {
        const bool ok = velka::ipc::ExecuteServerExchange(nullptr, peer.endpoint(), soon(), registry);
        if (result) *result = ok;
    } catch (const std::exception& e) {
        return std::string("!") + e.what();
    }
    return peer.readHex();
}

TEST(Protocols, ClientRequestsOnTheWire) {
    const std::string pid = pidHex();
    const std::string monitor = str("velka-monitor");
    VkConfigClient section46(46, "velka-monitor", ::getpid(), false);
    VkConfigClient section40(40, "velka-monitor", ::getpid(), false);
    VkConfigClient flagged(46, "x", 7, true);
    VkConfigStoreClient store(40, "velka-monitor", 0, {{"b", "2"}, {"a", "1"}});
    VkStartAppClient start("APP1", 4660, "mail:mail,root:root", "");
    VkStopAppClient stop("APP1", 4660);
    VkReloadCompClient reload({10, 10, 20});
    VkUpdateClient update("/tmp/c", "40", "velka");
    const std::string empty46 = "00 00 00 02 00 00 00 01 00 00 00 00";
    struct Case {
        const char* name;
        VkClientProtocol& client;
        std::string reply, request;
    } cases[] = {
        {"config 46", section46, empty46, "00 00 20 03 00 00 00 01 00 00 00 2E 00 00 00 0D " + toHex("velka-monitor") + " " + pid},
        {"config 40", section40, empty46, "00 00 20 03 00 00 00 01 00 00 00 28 " + monitor + " " + pid},
        {"config flag", flagged, empty46, "00 00 20 03 00 00 00 03 00 00 00 2E " + str("x") + " 00 00 00 07"},
        {"store", store, "00 00 00 02 00 00 00 01",
         "00 00 20 0E 00 00 00 28 " + monitor + " " + pid + " 00 00 00 02 " + str("a") + " " + str("1") + " " + str("b") + " " + str("2")},
        {"start", start, "", "00 00 20 09 " + str("APP1") + " 00 00 12 34 " + str("mail:mail,root:root") + " 00 00 00 00"},
        {"stop", stop, "", "00 00 20 0A " + str("APP1") + " 00 00 12 34"},
        {"reload", reload, "", "00 00 20 08 00 00 00 03 00 00 00 0A 00 00 00 0A 00 00 00 14"},
        {"update", update, "00 00 00 01 " + str("done"),
         "00 00 20 0C " + str("/tmp/c") + " " + str("40") + " " + str("velka")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool result = false;
        EXPECT_EQ(runClient(c.client, c.reply, &result), c.request);
        EXPECT_TRUE(result);
    }
    EXPECT_TRUE(reload.GetResult());
    std::string text;
    EXPECT_TRUE(update.GetResult(text));
    EXPECT_EQ(text, "done");
}

TEST(Protocols, ConfigReplyIsReadIntoValues) {
    VkConfigClient client(46, "velka-monitor", 1, false);
    runClient(client,
              "00 00 00 02 00 00 00 01 00 00 00 03 " + str("monitor/runapplist") + " " + str("AGENT,APP1") + " " +
                  str("twice") + " " + str("1") + " " + str("twice") + " " + str("2"));
    EXPECT_EQ(client.GetResultCode(), 1);
    EXPECT_EQ(client.GetValue("monitor/runapplist"), "AGENT,APP1");
    EXPECT_EQ(client.GetValue("twice"), "2");
    EXPECT_EQ(vktest::thrownText([&] { client.GetValue("absent"); }), "ConfigClient::GetValue(absent) error - unknown parameter");

    VkConfigClient empty(46, "velka-monitor", 1, false);
    runClient(empty, "00 00 00 02 00 00 00 01 00 00 00 01 " + str("blank") + " " + str(""));
    EXPECT_EQ(vktest::thrownText([&] { empty.GetValue("blank"); }), "ConfigClient::GetValue(blank) error - value doesn't defined");
}

// Each refused reply: the thrown text, the result code kept, the record,
// a dropped connection, and memory that does not grow with what the reply
// announces.
TEST(Protocols, ConfigRepliesOutsideTheRulesAreRefused) {
    getIpcLogger().setLevel(VK_LOG_ERROR);
    const std::string on = " on connection (fd->";
    struct Case {
        const char* name;
        std::string reply, thrown;
        int32_t code;
    } cases[] = {
        {"type 5", "00 00 00 05 00 00 00 01", "ConfigClient::invalid response type ->5", 0},
        {"code 2", "00 00 00 02 00 00 00 02 00 00 00 00", "ConfigClient::ParseResponse - invalid response code", 2},
        {"count 0x7FFFFFFF", "00 00 00 02 00 00 00 01 7F FF FF FF",
         "ConfigClient::ParseResponse - invalid count of values ->2147483647 (0 to 4096 expected)", 1},
        {"count 4097", "00 00 00 02 00 00 00 01 00 00 10 01",
         "ConfigClient::ParseResponse - invalid count of values ->4097 (0 to 4096 expected)", 1},
        {"negative count", "00 00 00 02 00 00 00 01 FF FF FF FF",
         "ConfigClient::ParseResponse - invalid count of values ->-1 (0 to 4096 expected)", 1},
        {"name length 0x7FFFFFFF", "00 00 00 02 00 00 00 01 00 00 00 01 7F FF FF FF",
         "DdpUnit::GetString: length 2147483647 exceeds the limit of 1048576 bytes" + on, 1},
        {"value length 1 MiB + 1", "00 00 00 02 00 00 00 01 00 00 00 01 " + str("a") + " 00 10 00 01",
         "DdpUnit::GetString: length 1048577 exceeds the limit of 1048576 bytes" + on, 1},
    };
    const long before = vktest::peakRssKiB();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vktest::SyslogCapture capture;
        VkConfigClient client(46, "velka-monitor", 1, false);
        const std::string thrown = runClient(client, c.reply);
        EXPECT_EQ(thrown.substr(0, c.thrown.size() + 1), "!" + c.thrown);
        EXPECT_EQ(client.GetResultCode(), c.code);
        EXPECT_TRUE(capture.contains("in parse client response: " + c.thrown)) << testing::PrintToString(capture.texts());
    }
    EXPECT_LT(vktest::peakRssKiB() - before, 16 * 1024);

    VkConfigStoreClient store(40, "x", 1);
    EXPECT_EQ(runClient(store, "00 00 00 07 00 00 00 01"), "!ConfigStoreClient::invalid response type ->7");
    EXPECT_EQ(runClient(store, "00 00 00 02 00 00 00 02"), "!ConfigStoreClient::ParseResponse - invalid response code");
    EXPECT_EQ(store.GetResultCode(), 2);
    VkUpdateClient update("a", "b", "c");
    bool result = true;
    EXPECT_EQ(runClient(update, "00 00 00 00 " + str("no"), &result), "00 00 20 0C " + str("a") + " " + str("b") + " " + str("c"));
    EXPECT_FALSE(result);
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

TEST(Protocols, ServerAnswersOnTheWire) {
    getIpcLogger().setLevel(VK_LOG_ERROR);
    VkConfigServer config([](const ConfigRequest& r) {
        g_seen = std::to_string(r.section) + " " + r.clientName + " " + std::to_string(r.pid) + (r.flag ? " flag" : "") +
                 (r.descriptor >= 0 ? " fd" : "");
        return ConfigAnswer{r.section == 46, {{"monitor/runapplist", "AGENT,APP1"}}};
    });
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
    struct Case {
        const char* name;
        VkServerProtocol& server;
        std::string request, answer, seen;
        bool result;
    } cases[] = {
        {"config 46", config, "00 00 20 03 00 00 00 01 00 00 00 2E " + str("velka-monitor") + " 00 00 00 05",
         "00 00 00 02 00 00 00 01 00 00 00 01 " + pair, "46 velka-monitor 5 fd", true},
        {"config not ok", config, "00 00 20 03 00 00 00 03 00 00 00 28 " + str("m") + " 00 00 00 05",
         "00 00 00 02 00 00 00 02 00 00 00 01 " + pair, "40 m 5 flag fd", true},
        {"store", store, "00 00 20 0E 00 00 00 28 " + str("m") + " 00 00 00 09 00 00 00 02 " + str("k") + " " +
         str("1") + " " + str("k") + " " + str("2"), "00 00 00 02 00 00 00 01", "40 m 9 k=2", true},
        {"store nothing", store, "00 00 20 0E 00 00 00 28 " + str("m") + " 00 00 00 09 00 00 00 00",
         "00 00 00 02 00 00 00 02", "40 m 9", true},
        {"start", start, "00 00 20 09 " + str("APP1") + " 00 00 00 07 " + str("root:root") + " " + str("-x"), "",
         "APP1 7 root:root [-x]", true},
        {"stop", stop, "00 00 20 0A " + str("APP1") + " 00 00 00 07", "", "APP1 7", true},
        {"reload", reload, "00 00 20 08 00 00 00 03 00 00 00 0A 00 00 00 0A 00 00 00 14", "", "pids 10 10 20", true},
        {"reload count 0", reload, "00 00 20 08 00 00 00 00", "", "pids", true},
        {"reload negative count", reload, "00 00 20 08 FF FF FF FE", "", "pids", true},
        {"reload refused", borrowed, "00 00 20 08 00 00 00 00", "", "", false},
        {"update", update, "00 00 20 0C " + str("/c") + " " + str("40") + " " + str("p"),
         "00 00 00 00 " + str("pre-update process error because of x"), "/c|40|p", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_seen.clear();
        bool result = !c.result;
        EXPECT_EQ(runServer(c.server, c.request, &result), c.answer);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(g_seen, c.seen);
    }
}

// Requests the servers refuse before reading what they announce; none
// reaches its handler.
TEST(Protocols, ServerRequestsOutsideTheRulesAreRefused) {
    getIpcLogger().setLevel(VK_LOG_ERROR);
    VkConfigServer config([](const ConfigRequest&) { return ConfigAnswer{true, {}}; });
    VkConfigServer noHandler{VkConfigServer::Handler()};
    VkConfigStoreServer store([](const ConfigStoreRequest&) { return true; });
    VkReloadCompServer reload(&reloadHandler);
    VkUpdateServer update(&updateHandler);
    struct Case {
        const char* name;
        VkServerProtocol& server;
        std::string request, thrown, record;
    } cases[] = {
        {"config type 7", config, "00 00 20 03 00 00 00 07", "ConfigServer::invalid request type ->7",
         "in build response to client: ConfigServer::invalid request type ->7"},
        {"config without handler", noHandler, "00 00 20 03 00 00 00 01 00 00 00 2E " + str("m") + " 00 00 00 05",
         "bad_function_call", "in build response to client: bad_function_call"},
        {"store negative count", store, "00 00 20 0E 00 00 00 28 " + str("m") + " 00 00 00 09 FF FF FF FF",
         "ConfigStoreServer::BuildResponse - invalid count of values ->-1 (0 to 4096 expected)", "in build response"},
        {"store count 0x7FFFFFFF", store, "00 00 20 0E 00 00 00 28 " + str("m") + " 00 00 00 09 7F FF FF FF",
         "ConfigStoreServer::BuildResponse - invalid count of values ->2147483647", "in build response"},
        {"reload count 65537", reload, "00 00 20 08 00 01 00 01",
         "ReloadCompServer::BuildResponse - invalid count of pids ->65537 (at most 65536)", ""},
        {"update text 4097", update, "00 00 20 0C 00 00 10 01",
         "DdpUnit::GetString: length 4097 exceeds the limit of 4096 bytes", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vktest::SyslogCapture capture;
        g_seen.clear();
        const std::string thrown = runServer(c.server, c.request);
        EXPECT_EQ(thrown.substr(0, c.thrown.size() + 1), "!" + c.thrown);
        if (!c.record.empty()) {
            EXPECT_TRUE(capture.contains(c.record)) << testing::PrintToString(capture.texts());
        }
        EXPECT_EQ(g_seen, "");
    }
}

}  // namespace
