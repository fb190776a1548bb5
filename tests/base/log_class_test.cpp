#include "base/log_class.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <regex>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

const char* const kCtime = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} ";

std::string tagOfThisThread() { return "[" + std::to_string(static_cast<unsigned long>(pthread_self())) + "] "; }

class LogClassTest : public ::testing::Test {
protected:
    void TearDown() override {
        LogClass reset("reset");
        reset.init("syslog", VK_LOG_DEBUG, LOG_MAIL, false);
    }
    vktest::TempDir dir;
};

TEST(LogWords, LevelWordsAreCaseInsensitiveAndOnlyFiveExist) {
    EXPECT_EQ(LogClass::parseLevel("INFO"), 4);
    EXPECT_EQ(LogClass::parseLevel("Info"), 4);
    EXPECT_EQ(LogClass::parseLevel("info"), 4);
    EXPECT_EQ(LogClass::parseLevel("Debug"), 5);
    EXPECT_EQ(LogClass::parseLevel("ALERT"), 3);
    EXPECT_EQ(LogClass::parseLevel("error"), 2);
    EXPECT_EQ(LogClass::parseLevel("Quiet"), 0);
    for (const char* bad : {"warn", "fatal", "", " info", "all"}) {
        try {
            LogClass::parseLevel(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("Error in level value ") + bad + ". Use Quiet | Error | Alert | Info | Debug");
        }
    }
}

TEST(LogWords, FacilityWords) {
    EXPECT_EQ(LogClass::parseFacility("daemon"), LOG_DAEMON);
    EXPECT_EQ(LogClass::parseFacility("DAEMON"), LOG_DAEMON);
    EXPECT_EQ(LogClass::parseFacility("Daemon"), LOG_DAEMON);
    EXPECT_EQ(LogClass::parseFacility("mail"), LOG_MAIL);
    EXPECT_EQ(LogClass::parseFacility("Local0"), 128);
    EXPECT_EQ(LogClass::parseFacility("local7"), 184);
    try {
        LogClass::parseFacility("Local8");
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Error in SyslogFacility value Local8. Use Daemon | Mail | Local0-7\n");
    }
}

TEST(LogWords, SyslogPriorityToLevel) {
    const int expected[] = {1, 1, 1, 2, 3, 4, 4, 5};
    for (int p = 0; p < 8; ++p) EXPECT_EQ(LogClass::levelFromSyslogPriority(p), expected[p]) << p;
    EXPECT_EQ(LogClass::levelFromSyslogPriority(8), 4);
    EXPECT_EQ(LogClass::levelFromSyslogPriority(-1), 4);
}

TEST(LogWords, LevelTests) {
    LogClass logger("x");
    logger.setLevel(3);
    EXPECT_TRUE(logger.isFatalEnabled());
    EXPECT_TRUE(logger.isErrorEnabled());
    EXPECT_TRUE(logger.isWarnEnabled());
    EXPECT_FALSE(logger.isInfoEnabled());
    EXPECT_FALSE(logger.isDebugEnabled());
    EXPECT_TRUE(logger.isEnabledFor(3));
    EXPECT_FALSE(logger.isEnabledFor(4));
    logger.setLevel(std::string("quiet"));
    EXPECT_FALSE(logger.isFatalEnabled());
}

TEST_F(LogClassTest, FileRecordHasTimeTagNameLevelAndText) {
    LogClass logger("monitor");
    ASSERT_TRUE(logger.init(dir.file("a.log"), VK_LOG_DEBUG, LOG_MAIL, false));
    logger.log(VK_LOG_INFO, "ABC");
    logger.log(VK_LOG_FATAL, "f");
    logger.log(VK_LOG_ERROR, "e");
    logger.log(VK_LOG_WARN, "w");
    logger.log(VK_LOG_DEBUG, "d");
    logger.log(VK_LOG_QUIET, "q");
    logger.log(VK_LOG_ALL, "a");
    const auto lines = vktest::readLines(dir.file("a.log"));
    ASSERT_EQ(lines.size(), 7u);
    const std::string tag = tagOfThisThread();
    const std::string words[] = {" INFO ABC", " FATAL f", " ERROR e", " WARN w", " DEBUG d", " OFF q", " ALL a"};
    for (size_t i = 0; i < 7; ++i) {
        const std::string& line = lines[i];
        EXPECT_TRUE(std::regex_search(line, std::regex(std::string("^") + kCtime))) << line;
        ASSERT_GT(line.size(), 25u);
        EXPECT_EQ(line.substr(25), tag + "monitor" + words[i]);
    }
}

