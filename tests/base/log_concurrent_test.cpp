// Many threads log while another switches the process-wide target between
// two files and syslog: no record may be lost or torn.
#include <syslog.h>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

TEST(LogConcurrency, SwitchingTargetsLosesAndTearsNoRecord) {
    vktest::TempDir dir;
    vktest::SyslogCapture capture;
    const int kWriters = 8;
    const int kRecords = 10000;
    LogClass writer("w");
    writer.setLevel(VK_LOG_DEBUG);
    std::atomic<bool> done{false};

    std::thread switcher([&] {
        LogClass control("switch");
        const std::string targets[] = {dir.file("a.log"), dir.file("b.log"), "syslog"};
        for (int i = 0; !done; ++i) {
            control.init(targets[i % 3], VK_LOG_DEBUG, LOG_MAIL, false);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kWriters; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < kRecords; ++i) {
                if (writer.isInfoEnabled())
                    writer.log(VK_LOG_INFO, "writer " + std::to_string(t) + " record " + std::to_string(i));
            }
        });
    for (auto& thread : writers) thread.join();
    done = true;
    switcher.join();
    LogClass("reset").init("syslog", VK_LOG_DEBUG, LOG_MAIL, false);

    const std::regex fileLine(
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} \\[[0-9]+\\] w INFO "
        "writer ([0-7]) record ([0-9]+)");
    const std::regex syslogLine("\\[[0-9]+\\] w INFO writer ([0-7]) record ([0-9]+)");
    std::vector<std::vector<int>> seen(kWriters, std::vector<int>(kRecords, 0));
    size_t total = 0;
    auto note = [&](const std::smatch& m) {
        seen[std::stoi(m[1])][std::stoi(m[2])]++;
        ++total;
    };
    for (const char* name : {"a.log", "b.log"}) {
        for (const std::string& line : vktest::readLines(dir.file(name))) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, fileLine)) << "torn line: " << line;
            note(m);
        }
    }
    for (const std::string& text : capture.texts()) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, syslogLine)) << text;
        note(m);
    }
    EXPECT_EQ(total, static_cast<size_t>(kWriters * kRecords));
    for (int t = 0; t < kWriters; ++t)
        for (int i = 0; i < kRecords; ++i) ASSERT_EQ(seen[t][i], 1) << t << " " << i;
}

TEST(LogConcurrency, ReloadWhileLoggingIsRaceFree) {
    vktest::SyslogCapture capture;
    std::atomic<bool> done{false};
    std::thread reloader([&] {
        for (int i = 0; i < 200; ++i) initLogSystem("syslog", i % 2 ? "debug" : "info", "error", "mail");
        done = true;
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&] {
            // At least one round each, however soon the reloader is done.
            do {
                logInfo("info record");
                if (getIpcLogger().isErrorEnabled()) getIpcLogger().log(VK_LOG_ERROR, "ipc record");
                VkNDC::push("ctx");
                logDebug("debug record");
                VkNDC::pop();
            } while (!done);
        });
    reloader.join();
    for (auto& thread : writers) thread.join();
    EXPECT_FALSE(capture.texts().empty());
}

}  // namespace
