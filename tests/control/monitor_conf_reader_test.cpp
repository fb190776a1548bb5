// The settings read from the agent: the run list of section 46, the mail
// settings of section 40, and what a failed read leaves behind. The agent's
// replies come as raw bytes from a socket pair.
#include "control/monitor_conf_reader.h"

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "control/config_client.h"
#include "daemon/conf_reader.h"
#include "ipc/raw_peer.h"
#include "ipc/session/protocol_exchange.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using Exchange = MonitorConfReader::Exchange;

std::string str(const std::string& text) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((text.size() >> (24 - 8 * i)) & 0xFF);
    return vktest::toHex(bytes + text);
}
// A reply of type 2, code 1 with the pairs.
std::string reply(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string hex = "00 00 00 02 00 00 00 01 00 00 00 0" + std::to_string(pairs.size());
    for (const auto& pair : pairs) hex += " " + str(pair.first) + " " + str(pair.second);
    return hex;
}

// The agent answers each exchange with the next of its hex replies (the
// last one again when they run out); the section field of each request is
// recorded as hex.
struct Agent {
    explicit Agent(std::vector<std::string> answers) : replies(std::move(answers)) {}
    std::vector<std::string> replies;
    std::vector<std::string> asked;
    Exchange exchange = [this](velka::ipc::VkClientProtocol& client, const velka::base::VkDeadline& deadline) {
        vktest::RawPeer peer;
        peer.writeHex(replies.at(std::min(asked.size(), replies.size() - 1)));
        const auto record = [&] { asked.push_back(peer.readHex(10).substr(24, 11)); };
        try {
            const bool result = velka::ipc::ExecuteClientExchange(&client, peer.endpoint(), deadline, 30);
            record();
            return result;
        } catch (...) {
            record();
            throw;
        }
    };
};
const std::vector<std::string> k40{"00 00 00 28"}, k46{"00 00 00 2E"};

class MonitorConfReaderTest : public ::testing::Test {
protected:
    void settingsWith(bool enterprise) {
        vktest::writeFile(dir.file("monitor.conf"), std::string("[Logging]\nLevel = debug\nFileName = syslog\n[Monitor]\n") +
                                                        "AgentResponseTime = 1\nUseEnterpriseMode = " +
                                                        (enterprise ? "yes" : "no") + "\n");
        settings.reset(new ConfReader(dir.file("monitor.conf")));
        settings->reload();
    }
    std::string runSet() const {
        std::string text;
        for (const AppName& name : settings->getAgentRunApps()) text += "," + name.str();
        return text.substr(1);
    }
    bool logged(const std::string& text) const { return log.contains(text); }
    // A record that ends with the text.
    bool loggedLast(const std::string& text) const {
        const auto texts = log.texts();
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) {
            return t.size() >= text.size() && t.compare(t.size() - text.size(), text.size(), text) == 0;
        });
    }

    vktest::TempDir dir;
    vktest::SyslogCapture log;
    std::unique_ptr<ConfReader> settings;
};

TEST_F(MonitorConfReaderTest, RunListOfSection46) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> pairs;
        std::string set, record;
    } cases[] = {
        {"two names", {{"Monitor/RunAppList", "MAIL,FILTER"}}, "FILTER,MAIL", "agent sent run app list: MAIL,FILTER"},
        {"leading comma", {{"monitor/runapplist", ",MAIL"}}, "MAIL", ""},
        {"trailing comma", {{"monitor/runapplist", "MAIL,"}}, "MAIL", ""},
        {"empty piece", {{"monitor/runapplist", "MAIL,,FILTER"}}, ",FILTER,MAIL", ""},
        {"names differing in case", {{"monitor/runapplist", "MAIL,mail"}}, "MAIL", ""},
        {"no run list", {}, "AGENT", "agent sent run app list: "},
        {"extra key", {{"monitor/runapplist", "AGENT,APP1"}, {"monitor/timeout", "5"}}, "AGENT,APP1",
         "unknown parameter: monitor/timeout = 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settingsWith(true);
        Agent agent({reply(c.pairs)});
        MonitorConfReader(*settings).readConfigFromAgent(&agent.exchange, false);
        EXPECT_EQ(agent.asked, k46);
        EXPECT_EQ(runSet(), c.set);
        if (!c.record.empty()) {
            EXPECT_TRUE(loggedLast(c.record)) << testing::PrintToString(log.texts());
        }
    }
}