TEST_F(LogClassTest, EmptyNameGivesTwoBlanksAndPercentIsLiteral) {
    LogClass logger("");
    ASSERT_TRUE(logger.init(dir.file("a.log"), VK_LOG_DEBUG, LOG_MAIL, false));
    logger.log(VK_LOG_WARN, "100%s done %d");
    const auto lines = vktest::readLines(dir.file("a.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(25), tagOfThisThread() + " WARN 100%s done %d");
    EXPECT_NE(lines[0].find("]  WARN "), std::string::npos);
}

TEST_F(LogClassTest, ContextTopIsPrintedWithBlank) {
    LogClass logger("n");
    ASSERT_TRUE(logger.init(dir.file("a.log"), VK_LOG_DEBUG, LOG_MAIL, false));
    EXPECT_TRUE(VkNDC::empty());
    VkNDC::push("outer");
    VkNDC::push("inner");
    EXPECT_EQ(VkNDC::depth(), 2u);
    logger.log(VK_LOG_INFO, "x");
    VkNDC::pop();
    VkNDC::pop();
    EXPECT_TRUE(VkNDC::empty());
    logger.log(VK_LOG_INFO, "y");
    const auto lines = vktest::readLines(dir.file("a.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(25), tagOfThisThread() + "n INFO inner x");
    EXPECT_EQ(lines[1].substr(25), tagOfThisThread() + "n INFO y");
}

TEST_F(LogClassTest, SyslogGetsFacilityOrPriorityAndLiteralText) {
    vktest::SyslogCapture capture;
    LogClass logger("monitor");
    ASSERT_TRUE(logger.init("syslog", VK_LOG_DEBUG, LOG_LOCAL3, false));
    logger.log(VK_LOG_ERROR, "a %s b");
    logger.log(VK_LOG_FATAL, "crit");
    logger.log(VK_LOG_INFO, "i");
    logger.log(VK_LOG_DEBUG, "d");
    logger.log(VK_LOG_WARN, "w");
    VkNDC::push("ctx");
    logger.log(VK_LOG_INFO, "with");
    VkNDC::pop();
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 6u);
    const std::string tag = tagOfThisThread();
    EXPECT_EQ(records[0].first, LOG_LOCAL3 | LOG_ERR);
    EXPECT_EQ(records[0].second, tag + "monitor ERROR a %s b");
    EXPECT_EQ(records[1].first, LOG_LOCAL3 | LOG_CRIT);
    EXPECT_EQ(records[2].first, LOG_LOCAL3 | LOG_INFO);
    EXPECT_EQ(records[3].first, LOG_LOCAL3 | LOG_DEBUG);
    EXPECT_EQ(records[4].first, LOG_LOCAL3 | LOG_WARNING);
    EXPECT_EQ(records[5].second, tag + "monitor INFO ctx with");
}

TEST_F(LogClassTest, SwitchingBackToSyslogClosesTheFile) {
    vktest::SyslogCapture capture;
    LogClass logger("m");
    ASSERT_TRUE(logger.init(dir.file("a.log"), VK_LOG_DEBUG, LOG_MAIL, false));
    EXPECT_EQ(LogClass::currentFile(), dir.file("a.log"));
    logger.log(VK_LOG_INFO, "to file");
    ASSERT_TRUE(logger.init("", VK_LOG_DEBUG, LOG_MAIL, false));
    EXPECT_EQ(LogClass::currentFile(), "");
    logger.log(VK_LOG_INFO, "to syslog 1");
    ASSERT_TRUE(logger.init(dir.file("a.log"), VK_LOG_DEBUG, LOG_MAIL, false));
    ASSERT_TRUE(logger.init("syslog", VK_LOG_DEBUG, LOG_MAIL, false));
    logger.log(VK_LOG_INFO, "to syslog 2");
    EXPECT_EQ(vktest::readLines(dir.file("a.log")).size(), 1u);
    EXPECT_EQ(capture.texts().size(), 2u);
    // No descriptor is left on the file once the target went back to syslog.
    EXPECT_TRUE(vktest::openFilesUnder(dir.path()).empty());
}

TEST_F(LogClassTest, TheLoggerInitialisedLastChoosesTheTarget) {
    LogClass first("one"), second("two");
    ASSERT_TRUE(first.init(dir.file("1.log"), VK_LOG_DEBUG, LOG_MAIL, false));
    ASSERT_TRUE(second.init(dir.file("2.log"), VK_LOG_DEBUG, LOG_MAIL, false));
    first.log(VK_LOG_INFO, "from one");
    second.log(VK_LOG_INFO, "from two");
    EXPECT_TRUE(vktest::readLines(dir.file("1.log")).empty());
    const auto lines = vktest::readLines(dir.file("2.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("one INFO from one"), std::string::npos);
    EXPECT_NE(lines[1].find("two INFO from two"), std::string::npos);
}

TEST_F(LogClassTest, FileIsAppendedNotTruncated) {
    vktest::writeFile(dir.file("a.log"), "old line\n");
    LogClass logger("m");
    ASSERT_TRUE(logger.init(dir.file("a.log"), VK_LOG_DEBUG, LOG_MAIL, false));
    logger.log(VK_LOG_INFO, "new");
    const auto lines = vktest::readLines(dir.file("a.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "old line");
}

TEST_F(LogClassTest, UnopenableFileKeepsPreviousTargetButTakesLevel) {
    LogClass logger("m");
    ASSERT_TRUE(logger.init(dir.file("a.log"), VK_LOG_DEBUG, LOG_MAIL, false));
    const std::string bad = dir.file("missing/dir/x.log");
    try {
        logger.init(bad, VK_LOG_ERROR, LOG_LOCAL1, false);
        ADD_FAILURE();
    } catch (const std::domain_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "error in open log file " + bad + " for writing: No such file or directory");
    }
    EXPECT_EQ(logger.getLevel(), VK_LOG_ERROR);
    EXPECT_EQ(logger.getFacility(), LOG_LOCAL1);
    EXPECT_EQ(LogClass::currentFile(), dir.file("a.log"));
    logger.log(VK_LOG_ERROR, "still here");
    EXPECT_EQ(vktest::readLines(dir.file("a.log")).size(), 1u);
}

TEST_F(LogClassTest, SecondInitFormConvertsFacilityFirst) {
    LogClass logger("m");
    logger.setLevel(VK_LOG_WARN);
    EXPECT_THROW(logger.init("syslog", "bogus", "bogus", false, false, "%m"), std::invalid_argument);
    try {
        logger.init("syslog", "bogus", "bogus", false, false, "%m");
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("SyslogFacility"), std::string::npos);
    }
    EXPECT_EQ(logger.getLevel(), VK_LOG_WARN);
    EXPECT_EQ(logger.getFacility(), LOG_MAIL);
    ASSERT_TRUE(logger.init("syslog", "Alert", "local2", true, false, "%m"));
    EXPECT_EQ(logger.getLevel(), 3);
    EXPECT_EQ(logger.getFacility(), LOG_LOCAL2);
    EXPECT_TRUE(logger.getStderrEcho());
}

TEST_F(LogClassTest, EchoCopiesEveryRecordToStderrWithTime) {
    LogClass logger("monitor");
    ASSERT_TRUE(logger.init(dir.file("a.log"), VK_LOG_DEBUG, LOG_MAIL, true));
    testing::internal::CaptureStderr();
    logger.log(VK_LOG_INFO, "echo %s");
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string expected = tagOfThisThread() + "monitor INFO echo %s\n";
    EXPECT_TRUE(std::regex_search(err, std::regex(std::string("^") + kCtime))) << err;
    ASSERT_EQ(err.size(), 25 + expected.size());
    EXPECT_EQ(err.substr(25), expected);
    EXPECT_EQ(vktest::readLines(dir.file("a.log")).size(), 1u);
}

TEST(LogFronts, LogfFormatsAndTestsTheLevel) {
    vktest::SyslogCapture capture;
    LogClass logger("f");
    logger.setLevel(VK_LOG_WARN);
    logger.logf(VK_LOG_INFO, "dropped %d", 1);
    logger.logf(VK_LOG_WARN, "kept %d %s", 7, "x");
    const std::string big(5000, 'z');
    logger.logf(VK_LOG_ERROR, "%s", big.c_str());
    const auto texts = capture.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], tagOfThisThread() + "f WARN kept 7 x");
    EXPECT_EQ(texts[1], tagOfThisThread() + "f ERROR " + big);
}

std::string callFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = LogClass::formatArgs(format, args);
    va_end(args);
    return text;
}

TEST(LogFronts, ErrnoFrontsKnowOnlyThreeConversions) {
    EXPECT_EQ(callFormat("a %s %u %i %d%%", "s", 42u, -3), "a s 42 -3 d%");
    vktest::SyslogCapture capture;
    LogClass logger("e");
    errno = ENOENT;
    logger.errorErrno("open %s", "/x");
    errno = EACCES;
    logger.fatalErrno("step %i", 2);
    logger.setLevel(VK_LOG_QUIET);
    logger.errorErrno("silent");
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].second, tagOfThisThread() + "e ERROR open /x: No such file or directory");
    EXPECT_EQ(records[1].second, tagOfThisThread() + "e FATAL step 2: Permission denied");
    EXPECT_EQ(records[1].first & LOG_PRIMASK, LOG_CRIT);
}

