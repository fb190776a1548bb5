// Stream-socket endpoints from the factory over loopback: exchanges, socket
// files of unix servers, end of stream, file sending, descriptions.
#include <fcntl.h>
#include <pwd.h>
#include <grp.h>
#include <signal.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/vk_exception.h"
#include "ipc/raw_peer.h"
#include "ipc/transport/inet_socket_address.h"
#include "ipc/transport/ipc_factory.h"
#include "ipc/transport/socket.h"
#include "ipc/transport/unix_socket.h"
#include "ipc/transport/unix_socket_address.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "transport_test_support.h"

namespace {

using velka::base::VkSystemError;
using velka::base::VkTimedOut;
using velka::base::VkTimeout;
using velka::ipc::VkIPC;
using velka::ipc::VkIpcFactory;
using velka::ipc::VkSocket;
using Factory = velka::patterns::VkSingleton<VkIpcFactory>;
using Endpoint = std::shared_ptr<VkIPC>;

const VkTimeout kShort(5, VkTimeout::Seconds);
const VkTimeout kTiny(50, VkTimeout::Milliseconds);

std::shared_ptr<VkSocket> asSocket(const Endpoint& endpoint) { return std::dynamic_pointer_cast<VkSocket>(endpoint); }

// A listening server for localSpec, and the spec a client connects to.
struct Server {
    Endpoint listener;
    std::string remoteSpec;
};

Server listen(const std::string& localSpec) {
    Server server{Factory::Instance()->CreateBySpec(localSpec, ""), ""};
    auto socket = asSocket(server.listener);
    socket->SetServer(true);
    socket->Create();
    socket->Listen(5);
    socket->GetLocalSocketAddress();
    const std::string text = server.listener->GetLocalText();  // inet:a.b.c.d:port or local:path
    if (text.compare(0, 5, "inet:") == 0) {
        const size_t colon = text.rfind(':');
        server.remoteSpec = "inet:" + text.substr(colon + 1) + "@" + text.substr(5, colon - 5);
    } else {
        server.remoteSpec = text;
    }
    return server;
}

// A connected (client, accepted) pair; the accept runs on another thread.
std::pair<Endpoint, Endpoint> connectPair(const Server& server) {
    auto accepted = std::async(std::launch::async, [&] { return server.listener->Accept(5, kShort); });
    Endpoint client = Factory::Instance()->CreateBySpec("", server.remoteSpec);
    EXPECT_TRUE(client && client->Connect(kShort));
    return {client, accepted.get()};
}

class BothFamilies : public ::testing::TestWithParam<bool> {
protected:
    std::string localSpec() const { return GetParam() ? "inet:0@127.0.0.1" : "local:" + dir.file("s"); }
    vktest::TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(Transport, BothFamilies, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Inet" : "Unix"; });

TEST_P(BothFamilies, BytesGoBothWaysAndDescriptorsAreCloseOnExec) {
    Server server = listen(localSpec());
    auto [client, accepted] = connectPair(server);
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(accepted->IsConnected() && accepted->IsServer() && !accepted->IsListening());
    EXPECT_TRUE(client->IsConnected() && client->IsClient());

    std::thread echo([&] {
        char buffer[5];
        accepted->Receive(buffer, 5, kShort);
        accepted->Send(buffer, 5, kShort);
    });
    client->Send("hello", 5, kShort);
    char back[6] = {0};
    client->Receive(back, 5, kShort);
    echo.join();
    EXPECT_STREQ(back, "hello");
    for (const Endpoint& e : {server.listener, client, accepted})
        EXPECT_EQ(::fcntl(e->GetDescriptor(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << e->GetDescription();
    // Nothing more comes: the read ends at the endpoint's deadline.
    char more;
    EXPECT_THROW(client->Receive(&more, 1, kTiny), VkTimedOut);
    EXPECT_FALSE(client->IsConnected());
}

// A peer that writes part of a field and closes: "End of file", the
// endpoint no longer connected, and writes to it raise no SIGPIPE.
TEST_P(BothFamilies, PeerClosingMidStream) {
    Server server = listen(localSpec());
    auto [client, accepted] = connectPair(server);
    accepted->Send("ab", 2, kShort);
    accepted->Close();
    char buffer[4];
    try {
        client->Receive(buffer, 4, kShort);
        FAIL() << "received 4 bytes from a peer that sent 2";
    } catch (const VkSystemError& e) {
        EXPECT_NE(std::string(e.what()).find("VkSocket::Receive"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("End of file"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(client->IsConnected());

    static std::atomic<int> sigpipes;
    sigpipes = 0;
    struct sigaction count = {}, previous = {};
    count.sa_handler = [](int) { ++sigpipes; };
    ::sigaction(SIGPIPE, &count, &previous);
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) {
        try {
            client->Send("xxxx", 4, kShort);
        } catch (const VkSystemError&) {
            failed = true;
        }
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_TRUE(failed);
    EXPECT_EQ(sigpipes.load(), 0);
}

TEST_P(BothFamilies, SendFile) {
    Server server = listen(localSpec());
    auto [client, accepted] = connectPair(server);
    const std::string empty = dir.file("empty"), big = dir.file("big");
    vktest::writeFile(empty, "");
    std::string content(10 << 20, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
    vktest::writeFile(big, content);

    // An empty file sends nothing; a range past the end is refused whole.
    EXPECT_TRUE(client->SendFile(empty.c_str(), 0, 0, kShort));
    EXPECT_FALSE(client->SendFile(big.c_str(), 1, content.size(), kShort));
    EXPECT_FALSE(client->SendFile(big.c_str(), UINT64_MAX, 2, kShort));
    std::string got(content.size(), '\0');
    auto reader = std::async(std::launch::async, [&] { accepted->Receive(&got[0], got.size(), kShort); });
    EXPECT_TRUE(client->SendFile(big.c_str(), 0, content.size(), kShort));
    reader.get();
    EXPECT_TRUE(got == content);
    EXPECT_TRUE(client->IsConnected());

    // Cut short while being sent: no crash, the stream marked out of step.
    // Small socket buffers keep the sender well below the cut until the
    // reader starts.
    const int small = 64 * 1024;
    ::setsockopt(client->GetDescriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ::setsockopt(accepted->GetDescriptor(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    auto sender = std::async(std::launch::async, [&] { return client->SendFile(big.c_str(), 0, content.size(), kShort); });
    ASSERT_TRUE(vktest::eventually([&] {  // the sender has begun
        int queued = 0;
        return ::ioctl(client->GetDescriptor(), SIOCOUTQ, &queued) == 0 && queued > 0;
    }));
    ASSERT_EQ(::truncate(big.c_str(), 1 << 20), 0);
    std::thread drain([&] {
        char sink[65536];
        try {
            for (;;) accepted->Receive(sink, sizeof(sink), VkTimeout(300, VkTimeout::Milliseconds));
        } catch (const std::exception&) {
        }
    });
    EXPECT_THROW(sender.get(), velka::ipc::VkIpcError);
    drain.join();
    EXPECT_FALSE(client->IsConnected());
}

TEST(UnixSocket, DescriptionsAndLongClientPath) {
    vktest::TempDir dir;
    Server server = listen("local:" + dir.file("s"));
    EXPECT_EQ(server.listener->GetDescription(), "a listening connection (fd->" +
                                                     std::to_string(server.listener->GetDescriptor()) +
                                                     ", local->local:" + dir.file("s") + ", client->*)");
    Endpoint unopened = Factory::Instance()->CreateBySpec("", server.remoteSpec);
    EXPECT_EQ(unopened->GetDescription(), "connection (fd->invalid, local->*, server->" + server.remoteSpec + ")");

    // A client bound to a path near the limit: its whole name arrives.
    const std::string clientPath = dir.path() + "/" + std::string(100 - dir.path().size(), 'c');
    auto accepted = std::async(std::launch::async, [&] { return server.listener->Accept(5, kShort); });
    const int raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un name = {};
    name.sun_family = AF_UNIX;
    std::strcpy(name.sun_path, clientPath.c_str());
    ASSERT_EQ(::bind(raw, reinterpret_cast<sockaddr*>(&name), sizeof(name)), 0);
    std::strcpy(name.sun_path, dir.file("s").c_str());
    ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&name), sizeof(name)), 0);
    Endpoint peer = accepted.get();
    EXPECT_EQ(peer->GetRemoteText(), "local:" + clientPath);
    EXPECT_EQ(peer->GetDescription(), "connection (fd->" + std::to_string(peer->GetDescriptor()) + ", local->local:" +
                                          dir.file("s") + ", client->local:" + clientPath + ")");
    ::close(raw);
}

// What a unix server finds at its path decides whether it may take it.
TEST(UnixSocket, SocketFileInTheWay) {
    vktest::TempDir dir;
    const std::string path = dir.file("s");
    struct sockaddr_un name = {};
    name.sun_family = AF_UNIX;
    std::strcpy(name.sun_path, path.c_str());
    const auto rawSocket = [&](bool listening) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&name), sizeof(name)), 0);
        if (listening) ::listen(fd, 5);
        return fd;
    };
    const auto takeServer = [&] {
        Endpoint server = Factory::Instance()->CreateBySpec("local:" + path, "");
        EXPECT_THROW(server->Accept(5, kTiny), VkTimedOut);  // bound and listening by then
        return server;
    };

    // Left behind by a dead server: replaced.
    ::close(rawSocket(false));
    {
        Endpoint server = takeServer();
        struct stat status;
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0770u);
        server->Close();
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    // Removed by the destructor too.
    takeServer();
    EXPECT_FALSE(std::filesystem::exists(path));

    // A live server keeps its file; a regular file is never removed.
    const int live = rawSocket(true);
    Endpoint second = Factory::Instance()->CreateBySpec("local:" + path, "");
    try {
        second->Accept(5, kTiny);
        FAIL() << "a second server took a live socket";
    } catch (const VkSystemError& e) {
        EXPECT_EQ(e.GetErrno(), EADDRINUSE);
    }
    second.reset();
    EXPECT_TRUE(std::filesystem::is_socket(path));
    ::close(live);
    ::unlink(path.c_str());

    vktest::writeFile(path, "not a socket");
    Endpoint third = Factory::Instance()->CreateBySpec("local:" + path, "");
    try {
        third->Accept(5, kTiny);
        FAIL() << "a server bound over a regular file";
    } catch (const VkSystemError& e) {
        EXPECT_NE(std::string(e.what()).find(path + " is not a socket"), std::string::npos) << e.what();
    }
    third.reset();
    EXPECT_EQ(vktest::readFile(path), "not a socket");
}

// A live server of another user that refuses our probe keeps its file,
// even where we could remove it. The unprivileged side runs as a fresh
// copy of this test program, switched to nobody before it starts a thread.
TEST(UnixSocket, ProbeRefusedByPermissionsRemovesNothing) {
    if (const char* path = ::getenv("VK_PROBE_AS_NOBODY")) {
        struct passwd* nobody = ::getpwnam("nobody");
        struct group* nogroup = ::getgrnam("nogroup");
        ASSERT_TRUE(nobody && nogroup);
        ASSERT_EQ(::setgroups(0, nullptr) | ::setgid(nogroup->gr_gid) | ::setuid(nobody->pw_uid), 0);
        Endpoint intruder = Factory::Instance()->CreateBySpec(std::string("local:") + path, "");
        try {
            intruder->Accept(5, kTiny);
            FAIL() << "took the socket of a live server";
        } catch (const VkSystemError& e) {
            EXPECT_EQ(e.GetErrno(), EADDRINUSE);
        }
        return;
    }
    vktest::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string path = dir.file("s");
    Server server = listen("local:" + path);
    const std::string filter = "--gtest_filter=UnixSocket.ProbeRefusedByPermissionsRemovesNothing";
    const std::string env = "VK_PROBE_AS_NOBODY=" + path;
    const pid_t child = ::fork();
    if (child == 0) {
        const char* argv[] = {"/proc/self/exe", filter.c_str(), nullptr};
        const char* envp[] = {env.c_str(), nullptr};
        ::execve(argv[0], const_cast<char**>(argv), const_cast<char**>(envp));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(std::filesystem::is_socket(path));
    auto [client, accepted] = connectPair(server);
    EXPECT_TRUE(accepted);
}

// A socket file that could not be given its mode is not left behind.
TEST(UnixSocket, FailedModeChangeRemovesTheFile) {
    struct FailingMode : velka::ipc::VkUnixSocket {
        using VkUnixSocket::VkUnixSocket;
        bool ChMod(unsigned) override { throw VkSystemError("UnixSocket::ChMod ", EPERM); }
    };
    vktest::TempDir dir;
    auto server = std::make_shared<FailingMode>(Factory::Instance()->GetRunner());
    server->SetLocalAddress(Factory::Instance()->CreateAddress("local:" + dir.file("s")));
    EXPECT_THROW(server->Accept(5, kTiny), VkSystemError);
    EXPECT_FALSE(std::filesystem::exists(dir.file("s")));
    EXPECT_EQ(server->GetDescriptor(), -1);
}

// A unix listener whose queue is full: Connect waits for room until its
// deadline, as a blocking connect would, rather than failing at once.
TEST(UnixSocket, ConnectWaitsForRoomInAFullQueue) {
    vktest::TempDir dir;
    const struct Case {
        int roomAfterMs;  // -1: never
        int timeoutMs;
        bool connects;
    } cases[] = {{300, 2000, true}, {-1, 300, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.roomAfterMs);
        vktest::FullListener full(dir.file("s"));
        Endpoint client = Factory::Instance()->CreateBySpec("", "local:" + dir.file("s"));
        std::thread room([&] {
            if (c.roomAfterMs < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.roomAfterMs));
            full.acceptOne();
        });
        const VkTimeout timeout(c.timeoutMs, VkTimeout::Milliseconds);
        const auto start = std::chrono::steady_clock::now();
        const std::string outcome = vktest::thrownText([&] { client->Connect(timeout); });
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        room.join();
        EXPECT_EQ(outcome.empty(), c.connects) << outcome;
        EXPECT_EQ(client->IsConnected(), c.connects);
        EXPECT_GE(seconds, 0.25);
        EXPECT_LT(seconds, 1.5);
    }
}

// Mode 0770: a process running as nobody may not connect.
TEST(UnixSocket, SocketFileModeKeepsOthersOut) {
    vktest::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string path = dir.file("s");
    Server server = listen("local:" + path);
    struct passwd* nobody = ::getpwnam("nobody");
    struct group* nogroup = ::getgrnam("nogroup");
    ASSERT_TRUE(nobody && nogroup);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nogroup->gr_gid;
    // Exit status of a child that connects as nobody: 0 connected, else errno.
    const auto connectAsNobody = [&] {
        struct sockaddr_un name = {};
        name.sun_family = AF_UNIX;
        std::strcpy(name.sun_path, path.c_str());
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(255);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ::_exit(::connect(fd, reinterpret_cast<sockaddr*>(&name), sizeof(name)) == 0 ? 0 : errno);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(connectAsNobody(), EACCES);
    ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
    EXPECT_EQ(connectAsNobody(), 0);
}

// Accept on a fresh endpoint binds its configured address and listens.
TEST(Factory, AcceptBindsTheConfiguredAddress) {
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(any);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&any), &length);
    const std::string port = std::to_string(ntohs(any.sin_port));
    ::close(probe);

    Endpoint server = Factory::Instance()->CreateBySpec("inet:" + port + "@127.0.0.1", "");
    EXPECT_THROW(server->Accept(5, kTiny), VkTimedOut);
    EXPECT_TRUE(server->IsListening() && server->IsServer());
    asSocket(server)->GetLocalSocketAddress();
    EXPECT_EQ(server->GetLocalText(), "inet:127.0.0.1:" + port);
    // A second Accept neither creates nor listens again.
    const int fd = server->GetDescriptor();
    EXPECT_THROW(server->Accept(5, kTiny), VkTimedOut);
    EXPECT_EQ(server->GetDescriptor(), fd);
}

// An IPv6 address opens an IPv6 socket (when the host has ::1 at all).
TEST(Factory, Ipv6Loopback) {
    const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in6 loopback = {};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const bool usable = v6 >= 0 && ::bind(v6, reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback)) == 0;
    if (v6 >= 0) ::close(v6);
    if (!usable) GTEST_SKIP() << "no IPv6 loopback here";
    auto local = std::make_shared<velka::ipc::VkInetSocketAddress>("");
    ASSERT_TRUE(local->SetHost("::1", false));
    Endpoint listener = Factory::Instance()->Create(local, nullptr);
    EXPECT_THROW(listener->Accept(5, kTiny), VkTimedOut);
    asSocket(listener)->GetLocalSocketAddress();
    const std::string text = listener->GetLocalText();  // inet:[::1]:port
    ASSERT_EQ(text.compare(0, 10, "inet:[::1]"), 0) << text;
    Server server{listener, "inet:" + text.substr(11) + "@::1"};
    auto [client, accepted] = connectPair(server);
    EXPECT_TRUE(accepted && client->IsConnected());
}

// Bad texts end as null endpoints with a record, never as exceptions.
TEST(Factory, BadTextsGiveNoEndpoint) {
    const std::string longPath = "local:/" + std::string(120, 'x');
    struct Case {
        std::string local, remote;
    } cases[] = {
        {"*", "*"}, {"", ""}, {"inet:80@my host", ""}, {longPath, ""}, {"", longPath},
        {"inet:1@127.0.0.1", "local:/x"}, {"inet:70000@127.0.0.1", ""}, {"nonsense", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.local + " | " + c.remote);
        EXPECT_EQ(Factory::Instance()->CreateBySpec(c.local, c.remote), nullptr);
    }
    velka::ipc::VkInetSocketAddress unparsed("inet:80@127.0.0.1");
    velka::ipc::VkUnixSocketAddress other("local:/x");
    ASSERT_TRUE(unparsed.Parse() && other.Parse());
    EXPECT_EQ(Factory::Instance()->CreateByAddr(unparsed, other), nullptr);
    Endpoint ok = Factory::Instance()->CreateByAddr(unparsed, unparsed);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->GetRemoteText(), "inet:80@127.0.0.1");
}

// An endpoint without a peer is not taken for a connected one.
TEST(Factory, UnconnectedEndpointStaysUnconnected) {
    for (const std::string remote : {"local:/nowhere", "inet:1@127.0.0.1"}) {
        Endpoint endpoint = Factory::Instance()->CreateBySpec("", remote);
        ASSERT_TRUE(endpoint->Create());
        EXPECT_TRUE(asSocket(endpoint)->GetRemoteSocketAddress());
        EXPECT_FALSE(endpoint->IsConnected()) << remote;
    }
}

// What a call on the endpoint ended with: "" for the closed-endpoint error
// within 2 s.
std::string closedOutcome(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    try {
        call();
        return "returned";
    } catch (const velka::ipc::VkIpcErrorClosed&) {
        return std::chrono::steady_clock::now() - start < std::chrono::seconds(2) ? "" : "late";
    } catch (const std::exception& e) {
        return e.what();
    }
}

// Rounds of one call on a fresh endpoint, run by a caller thread while this
// thread closes the endpoint after a random pause, and again every 5 ms
// until the call has ended (a close that comes before the endpoint has a
// descriptor finds nothing to close).
struct CloseRace {
    const char* name;
    int rounds;
    std::function<Endpoint()> make;
    std::function<void(VkIPC&)> call;
    std::vector<std::string> fine;  // outcomes allowed besides the closed-endpoint error
    std::chrono::milliseconds limit = std::chrono::minutes(10);  // no round starts after it
    int pauseUs = 300;  // the longest pause before the close
    std::function<std::string()> afterRound = [] { return std::string(); };  // what is wrong, or ""
};

// "" when every round ended as allowed; otherwise the first round that did
// not, and how many did not.
std::string raceCloses(const CloseRace& c) {
    std::mt19937 random(2024);
    std::mutex mutex;
    std::condition_variable changed;
    Endpoint endpoint;
    int round = -1, called = -1, ended = -1, failures = 0, rounds = c.rounds;
    std::string first;
    const auto fail = [&](int r, const std::string& what) {
        if (failures++ == 0) first = "round " + std::to_string(r) + ": " + what;
    };
    std::thread caller([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (int next = 0; next < rounds; ++next) {
            changed.wait(lock, [&] { return round == next || rounds <= next; });
            if (rounds <= next) break;
            const Endpoint used = endpoint;
            called = next;
            changed.notify_all();
            lock.unlock();
            const std::string outcome = closedOutcome([&] { c.call(*used); });
            lock.lock();
            if (!outcome.empty() && std::find(c.fine.begin(), c.fine.end(), outcome) == c.fine.end())
                fail(next, outcome);
            ended = next;
            changed.notify_all();
        }
    });
    const auto stop = std::chrono::steady_clock::now() + c.limit;
    for (int r = 0; r < c.rounds; ++r) {
        const Endpoint made = c.make();
        std::unique_lock<std::mutex> lock(mutex);
        endpoint = made;
        round = r;
        changed.notify_all();
        changed.wait(lock, [&] { return called == r; });
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(random() % c.pauseUs));
        lock.lock();
        do {
            lock.unlock();
            made->Close();
            lock.lock();
        } while (!changed.wait_for(lock, std::chrono::milliseconds(5), [&] { return ended == r; }));
        endpoint.reset();
        lock.unlock();
        const std::string wrong = c.afterRound();
        if (!wrong.empty()) fail(r, wrong);
        if (std::chrono::steady_clock::now() >= stop) {
            lock.lock();
            rounds = r + 1;
            changed.notify_all();
            break;
        }
    }
    caller.join();
    return failures == 0 ? "" : first + " (" + std::to_string(failures) + " rounds wrong)";
}

// Another thread closes the endpoint while a Receive or an Accept runs on
// it, at any stage of the call: the call ends at once with the closed-
// endpoint error, and no descriptor is left behind.
TEST(Socket, CloseFromAnotherThreadEndsTheCallInProgress) {
    vktest::TempDir dir;
    const auto runner = Factory::Instance()->GetRunner();
    { vktest::RawPeer first(runner); }  // the runner's reactor opens its descriptors with the first endpoint
    const CloseRace cases[] = {
        {"receive", 10000,
         [&] {
             // The endpoint keeps the pair, and so its raw end, for the round.
             const auto pair = std::make_shared<vktest::RawPeer>(runner);
             return Endpoint(pair, pair->endpoint().get());
         },
         [](VkIPC& e) { char bytes[4]; e.Receive(bytes, sizeof bytes, kShort); }, {}},
        // A listener that the runner saw before it listened may wake once:
        // no client.
        {"accept", 2000, [&] { return listen("local:" + dir.file("s")).listener; },
         [](VkIPC& e) { e.Accept(5, kShort); }, {"Socket::Accept: [11] Resource temporarily unavailable"}},
    };
    for (const CloseRace& c : cases) {
        SCOPED_TRACE(c.name);
        const int descriptors = vktest::descriptorCount();
        EXPECT_EQ(raceCloses(c), "");
        EXPECT_EQ(vktest::descriptorCount(), descriptors);
    }
}

// Another thread closes the endpoint while Connect or Accept may still be
// setting it up (socket, options, bind, listen): the call ends with the
// closed-endpoint error or, a connect, succeeds; no descriptor is left, and
// a bound socket file is removed exactly once (the directory is empty after
// each round, and no unlink failed).
TEST(Socket, CloseDuringSetUpEndsConnectOrAccept) {
    vktest::TempDir dir, serverDir;
    const auto runner = Factory::Instance()->GetRunner();
    { vktest::RawPeer first(runner); }
    const Server server = listen("local:" + serverDir.file("s"));
    vktest::SyslogCapture records;
    const auto nothingLeft = [&]() -> std::string {
        for (int fd; (fd = ::accept4(server.listener->GetDescriptor(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            ::close(fd);
        const int left = vktest::countEntries(dir.path().c_str());
        return left == 0 ? "" : std::to_string(left) + " entries left in the directory";
    };
    const auto accept = [](VkIPC& e) { e.Accept(5, kShort); };
    // Pauses about as long as each set-up, so that many closes land in it.
    const std::chrono::seconds limit(2);
    const CloseRace cases[] = {
        {"unix listener", 2000, [&] { return Factory::Instance()->CreateBySpec("local:" + dir.file("s"), ""); },
         accept, {}, limit, 300, nothingLeft},
        {"inet listener", 2000, [] { return Factory::Instance()->CreateBySpec("inet:0@127.0.0.1", ""); }, accept, {},
         limit, 60},
        {"unix client", 2000, [&] { return Factory::Instance()->CreateBySpec("", server.remoteSpec); },
         [](VkIPC& e) { e.Connect(kShort); }, {"returned"}, limit, 20, nothingLeft},
    };
    for (const CloseRace& c : cases) {
        SCOPED_TRACE(c.name);
        const int descriptors = vktest::descriptorCount();
        EXPECT_EQ(raceCloses(c), "");
        EXPECT_EQ(vktest::descriptorCount(), descriptors);
    }
    EXPECT_FALSE(records.contains("unix-socket unlink("));
}

// Threads racing for the first instance get one factory and one runner,
// whether or not an earlier case of this program made it already.
TEST(Factory, SingletonStartsOneRunner) {
    std::vector<VkIpcFactory*> seen(8);
    {
        std::promise<void> go;
        std::shared_future<void> start = go.get_future().share();
        std::vector<std::thread> racers;
        for (auto& slot : seen)
            racers.emplace_back([start, &slot] {
                start.wait();
                slot = Factory::Instance();
            });
        go.set_value();
        for (auto& racer : racers) racer.join();
    }
    for (VkIpcFactory* factory : seen) EXPECT_EQ(factory, seen[0]);
    EXPECT_TRUE(vktest::eventually([] { return vktest::threadsNamed("vk-io-runner") == 1; }, 2))
        << vktest::threadsNamed("vk-io-runner");
}

}  // namespace
