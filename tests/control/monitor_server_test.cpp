// The control server's request handlers and its life without a start.
#include "control/monitor_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/app_log.h"
#include "control/control_peer.h"
#include "engine/utils.h"
#include "engine/monitor_state.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

class MonitorServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        initLogSystem("syslog", "debug", "error", "mail");
        setMonitorState(MONITOR_INIT);
        std::filesystem::create_directories(dir.file("meta"));
        vktest::writeFile(dir.file("monitor.conf"), "[Logging]\nLevel = debug\nFileName = syslog\n[Monitor]\n"
                                                    "MetaConfigDir = " + dir.file("meta") + "\nPidFileDir = " +
                                                        dir.path() + "/\nRunAppList = TOP\n");
        server = std::make_unique<MonitorServer>(dir.file("monitor.conf"), "", false);
    }

    vktest::TempDir dir;
    vktest::SyslogCapture log;
    std::unique_ptr<MonitorServer> server;
};

TEST_F(MonitorServerTest, ReloadHandlerPassesEachProcessOnce) {
    EXPECT_TRUE(MonitorServer::reloadCompProcessor({10, 10, 20, 0, -1}));
    std::set<pid_t> pids;
    server->getChangedConf(pids);
    EXPECT_EQ(pids, (std::set<pid_t>{10, 20}));
    EXPECT_TRUE(log.contains("reload component with pid = -1"));
    EXPECT_TRUE(log.contains("reload request for pid 0 dropped: not a process id"));
}

TEST_F(MonitorServerTest, UpdateHandlerRefusesWhatCouldNeverBeApplied) {
    const std::string cache = dir.file("cache");
    std::filesystem::create_directories(cache + "/unix/scripts");
    vktest::writeFile(cache + "/unix/scripts/pre-update.sh", "#!/bin/sh\ntouch " + dir.file("ran") + "\n");
    // No agent read has brought a mail transfer agent yet.
    velka::varno::UpdateAnswer answer = MonitorServer::updateProcessor({cache, "s", "20-vlkunix"});
    EXPECT_FALSE(answer.ok);
    EXPECT_THAT(answer.text, ::testing::StartsWith("pre-update process error because of no mail transfer agent"));
    ThreadSafetyMonitor::Mediator::setSettings("velka", "", "SENDMAIL");
    answer = MonitorServer::updateProcessor({cache, "s", "20-vlkunix;"});
    EXPECT_EQ(answer.text, "pre-update process error because of invalid request: product");
    EXPECT_FALSE(std::filesystem::exists(dir.file("ran")));
    EXPECT_TRUE(std::filesystem::exists(cache));
}

TEST_F(MonitorServerTest, StopWithoutStartAndTwice) {
    server->stop();
    server->stop();
    server.reset();
    EXPECT_TRUE(log.contains("MonitorServer::~MonitorServer()"));
    EXPECT_FALSE(log.contains("joining monitorProtoThread"));
}

// A unix peer tells its user; a TCP client's owner is found while it
// holds its socket, root's or nobody's. A client that has closed its socket
// has no owner any more: what it leaves behind is reported as root's, and
// must not count as root.
TEST(ControlPeerTest, FindsTheOwnerOfASocketItsClientStillHolds) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const ControlPeer local = ControlPeer::of(pair[0], "unix:x");
    EXPECT_EQ(local.text, "uid " + std::to_string(::getuid()) + " pid " + std::to_string(::getpid()));
    ::close(pair[0]);
    ::close(pair[1]);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const uid_t nobody = Utils::getUid("nobody");
    const struct Case {
        bool asNobody, closed;
        std::string text;
    } cases[] = {
        {false, false, "uid 0 (inet:client)"},
        {true, false, "uid " + std::to_string(nobody) + " (inet:client)"},
        {false, true, "inet:client (owner unknown)"},
    };
    for (const Case& c : cases) {
        int connected[2], stop[2];
        ASSERT_EQ(::pipe2(connected, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(stop[1]);
            if (c.asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(Utils::getGid("nogroup")) != 0 ||
                               ::setuid(nobody) != 0))
                ::_exit(126);
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
            if (c.closed) ::close(fd);
            char byte = 'x';
            if (::write(connected[1], &byte, 1) != 1 || ::read(stop[0], &byte, 1) != 0) ::_exit(2);
            ::_exit(0);
        }
        ::close(connected[1]);
        ::close(stop[0]);
        char byte;
        ASSERT_EQ(::read(connected[0], &byte, 1), 1);
        const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(accepted, 0);
        struct pollfd end = {accepted, POLLIN, 0};
        if (c.closed) {
            EXPECT_EQ(::poll(&end, 1, 2000), 1);  // its end of stream has arrived
        }
        EXPECT_EQ(ControlPeer::of(accepted, "inet:client").text, c.text);
        ::close(stop[1]);
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
        ::close(accepted);
        ::close(connected[0]);
    }
    ::close(listener);
}

}  // namespace
