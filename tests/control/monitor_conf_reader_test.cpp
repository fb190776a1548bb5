// The settings read from the agent: the run list of section 46, the mail
// settings of section 40, and what a failed read leaves behind. The agent's
// replies come as raw bytes over a socket pair.
#include "control/monitor_conf_reader.h"

#include <gtest/gtest.h>

#include "base/vk_exception.h"
#include "daemon/conf_reader.h"
#include "ipc/raw_peer.h"
#include "ipc/session/protocol_exchange.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using Exchange = MonitorConfReader::Exchange;

// A reply of type 2, code 1 with the pairs, as hex.
std::string reply(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string bytes{0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, char(pairs.size())};
    for (const auto& pair : pairs)
        for (const std::string& text : {pair.first, pair.second}) bytes += std::string{0, 0, 0, char(text.size())} + text;
    return vktest::toHex(bytes);
}

// Answers the exchanges with its replies in turn and counts them.
struct Agent {
    explicit Agent(std::vector<std::string> answers) : replies(std::move(answers)) {}
    std::vector<std::string> replies;
    size_t asked = 0;
    Exchange exchange = [this](velka::ipc::VkClientProtocol& client, const velka::base::VkDeadline& deadline) {
        vktest::RawPeer peer;
        peer.writeHex(replies.at(asked++));
        return velka::ipc::ExecuteClientExchange(&client, peer.endpoint(), deadline, 30);
    };
};

class MonitorConfReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        vktest::writeFile(dir.file("monitor.conf"),
                          "[Logging]\nLevel = debug\nFileName = syslog\n[Monitor]\nUseEnterpriseMode = yes\n");
        settings.reload();
    }
    std::string runSet() const {
        std::string text;
        for (const AppName& name : settings.getAgentRunApps()) text += "," + name.str();
        return text.substr(1);
    }

    vktest::TempDir dir;
    vktest::SyslogCapture log;
    ConfReader settings{dir.file("monitor.conf")};
};

TEST_F(MonitorConfReaderTest, RunListOfSection46) {
    using namespace std::string_literals;
    struct Case {
        std::string list, set, name = "Monitor/RunAppList";
    } cases[] = {{"MAIL,FILTER", "FILTER,MAIL"}, {",MAIL", "MAIL"},           {"MAIL,", "MAIL"},
                 {"MAIL,,FILTER", ",FILTER,MAIL"}, {"MAIL,mail", "MAIL"}, {"", "AGENT"},
                 {",", "AGENT"},                   {",,", "AGENT"},
                 // Only the whole name is the run list.
                 {"MAIL", "AGENT", "monitor/runapplist\0junk"s}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        settings.setAgentRunApps({"APP1"});
        Agent agent({reply({{c.name, c.list}, {"monitor/timeout", "5"}})});
        MonitorConfReader(settings).readConfigFromAgent(&agent.exchange, false);
        EXPECT_EQ(runSet(), c.set);
        EXPECT_TRUE(log.contains("unknown parameter: monitor/timeout = 5"));
    }
    EXPECT_TRUE(log.contains("agent sent run app list: ,,"));
    EXPECT_TRUE(log.contains("unknown parameter: monitor/runapplist\\x00junk = MAIL"));
}

// A failed read (a false result too) keeps the set read before, or gives
// {AGENT} when none was.
TEST_F(MonitorConfReaderTest, FailedRunListReadKeepsTheSet) {
    const Exchange refusing = [](velka::ipc::VkClientProtocol&, const velka::base::VkDeadline&) { return false; };
    const Exchange throwing = [](velka::ipc::VkClientProtocol&, const velka::base::VkDeadline&) -> bool {
        throw velka::base::VkException("timed out");
    };
    for (const Exchange* exchange : {&refusing, &throwing}) {
        settings.setAgentRunApps({});
        MonitorConfReader(settings).readConfigFromAgent(exchange, false);
        EXPECT_EQ(runSet(), "AGENT");
        settings.setAgentRunApps({"AGENT", "APP1"});
        MonitorConfReader(settings).readConfigFromAgent(exchange, false);
        EXPECT_EQ(runSet(), "AGENT,APP1");
    }
    EXPECT_TRUE(log.contains("cannot read monitor data from velka-agent: the agent's answer was not accepted"));
    EXPECT_TRUE(log.contains("cannot read monitor data from velka-agent: timed out"));
}

