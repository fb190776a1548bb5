#include "engine/conf_parser.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// Each case runs in a process of its own, so the check-failed flag starts
// lowered in each.
class ConfTest : public ::testing::Test {
protected:
    conf_store_t load(const std::string& text) {
        vktest::writeFile(path(), text);
        conf_parser_t parser(path());
        conf_store_t store;
        parser.load(store);
        return store;
    }
    std::string path() const { return dir.file("monitor.conf"); }
    std::string warning(int line, const std::string& message) const {
        return "cannot parse config file \"" + path() + "\", line " + std::to_string(line) + ", " + message;
    }
    std::string thrown(const conf_store_t& store, const std::string& key) {
        try {
            conf_store_get_int(store, key);
        } catch (const conf_store_exception_t& e) {
            return e.what();
        }
        return "nothing thrown";
    }

    vktest::SyslogCapture capture;
    vktest::TempDir dir;
};

TEST_F(ConfTest, CommentsStartInColumnOneOrOutsideAName) {
    const auto store = load(
        "# comment\n; comment\n   # after blanks\n[G]\n"
        "A = a # b\nB = x;y\nna#me = 1\n#C = 3\n  D = 4 ; note\n");
    EXPECT_EQ(conf_store_get_str(store, "G/A"), "a");
    EXPECT_EQ(conf_store_get_str(store, "G/B"), "x");
    EXPECT_EQ(conf_store_get_str(store, "G/na#me"), "1");
    EXPECT_EQ(conf_store_get_str(store, "G/D"), "4");
    EXPECT_EQ(store.at("G").size(), 4u);
    EXPECT_TRUE(capture.texts().empty());
    EXPECT_FALSE(isCheckFailed());
}

TEST_F(ConfTest, QuotesProtectOnlyCommentStartsAndAreRemovedAfterTrimming) {
    const auto store = load(
        "A = \"a # b\" ; note\nB = \"a, b\"\nC = \"\"\nD = \"  x  \"\nE = 'y'\nF = \"z\n"
        "G = \\\"a # b\"\n");
    EXPECT_EQ(conf_store_get_str(store, "A"), "a # b");
    EXPECT_EQ(conf_store_get_str(store, "B"), "\"a,b\"");
    EXPECT_EQ(conf_store_get_str(store, "C"), "\"\"");
    EXPECT_EQ(conf_store_get_str(store, "D"), "  x  ");
    EXPECT_EQ(conf_store_get_str(store, "E"), "y");
    EXPECT_EQ(conf_store_get_str(store, "F"), "\"z");
    EXPECT_EQ(conf_store_get_str(store, "G"), "a # b");
}

TEST_F(ConfTest, BackslashEscapesAndContinuesLines) {
    const auto store = load(
        "A = a\\#b\nB = a\\\\b\\;c\nC = one\\\ntwo\nD = one\\\n\n# comment\n   two\nE = a\\,b, c\nF = end\\");
    EXPECT_EQ(conf_store_get_str(store, "A"), "a#b");
    EXPECT_EQ(conf_store_get_str(store, "B"), "a\\b;c");
    EXPECT_EQ(conf_store_get_str(store, "C"), "one two");
    EXPECT_EQ(conf_store_get_str(store, "D"), "one two");
    EXPECT_EQ(conf_store_get_str(store, "E"), "a,b,c");
    EXPECT_EQ(conf_store_get_str(store, "F"), "end");
    EXPECT_TRUE(capture.texts().empty());
}

TEST_F(ConfTest, CommaLinesContinueValuesAndDuplicatesJoin) {
    const auto store = load(
        "A = x\n# between\n  , y ,z\nB = \nC = 3\nD = 1\nD = 2\nE =\nE = 5\nF = x,\ny\nH = 1\n");
    EXPECT_EQ(conf_store_get_str(store, "A"), "x,y,z");
    EXPECT_EQ(conf_store_get_str(store, "B"), "");
    EXPECT_EQ(conf_store_get_str(store, "C"), "3");
    EXPECT_EQ(conf_store_get_str(store, "D"), "1,2");
    EXPECT_EQ(thrown(store, "D"), "value \"1,2\" isn't number");
    EXPECT_EQ(conf_store_get_str(store, "E"), "5");
    EXPECT_EQ(conf_store_get_str(store, "F"), "x,");
    // The newline that ends the name is counted when the name is read.
    EXPECT_EQ(capture.texts().size(), 1u);
    EXPECT_TRUE(capture.contains(warning(12, "error separator: prm=y")));
    // The separator is looked for on the next line, which is skipped with it.
    EXPECT_THROW(conf_store_get_str(store, "H"), conf_store_exception_t);

    // A list of 200,000 items is read without a frame per item.
    std::string items = "L = a";
    for (int i = 1; i < 200000; ++i) items += ",a";
    std::vector<std::string> list;
    conf_store_get_str_vector(load(items + "\n"), "L", list);
    EXPECT_EQ(list.size(), 200000u);
}

