// Pid-file address texts: which texts name a pid file, the addresses read
// from it and the records of unreadable or address-less files.
#include "ipc/session/parse_pid_file.h"

#include <gtest/gtest.h>

#include "base/app_log.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using velka::ipc::ParsePidFile;

struct PidFileCase {
    const char* name;
    const char* scheme;            // text before the file path; nullptr: the text is `content` itself
    const char* content;           // the pid file, nullptr: no file
    bool result;
    std::list<std::string> addresses;
    const char* record;            // a record expected in the log ("" for none checked)
};

TEST(ParsePidFile, TextsFilesAndRecords) {
    const std::vector<PidFileCase> cases = {
        {"peer", " PID :", "4711\n/var/run/peer.sock\n127.0.0.1:3004\n", true,
         {"local:/var/run/peer.sock", "inet:3004@127.0.0.1"}, "ParsePidFile: success parse pid file"},
        {"ipv6 split at the last colon", "pid:", "1\n::1:8080", true, {"inet:8080@::1"},
         "ParsePidFile: add address 'inet:8080@::1' from pid file"},
        {"empty line and carriage returns kept", "Pid:", "1\r\n\n/s\r\nh:80\r\n", true,
         {"local:", "local:/s\r", "inet:80\r@h"}, ""},
        {"only the pid line", "pid:", "4711\n", true, {}, "WARN Can not find any address in pid file '"},
        {"empty file", "pid:", "", true, {}, "':can not find pid number"},
        {"missing file", "pid:", nullptr, true, {},
         "':can not open file for reading:No such file or directory"},
        {"another scheme", nullptr, "pidfile:/x", false, {}, ""},
        {"no colon", nullptr, "pid", false, {}, ""},
        {"inet text", nullptr, "inet:80@localhost", false, {}, ""},
        {"empty path", nullptr, "pid:", true, {}, "ERROR Error during load and parse pid file '':can not open"},
    };
    getIpcLogger().setLevel(VK_LOG_DEBUG);
    vktest::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vktest::SyslogCapture capture;
        std::string text;
        if (c.scheme) {
            const std::string path = dir.file("peer.pid");
            ::unlink(path.c_str());
            if (c.content) vktest::writeFile(path, c.content);
            text = std::string(c.scheme) + path;
        } else {
            text = c.content;
        }
        std::list<std::string> out{"kept"};
        EXPECT_EQ(ParsePidFile(out, text), c.result);
        std::list<std::string> expected = c.addresses;
        expected.push_front("kept");
        EXPECT_EQ(out, expected);
        if (*c.record) {
            EXPECT_TRUE(capture.contains(c.record)) << ::testing::PrintToString(capture.texts());
        }
        if (c.scheme && c.addresses.empty()) {
            EXPECT_TRUE(capture.contains(dir.file("peer.pid") + "'"));
        }
        if (!c.result) {
            EXPECT_TRUE(capture.texts().empty());
        }
    }
}

}  // namespace