TEST_F(MonitorConfReaderTest, MailSettingsOfSection40) {
    Agent agent({reply({{"notifier/filtermail", "filter@x"}, {"monitor/mta", "postfix"}}), reply({})});
    MonitorConfReader(settings).readConfigFromAgent(&agent.exchange, true);
    EXPECT_EQ(agent.asked, 2u);  // then section 46
    EXPECT_EQ(settings.getAdminMail(), "root");
    EXPECT_EQ(settings.getFilterMail(), "filter@x");
    EXPECT_EQ(settings.getMta(), "POSTFIX");
    EXPECT_TRUE(log.contains("parameter \"/Notifier/AdminMail\" from varno configuration not defined, use default value \"root\""));

    // A failed read changes nothing and skips section 46.
    Agent failing({"00 00 00 02 00 00 00 02"});
    MonitorConfReader(settings).readConfigFromAgent(&failing.exchange, true);
    EXPECT_EQ(failing.asked, 1u);
    EXPECT_EQ(settings.getMta(), "POSTFIX");
    EXPECT_TRUE(log.contains("cannot read varno data from velka-agent: ConfigClient::ParseResponse - invalid response code"));
    MonitorConfReader(settings).readConfigFromAgent(nullptr, true);
    EXPECT_TRUE(log.contains("agent session is not created"));
}

// A value with a control character would add a mail header or a command
// argument: it is refused and its field keeps its value; names count whole.
TEST_F(MonitorConfReaderTest, ControlCharactersInMailSettingsAreRefused) {
    using namespace std::string_literals;
    const std::string admin = "notifier/adminmail", filter = "notifier/filtermail", mta = "monitor/mta";
    Agent agent({reply({{admin, "a@x"}, {filter, "f@x"}, {mta, "postfix"}}),
                 reply({{admin, "b@x\nBcc: evil@x"}, {filter, "g@x"}, {mta, "exim\r"}}),
                 reply({{admin, "c@x"}, {filter, "h@x\x7f"}, {mta, "exim\t-oi"}}),
                 reply({{admin + "\0x"s, "d@x"}, {filter + "\0"s, "i@x"}, {mta + "\0"s, "sendmail"}})});
    const struct {
        const char *admin, *filter, *mta, *refused;
    } reads[] = {{"a@x", "f@x", "POSTFIX", nullptr},
                 {"a@x", "g@x", "POSTFIX", "\"notifier/adminmail\" from velka-agent refused: control character \\x0A at byte 3"},
                 {"c@x", "g@x", "POSTFIX", "\"notifier/filtermail\" from velka-agent refused: control character \\x7F at byte 3"},
                 {"root", "root", "", nullptr}};
    for (const auto& r : reads) {
        MonitorConfReader(settings).readVarnoConfigFromAgent(agent.exchange);
        EXPECT_EQ(settings.getAdminMail(), r.admin);
        EXPECT_EQ(settings.getFilterMail(), r.filter);
        EXPECT_EQ(settings.getMta(), r.mta);
        if (r.refused) {
            EXPECT_TRUE(log.contains(std::string("value of ") + r.refused + "; the previous value stays"));
        }
    }
    EXPECT_TRUE(log.contains("value of \"monitor/mta\" from velka-agent refused: control character \\x0D at byte 4"));
    EXPECT_TRUE(log.contains("value of \"monitor/mta\" from velka-agent refused: control character \\x09 at byte 4"));
}

}  // namespace