TEST_F(ConfTest, ParseErrorsNameFileAndLineSkipTheConstructAndFailTheCheck) {
    const auto store = load("[Monitor\nA = 1\nB = 2\n[ Other ]\nC D\nE = 5\n[a/b]\nc = 1\n[]\nF = 6\n");
    const auto texts = capture.texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_NE(texts[0].find(warning(2, "param \"Monitor\" is not group")), std::string::npos);
    EXPECT_NE(texts[1].find(warning(3, "error separator: prm=Monitor")), std::string::npos);
    EXPECT_NE(texts[2].find(warning(5, "error separator: prm=C")), std::string::npos);
    EXPECT_NE(texts[3].find(warning(9, "error save param \"a/b/c\"")), std::string::npos);
    EXPECT_TRUE(isCheckFailed());
    EXPECT_EQ(store.size(), 2u);
    EXPECT_EQ(conf_store_get_str(store, "Other/E"), "5");
    EXPECT_EQ(conf_store_get_str(store, "F"), "6");
    EXPECT_EQ(conf_store_get_str(store, "/F"), "6");
}

TEST_F(ConfTest, SeparatorMessageIsCutAt511Characters) {
    load(std::string(600, 'n') + "\n");
    const std::string message = "error separator: prm=" + std::string(600, 'n');
    const auto texts = capture.texts();
    ASSERT_EQ(texts.size(), 1u);
    const std::string expected = warning(2, message.substr(0, 511));
    ASSERT_GT(texts[0].size(), expected.size());
    EXPECT_EQ(texts[0].substr(texts[0].size() - expected.size()), expected);
}

// The read runs in a child that SIGALRM ends after one second.
bool endsWithinASecond(const std::string& path) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(1);
        try {
            conf_parser_t parser(path);
            conf_store_t store;
            parser.load(store);
        } catch (const conf_store_exception_t&) {
        }
        ::_exit(0);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(ConfTest, BrokenInputEndsTheRead) {
    ASSERT_EQ(::mkfifo(dir.file("fifo.conf").c_str(), 0600), 0);
    const std::pair<std::string, const char*> refused[] = {{dir.file("missing.conf"), "not found."},
                                                           {dir.path(), "not found."},
                                                           {dir.file("fifo.conf"), "is not a regular file."},
                                                           {"/dev/zero", "is not a regular file."}};
    for (const auto& target : refused) {
        try {
            conf_parser_t parser(target.first);
            ADD_FAILURE() << target.first;
        } catch (const conf_store_exception_t& e) {
            EXPECT_EQ(std::string(e.what()), "config file \"" + target.first + "\" " + target.second);
        }
        EXPECT_TRUE(endsWithinASecond(target.first));
    }
    for (const std::string& text : {std::string("A = 1,"), std::string("A = 1 ,  "), std::string("[Mon"),
                                    std::string("A"), std::string("A = \"x\\"), std::string("# c")}) {
        vktest::writeFile(path(), text);
        EXPECT_TRUE(endsWithinASecond(path())) << text;
    }
    EXPECT_EQ(conf_store_get_str(load("A = 1,"), "A"), "1,");
    EXPECT_TRUE(endsWithinASecond(path()));
    const auto store = load("A = a\xff" "b\n\xff\nB = x\xff\n[G\xff]\nC=1");
    EXPECT_TRUE(endsWithinASecond(path()));
    EXPECT_EQ(conf_store_get_str(store, "A"), "a\xff" "b");
    EXPECT_EQ(conf_store_get_str(store, "B"), "x\xff");
    EXPECT_EQ(conf_store_get_str(store, "G/C"), "1");
    EXPECT_TRUE(vktest::openFilesUnder(dir.path()).empty());
}

