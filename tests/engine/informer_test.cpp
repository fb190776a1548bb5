#include "engine/informer.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/app_log.h"
#include "engine/monitor_state.h"
#include "support/log_capture.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;

namespace {

using vktest::eventually;

class Informers : public ::testing::Test {
protected:
    void SetUp() override { initLogSystem("syslog", "debug", "error", "mail"); }
    void TearDown() override {
        EXPECT_TRUE(SenderInformer::waitForWorkers(5000));
        MonitorInfo::destroy();
    }
    vktest::TempDir dir;
    vktest::SyslogCapture log;
};

TEST_F(Informers, FactoryAndLogInformer) {
    EXPECT_EQ(createInformer(1, "")->type(), 1);
    EXPECT_EQ(createInformer(2, "")->type(), 2);
    auto cmd = createInformer(3, "cat");
    ASSERT_EQ(cmd->type(), 3);
    EXPECT_EQ(static_cast<CmdInformer*>(cmd.get())->command(), "cat");
    EXPECT_EQ(createInformer(4, ""), nullptr);
    EXPECT_EQ(createInformer(0, ""), nullptr);
    EXPECT_TRUE(createInformer(1, "")->inform("the letter"));
    EXPECT_TRUE(log.contains(" monitor INFO LogInform: the letter"));
}

TEST_F(Informers, SenderMailsHeaderAndLetterThroughTheCommand) {
    const std::string out = dir.file("mail.txt");
    SenderInformer::setSendCommand("cat > " + out + ".tmp && mv " + out + ".tmp " + out);
    MonitorInfo::instance()->setMailAddresses("filter@example.org", "admin@example.org");
    EXPECT_TRUE(createInformer(2, "")->inform("Date: x\nbody"));
    ASSERT_TRUE(eventually([&] { return log.contains("Informed successfully"); }));
    EXPECT_EQ(vktest::readFile(out), "From:filter@example.org\nTo:admin@example.org\nDate: x\nbody");
    EXPECT_TRUE(log.contains("send notification From:filter@example.org\nTo:admin@example.org\n. Command: cat > "));
    EXPECT_TRUE(log.contains("Run informer: \"cat > " + out));

    MonitorInfo::instance()->setMailAddresses("", "");
    const std::string second = dir.file("second.txt");
    SenderInformer::setSendCommand("cat > " + second + ".tmp && mv " + second + ".tmp " + second);
    EXPECT_TRUE(SenderInformer().inform("L"));
    ASSERT_TRUE(eventually([&] { return !vktest::readFile(second).empty(); }));
    EXPECT_EQ(vktest::readFile(second), "To:root\nL");
}

TEST_F(Informers, SenderReportsHowTheMailCommandEnded) {
    SenderInformer::setSendCommand("cat >/dev/null; exit 1");
    SenderInformer().inform("x");
    EXPECT_TRUE(eventually([&] { return log.contains(" ERROR Informer exited with status: 1"); }));
    SenderInformer::setSendCommand("kill -9 $$");
    SenderInformer().inform(std::string(200000, 'x'));  // larger than a pipe: the reader dies mid-way
    EXPECT_TRUE(eventually([&] { return log.contains(" ERROR Informer was terminated by signal"); }));
}

TEST_F(Informers, CommandInformerPipesTheLetter) {
    const std::string out = dir.file("cmd.txt");
    CmdInformer informer("cat > " + out);
    EXPECT_TRUE(informer.inform("line one\nline two"));
    EXPECT_EQ(vktest::readFile(out), "line one\nline two");
    EXPECT_TRUE(log.contains(" INFO execute command: \"cat > " + out +
                             "\". Transfer message in stdin: line one\nline two"));
}

// A process that is gone or only waits to be reaped by its new parent.
bool processIsGone(pid_t pid) {
    const std::string stat = vktest::readFile("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
}

TEST_F(Informers, AHangingCommandIsKilledWithItsWholeGroup) {
    const std::string pidFile = dir.file("bg.pid");
    const std::string command = "sleep 30 & echo $! > " + pidFile + ".tmp; mv " + pidFile + ".tmp " + pidFile +
                                "; exec sleep 30";
    SenderInformer::setSendCommand(command);
    std::unique_ptr<Informer> informers[] = {std::make_unique<CmdInformer>(command, 1),
                                             std::make_unique<SenderInformer>(1)};
    for (auto& informer : informers) {
        SCOPED_TRACE(informer->type());
        std::filesystem::remove(pidFile);
        EXPECT_TRUE(informer->inform("letter"));
        ASSERT_TRUE(eventually([&] { return std::filesystem::exists(pidFile); }));
        const pid_t background = std::stoi(vktest::readFile(pidFile));
        EXPECT_TRUE(eventually([&] { return processIsGone(background); }));
        EXPECT_TRUE(SenderInformer::waitForWorkers(5000));  // the mail worker is done as well
    }
    EXPECT_TRUE(log.contains(" ERROR Informer was terminated by signal"));
}

TEST_F(Informers, CommandInformerKillsACommandThatOverstays) {
    CmdInformer informer("exec sleep 30", 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(informer.inform("letter"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_TRUE(log.contains(" ERROR informer command \"exec sleep 30\" terminated by signal9"));
    EXPECT_TRUE(log.contains("execute command: \"exec sleep 30\""));
}

TEST_F(Informers, TheProgramCanWaitForMailStillBeingSent) {
    const std::string out = dir.file("slow.txt");
    SenderInformer::setSendCommand("sleep 0.3; cat > " + out);
    SenderInformer().inform("slow letter");
    SenderInformer().inform("slow letter");
    EXPECT_FALSE(SenderInformer::waitForWorkers(10));
    EXPECT_TRUE(SenderInformer::waitForWorkers(5000));
    EXPECT_EQ(vktest::readFile(out), "To:root\nslow letter");
}

TEST_F(Informers, BaseInformerRefuses) {
    struct Bare : Informer {
        int type() const override { return 0; }
    } bare;
    EXPECT_FALSE(bare.inform("x"));
    EXPECT_TRUE(log.contains(" WARN call virtual method Informer::inform()"));
}

}  // namespace