TEST(LogFronts, FatalErrnoAbortAbortsEvenWhenQuiet) {
    EXPECT_DEATH(
        {
            LogClass logger("q");
            logger.setLevel(VK_LOG_QUIET);
            logger.fatalErrnoAbort("bye");
        },
        "");
}

LogClass::LocalSink* testSink() {
    static LogClass::LocalSink sink;
    return &sink;
}

TEST(LogFronts, LocalCallbackLine) {
    LogClass logger("l");
    logger.localCallbackLine(48, "nothing set");  // no callback: nothing happens
    LogClass::m_local_callback = testSink;
    logger.localCallbackLine(16, "first");
    EXPECT_EQ(testSink()->first, "first");
    EXPECT_EQ(testSink()->second, "");
    VkNDC::push("c");
    logger.localCallbackLine(32, "line");
    VkNDC::pop();
    LogClass::m_local_callback = nullptr;
    const std::string& second = testSink()->second;
    EXPECT_TRUE(std::regex_match(second, std::regex(std::string(kCtime) + "c line\r\n"))) << second;
}

TEST(LogFronts, InheritAndDerive) {
    LogClass parent("monitor");
    parent.init("syslog", VK_LOG_ERROR, LOG_LOCAL5, false);
    parent.setStderrEcho(true);
    LogClass child("ipc");
    child.inheritFrom(parent);
    EXPECT_EQ(child.getName(), "monitor.ipc");
    EXPECT_EQ(child.getLevel(), VK_LOG_ERROR);
    EXPECT_EQ(child.getFacility(), LOG_LOCAL5);
    EXPECT_TRUE(child.getStderrEcho());
    child.inheritFrom(parent);
    EXPECT_EQ(child.getName(), "monitor.ipc");
    LogClass empty("");
    empty.deriveFrom(parent, "debug");
    EXPECT_EQ(empty.getName(), "monitor");
    EXPECT_EQ(empty.getLevel(), VK_LOG_DEBUG);
    LogClass keep("x");
    keep.deriveFrom(parent, "");
    EXPECT_EQ(keep.getLevel(), VK_LOG_ERROR);
    parent.setStderrEcho(false);
}

}  // namespace