TEST_F(ConfTest, LookupIgnoresCaseAndTheFirstGroupInByteOrderWins) {
    const auto store = load("Top = t\n[monitor]\nX = lower\nY = y\n[Monitor]\nX = upper\n");
    EXPECT_EQ(conf_store_get_str(store, "/MONITOR/x"), "upper");
    EXPECT_EQ(conf_store_get_str(store, "monitor/Y"), "y");
    EXPECT_EQ(conf_store_get_str(store, "TOP"), "t");
    EXPECT_EQ(conf_store_get_group(store, "MONITOR").at("X"), "upper");
    EXPECT_TRUE(conf_store_get_group(store, "none").empty());
    for (const auto& bad : {std::make_pair("Monitor/Z", "undefined parameter \"Monitor/Z\" in config file"),
                            std::make_pair("a/b/c", "path is large"), std::make_pair("a//c", "path is large"),
                            std::make_pair("/", "error path name")})
        EXPECT_EQ(thrown(store, bad.first), bad.second);

    conf_parser_t parser(path());
    const auto flat = conf_store_flatten(parser);
    EXPECT_EQ(flat, (std::map<std::string, std::string>{
                        {"Top", "t"}, {"monitor/X", "lower"}, {"monitor/Y", "y"}, {"Monitor/X", "upper"}}));
}

TEST_F(ConfTest, ThrowingReadersOfYesNoIntegersAndDirectories) {
    const auto store = load(
        "b1 = Yes\nb2 = NO\nb3 = true\ni1 = -12\ni2 = +12\ni3 = -\ni4 =\ni5 = 99999999999\ni6 = -2147483649\n"
        "i7 = 1 2\nd1 = /x\nd2 = /y/\nd3 =\n");
    EXPECT_TRUE(conf_store_get_bool(store, "b1"));
    EXPECT_FALSE(conf_store_get_bool(store, "b2"));
    EXPECT_THROW(conf_store_get_bool(store, "b3"), conf_store_exception_t);
    EXPECT_EQ(conf_store_get_int(store, "i1"), -12);
    EXPECT_EQ(thrown(store, "i2"), "value \"+12\" isn't number");
    EXPECT_EQ(conf_store_get_int(store, "i3"), 0);
    EXPECT_EQ(conf_store_get_int(store, "i4"), 0);
    EXPECT_EQ(conf_store_get_int(store, "i5"), INT_MAX);
    EXPECT_EQ(conf_store_get_int(store, "i6"), INT_MIN);
    EXPECT_EQ(thrown(store, "i7"), "value \"1 2\" isn't number");
    EXPECT_EQ(conf_store_get_dir(store, "d1"), "/x/");
    EXPECT_EQ(conf_store_get_dir(store, "d2"), "/y/");
    EXPECT_THROW(conf_store_get_dir(store, "d3"), conf_store_exception_t);
    EXPECT_FALSE(isCheckFailed());
}

