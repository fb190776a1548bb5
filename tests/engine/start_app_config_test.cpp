#include "engine/start_app_config.h"

#include <sys/stat.h>
#include <syslog.h>

#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/app_store.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

typedef StartAppConfig::Lexer Lexer;

// Every field of a component in one line.
std::string describe(const Component& c) {
    return c.getName() + "|" + c.getArgv() + "|" + std::to_string(c.getTimeStart()) + "|" +
           std::to_string(c.getTimeStop()) + "|" + std::to_string(c.getLogType()) + "|" + c.getInformerCommand() +
           "|" + c.getUserGroup() + (c.isFromMetaConf() ? "|agent" : "");
}

class MetaConfTest : public ::testing::Test {
protected:
    bool parse(const std::string& text) {
        vktest::writeFile(path(), text);
        StartAppConfig config(path());
        return config.parse(store);
    }
    std::string path() const { return dir.file("apps.mmc"); }
    std::string at(int line, const std::string& message) const {
        return "config file \"" + path() + "\":" + std::to_string(line) + message;
    }
    // The records of one priority, without the thread tag and logger name.
    std::vector<std::string> logged(int priority, const char* word) const {
        std::vector<std::string> result;
        for (const auto& record : capture.records())
            if ((record.first & LOG_PRIMASK) == priority)
                result.push_back(record.second.substr(record.second.find(word) + std::string(word).size()));
        return result;
    }
    std::vector<std::string> errors() const { return logged(LOG_ERR, " ERROR "); }
    std::vector<std::string> warnings() const { return logged(LOG_WARNING, " WARN "); }
    std::vector<std::string> components(const AppName& name) const {
        std::vector<std::string> result;
        if (const Application* app = store.findApp(name))
            for (const Component& c : app->getComponents()) result.push_back(describe(c));
        return result;
    }

    vktest::SyslogCapture capture;
    vktest::TempDir dir;
    AppStore store{false};
};

TEST_F(MetaConfTest, CompleteFileGivesExactlyTheApplicationsAndComponents) {
    EXPECT_TRUE(parse(
        "# Velka applications\n"
        "APPLICATION AGENT\n"
        "    FULLNAME \"Velka Agent\"\n"
        "    PATH /opt/velka/agent\n"
        "    COMPONENTS\n"
        "        velka-agent \"-c /etc/velka/agent.conf\n"
        " --verbose\" 10 20 LOG -\n"
        "    ENDCOMPONENTS\n"
        "ENDAPPLICATION\n"
        "\n"
        "Application Varno            # keywords in any case\n"
        "    FullName \"Velka\\tMail\\bDaemon\\n\\q #1\"\n"
        "    PATH \"/opt/velka/varno/\"\n"
        "    DEPENDS agent, Store \"log\"   agent\n"
        "    COMPONENTS smtpd \"--listen 25 \\\n"
        "--queue /var/spool/velka\" 30 40 MAIL \"mail\"\n"
        "        imapd \"-p 143\" 5 6 \"/usr/bin/logger -t velka\" mail:mail  # comment\n"
        "\n"
        "        pop3d \"\" 0 1 log - extra tokens\n"
        "    endComponents\n"
        "EndApplication\n"));
    EXPECT_THAT(errors(), IsEmpty());
    EXPECT_THAT(warnings(), IsEmpty());
    ASSERT_EQ(store.getApps().size(), 2u);

    const Application& agent = *store.findApp("AGENT");
    EXPECT_EQ(agent.getFullName(), "Velka Agent");
    EXPECT_EQ(agent.getPath(), "/opt/velka/agent/");
    EXPECT_THAT(agent.getDepends(), IsEmpty());
    EXPECT_THAT(components("AGENT"),
                ElementsAre("velka-agent|-c /etc/velka/agent.conf\n --verbose|10|20|1||:|agent"));

    const Application& varno = *store.findApp("VARNO");
    EXPECT_EQ(varno.getName().str(), "Varno");
    EXPECT_EQ(varno.getFullName(), "Velka\tMail\bDaemon\nq #1");
    EXPECT_EQ(varno.getPath(), "/opt/velka/varno/");
    EXPECT_THAT(varno.getDepends(), ElementsAre("agent", "log", "Store"));
    EXPECT_THAT(components("varno"), ElementsAre("smtpd|--listen 25 \n--queue /var/spool/velka|30|40|2||mail:",
                                                 "imapd|-p 143|5|6|3|/usr/bin/logger -t velka|mail:mail",
                                                 "pop3d||0|1|1||:"));
}

