#include "engine/letters.h"

#include <regex>

#include <gtest/gtest.h>

#include "engine/monitor_state.h"

namespace {

const time_t kNoon = 1700000000 - (1700000000 % 86400) + 12 * 3600;  // 12:00:00 UTC
const char* const kSignature = "\n---\nSincerely yours,\nvelka-monitor\n1.2.3 for Linux\nHost \"box\"";

class Letters : public ::testing::Test {
protected:
    void SetUp() override { fillInfo({}); }
    void TearDown() override { MonitorInfo::destroy(); }
    static void fillInfo(const std::vector<uint32_t>& delays) {
        MonitorInfo::instance()->fill("velka-monitor", "Linux", "1.2.3", "box", delays);
    }
    // Checks the date line and returns the rest of the letter.
    static std::string afterDate(const std::string& letter) {
        const size_t end = letter.find('\n');
        EXPECT_TRUE(std::regex_match(letter.substr(0, end),
                                     std::regex("Date: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
                                                "[0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}")))
            << letter;
        return letter.substr(end + 1);
    }
};

TEST_F(Letters, FailedLetterWithoutRestartsOrAffectedApplications) {
    std::string text;
    makeFailedLetter(321, "varnod", kNoon, "Varno Mail", "/opt/velka/bin/", {}, text);
    EXPECT_EQ(afterDate(text),
              "Subject: ERROR: Component \"varnod\" failed\n\n"
              "Component \"varnod\" (pid=321, file=/opt/velka/bin/varnod) used in \"Varno Mail\" failed at 12:00:00\n"
              "\n" +
                  std::string(kSignature));
}

TEST_F(Letters, FailedLetterNamesTheAttemptTimes) {
    fillInfo({10, 50, 240});  // stored as 10, 60, 300
    std::string text;
    makeFailedLetter(5, "c", kNoon, "App", "/p/", {"A", "B"}, text);
    EXPECT_EQ(afterDate(text),
              "Subject: ERROR: Component \"c\" failed\n\n"
              "Component \"c\" (pid=5, file=/p/c) used in \"App\" failed at 12:00:00\n"
              "This could affect operation of the following application(s): \"A\", \"B\"\n"
              "\n"
              "Monitor has tried to restart \"c\" at 12:00:10\n"
              "Further attempts to restart the module will made at: 12:01:00, 12:05:00\n"
              "Once the component is restarted, you will be informed\n" +
                  std::string(kSignature));
    fillInfo({7});
    makeFailedLetter(5, "c", kNoon, "App", "/p/", {}, text);
    EXPECT_NE(text.find("Monitor has tried to restart \"c\" at 12:00:07\n\n---\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Further attempts"), std::string::npos);
}

TEST_F(Letters, RecoveryLetterListsTheAbortiveAttempts) {
    fillInfo({10, 20, 30});
    std::string text;
    makeRecoveryLetter(77, "c", kNoon + 31, kNoon, 1, "App", "/p/", text);
    EXPECT_EQ(afterDate(text),
              "Subject: INFO: Component \"c\" recovery\n\n"
              "Component \"c\" (new pid=77, file=/p/c) used in \"App\" which failed at 12:00:00 be recovery at "
              "12:00:31\n" +
                  std::string(kSignature));
    makeRecoveryLetter(77, "c", kNoon + 31, kNoon, 3, "App", "/p/", text);
    EXPECT_NE(text.find("12:00:31\nAbortive attempts to recovery it were made at 12:00:10, 12:00:30\n\n---"),
              std::string::npos)
        << text;
    makeRecoveryLetter(77, "c", kNoon + 31, kNoon, 9, "App", "/p/", text);
    EXPECT_NE(text.find("made at 12:00:10, 12:00:30, 12:01:00\n\n---"), std::string::npos) << text;
}

TEST_F(Letters, CannotRecoverLetter) {
    std::string text;
    makeCannotRecoveryLetter(8, "c", kNoon, "App", "/p/", text);
    EXPECT_EQ(afterDate(text),
              "Subject: ERROR: Component \"c\" cannot recovery\n\n"
              "Component \"c\" (new pid=8, file=/p/c) used in \"App\" which failed at 12:00:00 cannot be recovery\n"
              "\n" +
                  std::string(kSignature));
    fillInfo({1, 1});
    makeCannotRecoveryLetter(8, "c", kNoon, "App", "/p/", text);
    EXPECT_NE(text.find("cannot be recovery\nAbortive attempts to recovery it were made at 12:00:01, 12:00:02\n"
                        "\n---"),
              std::string::npos)
        << text;
}

}  // namespace