// A failed read keeps the set read before, or gives {AGENT} when none was.
TEST_F(MonitorConfReaderTest, FailedRunListReadKeepsTheSet) {
    const Exchange refusing = [](velka::ipc::VkClientProtocol&, const velka::base::VkDeadline&) { return false; };
    const Exchange throwing = [](velka::ipc::VkClientProtocol&, const velka::base::VkDeadline&) -> bool {
        throw velka::base::VkException("a waiting of VkSocket::Receive: timed out");
    };
    Agent code2({"00 00 00 02 00 00 00 02 00 00 00 00"});
    Agent hostile({"00 00 00 02 00 00 00 01 7F FF FF FF"});
    Agent silent({""});
    struct Case {
        const char* name;
        const Exchange& exchange;
        std::string record;
    } cases[] = {
        {"code 2", code2.exchange, "cannot read monitor data from velka-agent: ConfigClient::ParseResponse - invalid response code"},
        {"hostile count", hostile.exchange, "cannot read monitor data from velka-agent: ConfigClient::ParseResponse - invalid count of values ->2147483647 (0 to 4096 expected)"},
        {"silent", silent.exchange, "cannot read monitor data from velka-agent: a waiting of VkSocket::Receive: timed out"},
        {"false result", refusing, "cannot read monitor data from velka-agent: the agent's answer was not accepted"},
        {"exception", throwing, "cannot read monitor data from velka-agent: a waiting of VkSocket::Receive: timed out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settingsWith(true);
        MonitorConfReader(*settings).readConfigFromAgent(&c.exchange, false);
        EXPECT_EQ(runSet(), "AGENT");
        settings->setAgentRunApps({"AGENT", "APP1"});
        MonitorConfReader(*settings).readConfigFromAgent(&c.exchange, false);
        EXPECT_EQ(runSet(), "AGENT,APP1");
        EXPECT_TRUE(logged(c.record)) << testing::PrintToString(log.texts());
    }
}

TEST_F(MonitorConfReaderTest, MailSettingsOfSection40) {
    settingsWith(false);
    Agent agent({reply({{"notifier/filtermail", "filter@x"}, {"monitor/mta", "postfix"}, {"other", "1"}})});
    MonitorConfReader(*settings).readConfigFromAgent(&agent.exchange, true);
    EXPECT_EQ(agent.asked, k40);
    EXPECT_EQ(settings->getAdminMail(), "root");
    EXPECT_EQ(settings->getFilterMail(), "filter@x");
    EXPECT_EQ(settings->getMta(), "POSTFIX");
    EXPECT_TRUE(logged("parameter \"/Notifier/AdminMail\" from varno configuration not defined, use default value "
                       "\"root\""));
    EXPECT_FALSE(log.contains("unknown parameter"));

    // A failed read changes nothing and skips the run list.
    settingsWith(true);
    settings->setMta("EXIM");
    Agent failing({"00 00 00 02 00 00 00 02"});
    MonitorConfReader(*settings).readConfigFromAgent(&failing.exchange, true);
    EXPECT_EQ(failing.asked, k40);
    EXPECT_EQ(settings->getMta(), "EXIM");
    EXPECT_TRUE(logged("cannot read varno data from velka-agent: ConfigClient::ParseResponse - invalid response code"));

    // Both sections, mail first; without an agent only the record.
    Agent both({reply({{"notifier/adminmail", "a@x"}}), reply({{"monitor/runapplist", "AGENT"}})});
    MonitorConfReader(*settings).readConfigFromAgent(&both.exchange, true);
    EXPECT_EQ(both.asked, (std::vector<std::string>{k40[0], k46[0]}));
    EXPECT_EQ(settings->getFilterMail(), "root");
    MonitorConfReader(*settings).readConfigFromAgent(nullptr, false);
    EXPECT_TRUE(logged("agent session is not created"));
}

}  // namespace