TEST_F(MetaConfTest, EachSyntaxErrorGivesItsPositionAndMessageAndFailsTheFile) {
    const std::string head = "APPLICATION a\nPATH /p\n";
    const std::string comps = head + "COMPONENTS\n";
    const struct {
        std::string text;
        std::vector<std::string> expected;
    } cases[] = {
        {"\n# leading lines count\nFOO bar\nAPPLICATION a\n", {at(3, ":unknown section: string 'FOO'")}},
        {"APPLICATION 12\n", {at(1, ":invalid application name")}},
        {"APPLICATION \"\"\n", {at(1, ":invalid application name")}},
        {"APPLICATION a b\n", {at(1, ":invalid syntax: application name must bee without spaces")}},
        {head + "FULLNAME ,\n", {at(3, ":parameter value error")}},
        {head + "FULLNAME x\nFOO bar\nENDAPPLICATION\n", {at(4, ":unknown application parameter: string 'FOO'")}},
        {head + "RECOVERYTIME 5\nID x\n",
         {at(3, ":unknown application parameter: keyword 'RECOVERYTIME'"),
          at(4, ":unknown application parameter: keyword 'ID'")}},
        {head + "DEPENDS x,,y , z\n", {at(3, ":one too many ','")}},
        {head + "DEPENDS x 5 = y\n",
         {at(3, ":invalid syntax near unexpected token number 5"),
          at(3, ":invalid syntax near unexpected token unknown")}},
        {comps + "log \"\" 1 2 LOG -\n", {at(4, ":error component name keyword 'LOG'")}},
        {comps + "c 5 1 2 LOG -\n", {at(4, ":error component parametr argv ")}},
        {comps + "c \"x\" 1e 2 LOG -\n", {at(4, ":error component parametr TimeStart ")}},
        {comps + "c \"x\" 1 y LOG -\n", {at(4, ":error component parametr TimeStop ")}},
        {comps + "c \"x\" 1 2 LOG mail\n", {at(4, ":error component parametr User")}},
        {comps + "c \"x\" 1 2 LOG a:b:c\n", {at(4, ":error component parametr User. Use USER:GROUP")}},
        {comps + "c \"x\" 1 2\nd \"y\" 1 2 LOG -\n",
         {at(5, ":error component parametr LogType"), at(5, ":error component parametr User")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        AppStore fresh(false);
        vktest::SyslogCapture records;
        vktest::writeFile(path(), c.text);
        EXPECT_FALSE(StartAppConfig(path()).parse(fresh));
        std::vector<std::string> seen;
        for (const auto& r : records.records())
            if ((r.first & LOG_PRIMASK) == LOG_ERR) seen.push_back(r.second.substr(r.second.find(" ERROR ") + 7));
        EXPECT_EQ(seen, c.expected);
    }
}

TEST_F(MetaConfTest, WrongLogTypeKeepsTheComponentAndDependsKeepTheNames) {
    EXPECT_FALSE(parse("APPLICATION a\nDEPENDS x,,y , z,\nCOMPONENTS\nc \"x\" 1 2 7 u:g\nENDCOMPONENTS\n"));
    EXPECT_THAT(store.findApp("a")->getDepends(), ElementsAre("x", "y", "z"));
    EXPECT_THAT(components("a"), ElementsAre("c|x|1|2|2||u:g"));
}

TEST_F(MetaConfTest, DuplicateNameInAnotherCaseIsRefusedAndTheFirstStays) {
    EXPECT_FALSE(parse("APPLICATION Store\nFULLNAME first\nENDAPPLICATION\n\nAPPLICATION STORE2\n"
                       "ENDAPPLICATION\napplication \"STORE\"\nFULLNAME second\nENDAPPLICATION\n"));
    EXPECT_THAT(errors(), ElementsAre(at(10, ":dublicate application \"STORE\". Possible there is unnecessary "
                                             "*.mmc file")));
    EXPECT_EQ(store.getApps().size(), 2u);
    EXPECT_EQ(store.findApp("store")->getFullName(), "first");
}

TEST_F(MetaConfTest, LooseEndsAreReadAsTheLanguageSays) {
    // No ENDAPPLICATION at the end; ENDAPPLICATION inside COMPONENTS is a
    // component line, so the next section is read as components too.
    EXPECT_FALSE(parse("APPLICATION a\nCOMPONENTS c1 \"#x\" 1 2 LOG :wheel\nENDAPPLICATION\n"
                       "APPLICATION b\nc2 \"y\" 3 4 MAIL -\nENDCOMPONENTS\nENDAPPLICATION\n\n"
                       "APPLICATION last\nFULLNAME l"));
    EXPECT_THAT(errors(), ElementsAre(at(3, ":error component name keyword 'ENDAPPLICATION'"),
                                      at(4, ":error component name keyword 'APPLICATION'")));
    EXPECT_THAT(components("a"), ElementsAre("c1|#x|1|2|1||:wheel", "c2|y|3|4|2||:"));
    EXPECT_EQ(store.findApp("last")->getFullName(), "l");
    EXPECT_EQ(store.findApp("b"), nullptr);

    AppStore empty(false);
    vktest::writeFile(path(), "# only a comment\n\n   \n");
    EXPECT_TRUE(StartAppConfig(path()).parse(empty));
    EXPECT_TRUE(empty.getApps().empty());
}

TEST_F(MetaConfTest, LongTextsAreKeptWholeWithOneWarning) {
    const std::string arg(300, 'a');
    const std::string path256 = "/" + std::string(255, 'p');
    const std::string longPath = path256 + "/bin";
    EXPECT_TRUE(parse("APPLICATION a\nPATH " + longPath + "\nFULLNAME \"" + path256 +
                      "\"\nCOMPONENTS\nc \"" + arg + "\" 1 2 LOG -\n"));
    EXPECT_EQ(store.findApp("a")->getPath(), longPath + "/");
    EXPECT_EQ(store.findApp("a")->getComponents().front().getArgv(), arg);
    EXPECT_THAT(warnings(), ElementsAre(at(2, ":  string \"" + path256 + "\" too long"),
                                        at(5, ":  string \"" + arg.substr(0, 256) + "\" too long")));
}

TEST_F(MetaConfTest, NumbersSaturateAndUnterminatedStringsWarn) {
    EXPECT_TRUE(parse("APPLICATION a\nCOMPONENTS\nc \"x\" 4294967297 2147483648 LOG -\nd \"y\" 2147483647 0 LOG -\n"
                      "ENDCOMPONENTS\nFULLNAME \"unterminated\nline\n"));
    EXPECT_EQ(store.findApp("a")->getFullName(), "unterminated\nline\n");
    EXPECT_THAT(components("a"), ElementsAre("c|x|2147483647|2147483647|1||:", "d|y|2147483647|0|1||:"));
    EXPECT_THAT(warnings(), ElementsAre(at(3, ": integer value is big"), at(3, ": integer value is big"),
                                        at(8, ": parse error at end of input")));
}

TEST_F(MetaConfTest, ByteFFIsDataNotTheEndOfTheFile) {
    EXPECT_FALSE(parse("APPLICATION a\nFULLNAME \"x\xff" "y\"\n\xff\n"
                       "COMPONENTS\nc \"\xff\x80\" 1 2 LOG -\nENDCOMPONENTS\nENDAPPLICATION\nAPPLICATION b\n"));
    EXPECT_THAT(errors(), ElementsAre(at(3, ":unknown application parameter: unknown")));
    EXPECT_EQ(store.findApp("a")->getFullName(), "x\xffy");
    EXPECT_THAT(components("a"), ElementsAre("c|\xff\x80|1|2|1||:"));
    EXPECT_NE(store.findApp("b"), nullptr);
}

TEST_F(MetaConfTest, ANulByteInAStringOrWordIsASyntaxErrorAtItsLine) {
    using namespace std::string_literals;
    const std::string head = "APPLICATION a\nCOMPONENTS\n";
    const struct {
        std::string line;
        const char* kind;
    } cases[] = {{"c \"\" 1 1 LOG \"root\0x:nogroup\"\n"s, "a string"},
                 {"c \"\" 1 1 LOG \"a:b\0:c\"\n"s, "a string"},
                 {"c \"\" 1 1 LOG root\0x:nogroup\n"s, "a word"},
                 {"c \"--x\n\0\" 1 1 LOG -\n"s, "a string"},  // the NUL is on the line after the quote
                 {"c \"\" 1 1 LOG - \0\n"s, "the text"}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.line);
        vktest::SyslogCapture records;
        AppStore fresh(false);
        vktest::writeFile(path(), head + k.line + "ENDCOMPONENTS\nENDAPPLICATION\n");
        EXPECT_FALSE(StartAppConfig(path()).parse(fresh));
        const int line = k.line.find("\n\0"s) != std::string::npos ? 4 : 3;
        EXPECT_TRUE(records.contains(at(line, std::string(":NUL byte in ") + k.kind)));
    }
    // Names that differ only after a NUL byte are refused, not taken as one.
    EXPECT_FALSE(parse("APPLICATION \"x\0a\"\nENDAPPLICATION\nAPPLICATION \"x\0b\"\nENDAPPLICATION\n"s));
    EXPECT_THAT(errors(), ::testing::Contains(at(1, ":NUL byte in a string")));
    EXPECT_THAT(errors(), ::testing::Contains(at(3, ":NUL byte in a string")));
}

// A line of NUL bytes, however long, costs one error record: at the top,
// among an application's parameters and among its components.
TEST_F(MetaConfTest, ALineOfNulBytesGivesOneErrorRecord) {
    std::string spaced;
    for (int i = 0; i < 10000; ++i) spaced.append("\0 ", 2);
    const std::string junk[] = {std::string(100000, '\0'), spaced, "DEPENDS " + spaced};
    for (const std::string& line : junk) {
        SCOPED_TRACE(&line - junk);
        vktest::SyslogCapture records;
        AppStore fresh(false);
        vktest::writeFile(path(), line + "\nAPPLICATION a\n" + line + "\nCOMPONENTS\n" + line +
                                      "\nc \"\" 1 1 LOG -\nENDCOMPONENTS\nENDAPPLICATION\n");
        EXPECT_FALSE(StartAppConfig(path()).parse(fresh));
        size_t errors = 0;
        for (const auto& record : records.records()) errors += (record.first & LOG_PRIMASK) == LOG_ERR;
        EXPECT_EQ(errors, 3u);
        for (int l : {1, 3, 5}) EXPECT_TRUE(records.contains(at(l, ":"))) << l;
        EXPECT_EQ(fresh.findApp("a")->getComponents().size(), 1u);
    }
}

TEST_F(MetaConfTest, LexerTokensAndTheirDescriptions) {
    vktest::writeFile(path(), "Log mAiL depends - x_1 :g, \"a\\\"b\n\\\n12 1e . # c\n");
    EXPECT_EQ(Lexer::dump(path(), false),
              "\n15\n16\n13\nSTRING(4) = \nSTRING(4) = x_1\nSTRING(4) = :g\n3\nSTRING(5) = a\nSTRING(4) = b"
              "\n1\nDIG = 12\n0\n0\n1\n2");

    Lexer lexer(path());
    const std::vector<std::string> expected = {"keyword 'LOG'", "keyword 'MAIL'", "keyword 'DEPENDS'",
                                               "string ''",     "string 'x_1'",   "string ':g'",
                                               "','",           "string 'a'",   "string 'b'",
                                               "unknown",       "number 12",      "unknown"};
    for (const std::string& text : expected) {
        lexer.nextToken();
        EXPECT_EQ(lexer.tokenText(), text);
    }
    EXPECT_THROW(lexer.getString(), StartAppConfig::LexerError);
    EXPECT_THROW(lexer.getNumber(), StartAppConfig::LexerError);
    EXPECT_EQ(lexer.position(false), "config file \"" + path() + "\"");
    try {
        StartAppConfig missing(dir.file("none.mmc"));
        FAIL();
    } catch (const StartAppConfig::LexerError& e) {
        EXPECT_EQ(std::string(e.what()), "file \"" + dir.file("none.mmc") + "\" not found");
    }
    EXPECT_THROW(StartAppConfig{dir.path()}, StartAppConfig::LexerError);
    // A FIFO or a device is refused at once, never waited on or read.
    ASSERT_EQ(::mkfifo(dir.file("fifo.mmc").c_str(), 0600), 0);
    for (const std::string& special : {dir.file("fifo.mmc"), std::string("/dev/zero")}) {
        try {
            StartAppConfig config(special);
            ADD_FAILURE() << special;
        } catch (const StartAppConfig::LexerError& e) {
            EXPECT_EQ(std::string(e.what()), "file \"" + special + "\" is not a regular file");
        }
    }
}

// Random and mutated files: every one is read to its end, nothing escapes,
// and a false result always comes with a logged syntax error.
TEST_F(MetaConfTest, RandomAndMutatedInputsFinish) {
    const std::string sample =
        "APPLICATION AGENT\nFULLNAME \"A\\tB\"\nPATH /opt/a\nDEPENDS x, y\nCOMPONENTS c \"-v \\\n-q\" 10 20 LOG -\n"
        "d \"\" 1 2 MAIL u:g\ne \"x\" 3 4 \"cmd\" \"mail\"\nENDCOMPONENTS\nENDAPPLICATION\n";
    const char* const pieces[] = {"APPLICATION ", "ENDAPPLICATION", "COMPONENTS", "ENDCOMPONENTS", "DEPENDS ",
                                  "LOG", "MAIL", "\"", "\\", "\n", ",", "-", " ", "#", "9999999999", "a:b",
                                  "\xff", "\\\n", "1e"};
    std::mt19937 random(20240607);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        if (round % 2) {
            text = sample;
            for (int edits = 1 + random() % 6; edits > 0; --edits) {
                const size_t at = random() % (text.size() + 1);
                switch (random() % 4) {
                case 0: text.insert(at, pieces[random() % (sizeof pieces / sizeof *pieces)]); break;
                case 1: text.erase(at, random() % 8); break;
                case 2: if (at < text.size()) text[at] = static_cast<char>(random()); break;
                default: text.resize(at); break;
                }
            }
        } else {
            for (int n = random() % 40; n > 0; --n)
                text += random() % 3 ? pieces[random() % (sizeof pieces / sizeof *pieces)]
                                     : std::string(1, static_cast<char>(random()));
        }
        SCOPED_TRACE(text);
        vktest::SyslogCapture records;
        vktest::writeFile(path(), text);
        AppStore fresh(false);
        bool ok = false;
        ASSERT_NO_THROW(ok = StartAppConfig(path()).parse(fresh));
        ASSERT_NO_THROW(Lexer::dump(path(), false));
        bool errorLogged = false;
        for (const auto& r : records.records()) errorLogged |= (r.first & LOG_PRIMASK) == LOG_ERR;
        ASSERT_EQ(ok, !errorLogged);
        for (const auto& app : fresh.getApps())
            for (const Component& c : app.second->getComponents()) ASSERT_FALSE(c.getName().empty());
    }
}

}  // namespace
