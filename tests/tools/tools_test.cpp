// The stand-in agent and the control client against raw sockets and each
// other: exact request and reply bytes, the injected faults, the logs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/utils.h"
#include "ipc/raw_peer.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;

namespace {

using vktest::eventually;
using vktest::fromHex;
using vktest::toHex;

// A string field as hex: the count, then the characters.
std::string str(const std::string& text) {
    char count[16];
    std::snprintf(count, sizeof count, "00 00 %02X %02X", unsigned(text.size() >> 8), unsigned(text.size() & 0xFF));
    return count + (text.empty() ? "" : " " + toHex(text));
}

// Reads until n bytes, the end of the stream or the time limit.
std::string receive(int fd, size_t n, int ms = 5000, bool* eof = nullptr) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[256];
        const ssize_t r = ::read(fd, buffer, std::min(sizeof buffer, n - got.size()));
        if (r <= 0) {
            if (eof) *eof = true;
            break;
        }
        got.append(buffer, static_cast<size_t>(r));
    }
    return got;
}
bool atEndOfStream(int fd, int ms = 5000) {
    bool eof = false;
    return receive(fd, 1, ms, &eof).empty() && eof;
}

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    return a;
}
int connectUnix(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = unixAddress(path);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0) << path;
    return fd;
}
void sendHex(int fd, const std::string& hex) {
    const std::string bytes = fromHex(hex);
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

int waitExit(pid_t pid, int seconds = 10) {
    int status = -1;
    EXPECT_TRUE(eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, seconds)) << "pid " << pid;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// The control client with its output in files of dir.
class Control {
public:
    Control(const vktest::TempDir& dir, const std::vector<std::string>& args) : m_dir(dir) {
        std::vector<std::string> argv{VK_CONTROL_CLIENT};
        argv.insert(argv.end(), args.begin(), args.end());
        const int out = ::open(dir.file("ctl.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = ::open(dir.file("ctl.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        m_pid = Utils::spawn(argv, -1, out, err);
        ::close(out);
        ::close(err);
    }
    ~Control() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    Outcome finish() {
        Outcome run;
        run.status = waitExit(m_pid);
        m_pid = -1;
        run.out = vktest::readFile(m_dir.file("ctl.out"));
        run.err = vktest::readFile(m_dir.file("ctl.err"));
        return run;
    }

private:
    const vktest::TempDir& m_dir;
    pid_t m_pid = -1;
};

Outcome control(const vktest::TempDir& dir, const std::vector<std::string>& args) { return Control(dir, args).finish(); }

// The stand-in agent started as the monitor starts a component: its
// descriptor 1 is a socket pair whose other end waits for the answer byte.
class StandIn {
public:
    StandIn(const vktest::TempDir& dir, std::vector<std::string> options, const std::string& socket = "")
        : address(socket.empty() ? "local:" + dir.file("agent") : socket), log(dir.file("agent.log")), pidFile(dir.file("agent.pid")) {
        std::vector<std::string> argv{VK_STAND_IN_AGENT, "--socket", address, "--log", log, "--pid-file", pidFile};
        argv.insert(argv.end(), options.begin(), options.end());
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        m_management = pair[0];
        m_pid = Utils::spawn(argv, -1, pair[1], -1);
        ::close(pair[1]);
        EXPECT_EQ(receive(m_management, 1), " ") << "start answer";
    }
    ~StandIn() {
        if (m_pid > 0) stop();
        ::close(m_management);
    }
    // SIGTERM ends it cleanly and its socket file goes with it.
    void stop() {
        ::kill(m_pid, SIGTERM);
        EXPECT_EQ(waitExit(m_pid), 0);
        m_pid = -1;
        if (address.compare(0, 6, "local:") == 0) {
            EXPECT_FALSE(std::filesystem::exists(address.substr(6)));
        }
    }
    void signal(int signo) { ::kill(m_pid, signo); }
    std::vector<std::string> logLines() const { return vktest::readLines(log); }
    bool logged(const std::string& text) const {
        return eventually([&] { return vktest::readFile(log).find(text) != std::string::npos; }, 5);
    }
    int connect() const { return connectUnix(address.substr(6)); }

    std::string address, log, pidFile;

private:
    int m_management = -1;
    pid_t m_pid = -1;
};

const std::string kConfig46 = "00 00 20 03 00 00 00 01 00 00 00 2E " + str("velka-monitor") + " 00 00 10 92";
const std::string kConfig40 = "00 00 20 03 00 00 00 01 00 00 00 28 " + str("velka-monitor") + " 00 00 10 92";

TEST(StandInAgent, AnswersConfigRequestsAndLogsEveryRequest) {
    vktest::TempDir dir;
    StandIn agent(dir, {"--runapplist", "AGENT,APP1", "--key", "monitor/timeout=5", "--admin", "root@x", "--mta", "postfix"});
    const int fd = agent.connect();
    struct Exchange {
        std::string request, reply;
    } exchanges[] = {
        {kConfig46, "00 00 00 02 00 00 00 01 00 00 00 02 " + str("monitor/runapplist") + " " + str("AGENT,APP1") + " " +
                        str("monitor/timeout") + " " + str("5")},
        {kConfig40, "00 00 00 02 00 00 00 01 00 00 00 02 " + str("notifier/adminmail") + " " + str("root@x") + " " +
                        str("monitor/mta") + " " + str("postfix")},
        {"00 00 20 03 00 00 00 03 00 00 00 63 " + str("x") + " 00 00 00 01", "00 00 00 02 00 00 00 02 00 00 00 00"},
        {"00 00 20 09 " + str("APP1") + " 00 00 00 4D " + str("nobody:nogroup") + " " + str(""), ""},
        {"00 00 20 0A " + str("APP1") + " 00 00 00 4D", ""},
        {"00 00 20 08 00 00 00 03 00 00 00 0A 00 00 00 0A 00 00 00 14", ""},
        {"00 00 20 08 FF FF FF FF", ""},
        {"00 00 20 0C " + str("/c") + " " + str("40") + " " + str("p"), "00 00 00 01 00 00 00 00"},
    };
    for (const Exchange& e : exchanges) {
        sendHex(fd, e.request);
        EXPECT_EQ(toHex(receive(fd, fromHex(e.reply).size())), e.reply) << e.request;
    }
    ASSERT_TRUE(agent.logged("update conn=1"));
    ::close(fd);
    const std::vector<std::string> expected = {
        "config conn=1 type=1 section=46 client=\"velka-monitor\" pid=4242 hex=" + kConfig46,
        "config conn=1 type=1 section=40 client=\"velka-monitor\" pid=4242 hex=" + kConfig40,
        "config conn=1 type=3 section=99 client=\"x\" pid=1 hex=" + exchanges[2].request,
        "start conn=1 name=\"APP1\" pid=77 users=\"nobody:nogroup\" cmdline=\"\" hex=" + exchanges[3].request,
        "stop conn=1 name=\"APP1\" pid=77 hex=" + exchanges[4].request,
        "reload conn=1 count=3 pids=10,10,20 hex=" + exchanges[5].request,
        "reload conn=1 count=-1 pids= hex=" + exchanges[6].request,
        "update conn=1 first=\"/c\" second=\"40\" third=\"p\" hex=" + exchanges[7].request,
    };
    EXPECT_EQ(agent.logLines(), expected);
    EXPECT_EQ(vktest::readLines(agent.pidFile).size(), 2u);
}

TEST(StandInAgent, InjectsFaultsIntoItsReplies) {
    const std::string normal = "00 00 00 02 00 00 00 01 00 00 00 00";
    struct Case {
        std::vector<std::string> options;
        std::string request;
        std::string first, second;  // replies to two requests; "EOF": closed
        std::string logged;
        bool usr1Between = false;
        int minMs = 0;
    } cases[] = {
        {{"--code46", "2"}, kConfig46, "00 00 00 02 00 00 00 02 00 00 00 00", "", "config conn=1"},
        {{"--code40", "2"}, kConfig46, normal, "", "config conn=1"},
        {{"--reply-type", "5"}, kConfig46, "00 00 00 05 00 00 00 01 00 00 00 00", "", "config conn=1"},
        {{"--hostile", "count"}, kConfig46, "00 00 00 02 00 00 00 01 7F FF FF FF", "", "config conn=1"},
        {{"--hostile", "length"}, kConfig46, "00 00 00 02 00 00 00 01 00 00 00 01 7F FF FF FF", "", "config conn=1"},
        {{"--hostile", "negative"}, kConfig46, "00 00 00 02 00 00 00 01 FF FF FF FF", "", "config conn=1"},
        {{"--hostile", "pairs"}, kConfig46, "00 00 00 02 00 00 00 01 00 00 10 00 " + str("key0") + " 00 10 00 00", "",
         "config conn=1"},
        {{"--close-after-id"}, kConfig46, "EOF", "", "closed-after-id conn=1 id=0x2003 hex=00 00 20 03"},
        {{}, "00 00 12 34", "EOF", "", "unknown conn=1 id=0x1234 hex=00 00 12 34"},
        {{}, "00 00 20 09 7F FF FF FF", "EOF", "", "refused conn=1 id=0x2009: application name length 2147483647"},
        {{}, "00 00 20 08 00 01 00 01", "EOF", "", "refused conn=1 id=0x2008: pid count 65537 above 65536"},
        {{"--delay", "300"}, kConfig46, normal, "", "config conn=1", false, 250},
        {{"--faults-after", "1", "--code46", "2"}, kConfig46, normal, "00 00 00 02 00 00 00 02 00 00 00 00", "config conn=1"},
        {{"--faults-on-usr1", "--hostile", "negative"}, kConfig46, normal, "00 00 00 02 00 00 00 01 FF FF FF FF",
         "signal USR1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        vktest::TempDir dir;
        StandIn agent(dir, c.options);
        const int fd = agent.connect();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 2; ++i) {
            const std::string& expected = i == 0 ? c.first : c.second;
            if (expected.empty()) break;
            if (i == 1 && c.usr1Between) {
                agent.signal(SIGUSR1);
                ASSERT_TRUE(agent.logged("signal USR1"));
            }
            sendHex(fd, c.request);
            if (expected == "EOF") {
                EXPECT_TRUE(atEndOfStream(fd));
            } else {
                EXPECT_EQ(toHex(receive(fd, fromHex(expected).size())), expected);
            }
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.minMs));
        EXPECT_TRUE(agent.logged(c.logged));
        ::close(fd);
    }
}

TEST(ControlClient, SendsExactRequestsAndReadsTheReply) {
    struct Case {
        std::vector<std::string> args;
        std::string request, reply;
        bool halfClose;  // the client shuts its side down after the request
        int status;
        std::string out, err;
    } cases[] = {
        {{"reload", "10", "10", "20"}, "00 00 20 08 00 00 00 03 00 00 00 0A 00 00 00 0A 00 00 00 14", "", true, 0, "", ""},
        {{"--id", "0x1234", "reload", "1"}, "00 00 12 34 00 00 00 01 00 00 00 01", "", true, 0, "", ""},
        {{"--hostile", "count", "reload", "7"}, "00 00 20 08 05 F5 E1 00 00 00 00 07", "", true, 0, "", ""},
        {{"--hostile", "negative", "reload"}, "00 00 20 08 FF FF FF FF", "", true, 0, "", ""},
        {{"reload", "5"}, "00 00 20 08 00 00 00 01 00 00 00 05", "58", true, 2, "", "unexpected reply bytes"},
        {{"update", "/c", "40", "prod"}, "00 00 20 0C " + str("/c") + " " + str("40") + " " + str("prod"),
         "00 00 00 01 " + str("done"), false, 0, "ok=1 text=done\n", ""},
        {{"update", "/c", "40", "prod"}, "00 00 20 0C " + str("/c") + " " + str("40") + " " + str("prod"),
         "00 00 00 00 " + str("busy"), false, 1, "ok=0 text=busy\n", ""},
        {{"update", "a", "b", "c"}, "00 00 20 0C " + str("a") + " " + str("b") + " " + str("c"), "00 00 00 01 7F FF FF FF",
         false, 2, "", "reply text length 2147483647"},
        {{"--hostile", "length", "update", "a", "b", "c"}, "00 00 20 0C 7F FF FF FF 61 " + str("b") + " " + str("c"), "",
         false, 2, "", "ended the stream before the whole reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        vktest::TempDir dir;
        const std::string path = dir.file("ctl");
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un a = unixAddress(path);
        ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(listener, 4), 0);
        std::vector<std::string> args{"--address", "local:" + path, "--timeout", "5"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Control client(dir, args);
        pollfd p{listener, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_EQ(toHex(receive(fd, fromHex(c.request).size())), c.request);
        if (c.halfClose) {
            EXPECT_TRUE(atEndOfStream(fd));
        }
        const std::string reply = fromHex(c.reply);
        EXPECT_EQ(::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL), static_cast<ssize_t>(reply.size()));
        ::close(fd);
        const Outcome run = client.finish();
        ::close(listener);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, c.out);
        if (c.err.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_THAT(run.err, HasSubstr(c.err));
        }
    }
}

TEST(ControlClient, FailsWithinItsTimeoutNamingTheAddress) {
    vktest::TempDir dir;
    const std::string silent = dir.file("silent");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // listens, never accepts
    const sockaddr_un a = unixAddress(silent);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--address", "local:" + dir.file("none"), "reload", "1"}, "local:" + dir.file("none") + ": cannot connect"},
        {{"--address", "local:" + silent, "--timeout", "0.3", "reload", "1"}, "timed out waiting for the server to end the stream"},
        {{"--address", "local:" + silent, "--timeout", "0.3", "update", "a", "b", "c"}, "timed out waiting for the reply"},
        {{"--address", "inet:1@", "reload", "1"}, "inet:1@: cannot connect"},
        {{"--address", "bogus", "reload", "1"}, "address \"bogus\": expected"},
        {{"reload", "1"}, "--address is required"},
        {{"--address", "local:/x", "reload", "x"}, "pid \"x\" is not a number"},
        {{"--address", "local:/x", "update", "a"}, "update needs three arguments"},
    };
    for (const Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const Outcome run = control(dir, c.args);
        EXPECT_EQ(run.status, 2) << c.err;
        EXPECT_THAT(run.err, HasSubstr(c.err));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    ::close(listener);
}

TEST(Tools, TalkToEachOtherOverUnixAndInetSockets) {
    for (const std::string kind : {"unix", "inet"}) {
        SCOPED_TRACE(kind);
        vktest::TempDir dir;
        StandIn agent(dir, {"--update-ok", "0", "--update-text", "busy"}, kind == "inet" ? "inet:0@127.0.0.1" : "");
        std::string address = agent.address;
        if (kind == "inet") {
            const std::string line = vktest::readLines(agent.pidFile).at(1);
            ASSERT_THAT(line, ::testing::StartsWith("127.0.0.1:"));
            address = "inet:" + line.substr(10) + "@127.0.0.1";
        }
        const Outcome update = control(dir, {"--address", address, "update", "/cache", "40", "prod"});
        EXPECT_EQ(update.status, 1) << update.err;
        EXPECT_EQ(update.out, "ok=0 text=busy\n");
        const Outcome reload = control(dir, {"--address", address, "reload", "10", "10", "20"});
        EXPECT_EQ(reload.status, 0) << reload.err;
        EXPECT_TRUE(agent.logged("reload conn=2 count=3 pids=10,10,20 hex=00 00 20 08 00 00 00 03 00 00 00 0A"));
        EXPECT_TRUE(agent.logged("update conn=1 first=\"/cache\" second=\"40\" third=\"prod\""));
    }
}

TEST(Tools, CommandLines) {
    vktest::TempDir dir;
    struct Case {
        std::string tool;
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {VK_STAND_IN_AGENT, {"--help"}, 0, "Usage: velka-stand-in-agent"},
        {VK_STAND_IN_AGENT, {"--check-only", "local:/x"}, 0, "Options OK\n"},
        {VK_STAND_IN_AGENT, {"--hostile", "many"}, 2, "E"},
        {VK_STAND_IN_AGENT, {"--socket", "local:" + dir.file("log"), "--log", dir.file("no/log")}, 2, "E"},
        {VK_CONTROL_CLIENT, {"--help"}, 0, "velka-control --address <address> [options] reload"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{c.tool};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        int pair[2];
        ASSERT_EQ(::pipe2(pair, O_CLOEXEC), 0);
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        const pid_t pid = Utils::spawn(argv, -1, pair[1], devNull);
        ::close(pair[1]);
        ::close(devNull);
        const std::string out = receive(pair[0], 1 << 16);
        ::close(pair[0]);
        EXPECT_EQ(waitExit(pid), c.status) << c.args[0];
        EXPECT_THAT(out, HasSubstr(c.out));
    }
}

}  // namespace
