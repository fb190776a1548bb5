// The mediator between the control thread and the monitor: registration,
// the settings copies and their refresh on every agent read.
#include "control/thread_safety_monitor.h"

#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "daemon/conf_reader.h"
#include "engine/monitor_state.h"
#include "support/temp_dir.h"

namespace {

using Mediator = ThreadSafetyMonitor::Mediator;

// An agent that answers every read with the mail transfer agent word.
class WordAgent : public AgentLink {
public:
    explicit WordAgent(std::string word) : m_word(std::move(word)) {}
    void open(const std::string&) override { m_open = true; }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    void readConfig(ConfReader& settings, bool) override { settings.setMta(m_word); }
    void reportStarted(const Application&, int) override {}
    void reportStopped(const Application&, int) override {}

private:
    std::string m_word;
    bool m_open = false;
};

class ReadingMonitor : public ThreadSafetyMonitor {
public:
    using ThreadSafetyMonitor::ThreadSafetyMonitor;
    using ThreadSafetyMonitor::readConfigFromAgent;
};

class MediatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        initLogSystem("syslog", "error", "error", "mail");
        setMonitorState(MONITOR_INIT);
        std::filesystem::create_directories(dir.file("meta"));
        writeConf("", "");
    }
    void writeConf(const std::string& user, const std::string& group) {
        vktest::writeFile(dir.file("monitor.conf"),
                          "[Logging]\nLevel = error\nFileName = syslog\n[Monitor]\nUser = " + user +
                              "\nGroup = " + group + "\nMetaConfigDir = " + dir.file("meta") +
                              "\nPidFileDir = " + dir.path() + "/\nRunAppList = TOP\n");
    }
    std::unique_ptr<ReadingMonitor> create(const std::string& word = "sendmail") {
        return std::make_unique<ReadingMonitor>(dir.file("monitor.conf"), "", false,
                                                std::make_unique<WordAgent>(word));
    }

    vktest::TempDir dir;
};

TEST_F(MediatorTest, OneMonitorIsRegisteredAtATime) {
    EXPECT_THROW(Mediator::addChangedConf({10}), Mediator::Error);
    auto monitor = create();
    try {
        create();
        ADD_FAILURE() << "a second monitor was registered";
    } catch (const Mediator::Error& e) {
        EXPECT_STREQ(e.what(), "mediator re-initialization");
    }
    // The failed second registration left the first in place.
    Mediator::addChangedConf({10, 20});
    std::set<pid_t> pids;
    monitor->getChangedConf(pids);
    EXPECT_EQ(pids, (std::set<pid_t>{10, 20}));

    monitor.reset();
    EXPECT_THROW(Mediator::addChangedConf({10}), Mediator::Error);
    EXPECT_NO_THROW(create());
}

TEST_F(MediatorTest, UserAndGroupFollowTheConfiguration) {
    const struct {
        const char *user, *group, *expected;
    } cases[] = {{"", "", ""}, {"mail", "", "mail:"}, {"", "mail", ":mail"}, {"velka", "mail", "velka:mail"}};
    for (const auto& c : cases) {
        writeConf(c.user, c.group);
        auto monitor = create();
        EXPECT_EQ(Mediator::getUserGroup(), c.expected) << c.user << "/" << c.group;
    }
    writeConf("a", "b");
    auto monitor = create();
    writeConf("c", "d");
    monitor->reloadData();
    EXPECT_EQ(Mediator::getUserGroup(), "c:d");
}

TEST_F(MediatorTest, EveryAgentReadRefreshesTheMailTransferAgent) {
    auto monitor = create("sendmail");
    EXPECT_EQ(Mediator::getMta(), "");
    monitor->connectToAgent();
    monitor->readConfigFromAgent();
    EXPECT_EQ(Mediator::getMta(), "sendmail");
    monitor.reset();
    EXPECT_EQ(Mediator::getMta(), "");
}

TEST_F(MediatorTest, ReadersRunWhileSettingsChange) {
    auto monitor = create("postfix");
    monitor->connectToAgent();
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            const std::string userGroup = Mediator::getUserGroup();
            if (userGroup != "" && userGroup != "a:b" && userGroup != "cc:dd") ++torn;
            Mediator::getMta();
            Mediator::addChangedConf({1});
        }
    });
    for (int i = 0; i < 200; ++i) {
        writeConf(i % 2 ? "a" : "cc", i % 2 ? "b" : "dd");
        monitor->reloadData();
        monitor->readConfigFromAgent();
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(Mediator::getMta(), "postfix");
}

}  // namespace