TEST_F(ConfTest, ReadersWithDefaultsWarnAndFailTheCheck) {
    const auto store = load("[Monitor]\nTimeout = 0\nBig = 4000\nFlag = true\nN = 7\nDir = /d\nEmptyDir =\n");
    EXPECT_EQ(conf_store_get_int_range_def(store, "/Monitor/N", 1, 3600, 30), 7);
    EXPECT_EQ(conf_store_get_dir_def(store, "/Monitor/Dir", "/def"), "/d/");
    EXPECT_FALSE(isCheckFailed());

    EXPECT_EQ(conf_store_get_str_def(store, "/Monitor/User", "nobody"), "nobody");
    EXPECT_EQ(conf_store_get_dir_def(store, "/Monitor/MetaConfigDir", "/etc/m"), "/etc/m/");
    EXPECT_EQ(conf_store_get_dir_def(store, "/Monitor/EmptyDir", "/run/"), "/run/");
    EXPECT_TRUE(conf_store_get_bool_def(store, "/Monitor/Flag", true));
    EXPECT_EQ(conf_store_get_int_range_def(store, "/Monitor/Timeout", 1, 3600, 30), 30);
    EXPECT_EQ(conf_store_get_int_range_def(store, "/Monitor/Big", 1, 3600, 30), 30);
    EXPECT_EQ(conf_store_get_uint_def(store, "/Monitor/Flag", 5), 5);
    std::vector<std::string> items{"kept"};
    conf_store_get_str_vector_def(store, "/Monitor/List", items, "a,b");
    EXPECT_EQ(items, (std::vector<std::string>{"kept", "a,b"}));
    EXPECT_EQ(capture.texts().size(), 8u);
    for (const char* text : {
             "undefined parameter \"/Monitor/User\" in config file. Used value \"nobody\"",
             "undefined parameter \"/Monitor/MetaConfigDir\" in config file. Used value \"/etc/m/\"",
             "parameter \"/Monitor/EmptyDir\" is empty. Used value \"/run/\"",
             "parameter \"/Monitor/Flag\" must be \"yes\" or \"no\". Used value \"yes\"",
             "wrong parameter \"/Monitor/Timeout\": value \"0\" isn't in range [1, 3600]. Used default value 30",
             "wrong parameter \"/Monitor/Big\": value \"4000\" isn't in range [1, 3600]. Used default value 30",
             "wrong parameter \"/Monitor/Flag\": value \"true\" isn't number. Used default value 5",
             "wrong parameter \"/Monitor/List\": undefined parameter \"/Monitor/List\" in config file. "
             "Used default value a,b"})
        EXPECT_TRUE(capture.contains(" WARN " + std::string(text))) << text;
    EXPECT_TRUE(isCheckFailed());
}

TEST_F(ConfTest, ListReadersDropEmptyItemsAndIntegerListsReplace) {
    const auto store = load("L = ,a,, b ,\nI = 10, 20x, abc, -5, 99999999999\nE =\n");
    std::vector<std::string> items{"old"};
    conf_store_get_str_vector(store, "L", items);
    EXPECT_EQ(items, (std::vector<std::string>{"old", "a", "b"}));
    std::list<std::string> list{"old"};
    conf_store_get_str_list(store, "L", list);
    EXPECT_EQ(list, (std::list<std::string>{"old", "a", "b"}));
    std::vector<int> numbers{1, 2};
    conf_store_get_int_list(store, "I", numbers);
    EXPECT_EQ(numbers, (std::vector<int>{10, 20, 0, -5, INT_MAX}));
    conf_store_get_int_list(store, "E", numbers);
    EXPECT_TRUE(numbers.empty());
    numbers = {3};
    EXPECT_THROW(conf_store_get_int_list(store, "Missing", numbers), conf_store_exception_t);
    EXPECT_THROW(conf_store_get_str_list(store, "Missing", list), conf_store_exception_t);
    EXPECT_EQ(numbers, std::vector<int>{3});
    EXPECT_EQ(list.size(), 3u);
}

TEST_F(ConfTest, HttpUrlsAndNameCopies) {
    const auto store = load("a = http://host/p/q\nb = HTTP://h\nc = h2/x\nd = ftp://h\ne = http:///x\nf =\n");
    std::string host, urlPath;
    for (const auto& good : {std::make_pair("a", "host /p/q"), std::make_pair("b", "h "),
                             std::make_pair("c", "h2 /x"), std::make_pair("g", "def /")}) {
        EXPECT_TRUE(conf_store_get_http_url(store, good.first, "http://def/", host, urlPath));
        EXPECT_EQ(host + " " + urlPath, good.second);
    }
    EXPECT_FALSE(conf_store_get_http_url(store, "f", "http://x/", host, urlPath));
    EXPECT_EQ(host + urlPath, "");
    EXPECT_THROW(conf_store_get_http_url(store, "d", "", host, urlPath), conf_store_exception_t);
    try {
        conf_store_get_http_url(store, "e", "", host, urlPath);
        ADD_FAILURE();
    } catch (const conf_store_exception_t& e) {
        EXPECT_STREQ(e.what(), "malformed http url: \"http:///x\" in config file");
    }

    char buffer[5];
    EXPECT_EQ(conf_store_copy_name("AbC", buffer, 4), buffer + 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_FALSE(capture.contains("is large"));
    EXPECT_EQ(conf_store_copy_name("LongName", buffer, 4), buffer + 4);
    EXPECT_STREQ(buffer, "long");
    EXPECT_TRUE(capture.contains(" WARN name \"LongName\" is large"));
}

}  // namespace
