// End-to-end runs of velka-monitor's control server: requests from the
// control client and raw sockets, settings from a stand-in agent.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/utils.h"
#include "support/eventually.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;

namespace {

using Clock = std::chrono::steady_clock;
using vktest::eventually;

using vktest::Result;

// Runs a program to its end and collects its output.
Result run(const std::vector<std::string>& argv) { return vktest::runProgram(argv); }

std::string int32(int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
}

std::string reloadRequest(const std::vector<int32_t>& pids) {
    std::string bytes = int32(0x2008) + int32(static_cast<int32_t>(pids.size()));
    for (int32_t pid : pids) bytes += int32(pid);
    return bytes;
}

int connectUnix(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A TCP connection to ip:port, from the local address "from" when given,
// with a send buffer of that many bytes when given.
int connectInet(const std::string& ip, int port, const std::string& from = "", int sendBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sendBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    if (!from.empty()) {
        ::inet_pton(AF_INET, from.c_str(), &address.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
    }
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends a request without reply, then waits until the server ends the
// stream; true when it did so within the time and sent nothing. With
// resetOk a connection reset counts as an end too.
bool sendAndAwaitEnd(int fd, const std::string& bytes, bool resetOk = false) {
    if (fd < 0) return false;
    bool ok = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    ::shutdown(fd, SHUT_WR);
    struct pollfd p = {fd, POLLIN, 0};
    char c;
    const ssize_t n = ok && ::poll(&p, 1, 5000) == 1 ? ::recv(fd, &c, 1, 0) : 1;
    ::close(fd);
    return n == 0 || (resetOk && n < 0 && errno == ECONNRESET);
}

// A TCP port that nothing listens on just now.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// An IPv4 address of this host that is not a loopback one, if any.
std::string nonLoopbackAddress() {
    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return "";
    std::string found;
    for (struct ifaddrs* a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN];
        found = ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    }
    ::freeifaddrs(list);
    return found;
}

long statusField(pid_t pid, const std::string& name) {
    for (const std::string& line : vktest::readLines("/proc/" + std::to_string(pid) + "/status"))
        if (line.compare(0, name.size() + 1, name + ":") == 0) return std::stol(line.substr(name.size() + 1));
    return -1;
}

// User plus system CPU time of a process, in clock ticks.
long cpuTicks(pid_t pid) {
    const std::string stat = vktest::readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

// How many times the sanitizers' instrumentation multiplies the program's
// CPU time, at most.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const long kInstrumented = 4;
#else
const long kInstrumented = 1;
#endif

// The soft (or hard) limit of open descriptors of a process.
long openFilesLimit(pid_t pid, bool soft) {
    for (const std::string& line : vktest::readLines("/proc/" + std::to_string(pid) + "/limits")) {
        if (line.compare(0, 14, "Max open files") != 0) continue;
        std::istringstream fields(line.substr(14));
        long softValue = -1, hardValue = -1;
        fields >> softValue >> hardValue;
        return soft ? softValue : hardValue;
    }
    return -1;
}

size_t openDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator()));
}

// Connects up to n clients to a unix socket within the time, retrying a
// connect while the server's listen queue is full; they send nothing.
void connectIdle(const std::string& path, size_t n, std::chrono::milliseconds within, std::vector<int>& idle) {
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const auto end = Clock::now() + within;
    for (size_t i = 0; i < n && Clock::now() < end;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            idle.push_back(fd);
            ++i;
            continue;
        }
        ::close(fd);
        ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// True when the server has ended every one of the connections.
bool allEnded(const std::vector<int>& fds) {
    for (const int fd : fds) {
        char byte;
        if (::recv(fd, &byte, 1, MSG_DONTWAIT) != 0) return false;
    }
    return true;
}

// Sends the request over TCP as nobody, one after another on a connection
// (a new one whenever the server ends it), as fast as the server takes
// them, for the time given; the number sent. The small send buffer keeps
// what the server has still to read after the time small.
long floodAsNobody(int port, const std::string& request, std::chrono::seconds length) {
    int count[2];
    if (::pipe2(count, O_CLOEXEC) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        if (!Utils::setIds("nobody", "nogroup")) ::_exit(126);
        long sent = 0;
        const auto end = Clock::now() + length;
        for (int fd = -1; Clock::now() < end;) {
            if (fd < 0 && (fd = connectInet("127.0.0.1", port, "", 4096)) < 0) continue;
            struct pollfd p = {fd, POLLOUT, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0))) != 1) continue;
            const ssize_t n = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n == static_cast<ssize_t>(request.size())) {
                ++sent;
            } else if (n >= 0 || errno != EAGAIN) {
                ::close(fd);
                fd = -1;
            }
        }
        ::_exit(::write(count[1], &sent, sizeof sent) == sizeof sent ? 0 : 1);
    }
    ::close(count[1]);
    long sent = -1;
    if (::read(count[0], &sent, sizeof sent) != sizeof sent) sent = -1;
    ::close(count[0]);
    ::waitpid(child, nullptr, 0);
    return sent;
}

// Raises this process's soft limit of open descriptors to at least n for
// the scope; false when the hard limit is lower.
struct DescriptorRoom {
    explicit DescriptorRoom(rlim_t n) {
        ::getrlimit(RLIMIT_NOFILE, &before);
        struct rlimit raised = before;
        raised.rlim_cur = std::max(before.rlim_cur, std::min(n, before.rlim_max));
        ok = before.rlim_max >= n && ::setrlimit(RLIMIT_NOFILE, &raised) == 0;
    }
    ~DescriptorRoom() { ::setrlimit(RLIMIT_NOFILE, &before); }
    struct rlimit before;
    bool ok;
};

// A child of the test that reports each SIGHUP as one byte on a pipe. It
// holds a write lock on each file of the list ("%d" in a path stands for
// the child's own pid), then runs as nobody.
class HupChild {
public:
    explicit HupChild(const std::vector<std::string>& lockPaths = {}) {
        int report[2], ready[2];
        EXPECT_EQ(::pipe2(report, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        m_pid = ::fork();
        if (m_pid == 0) {
            static int out;
            out = report[1];
            ::signal(SIGHUP, [](int) { (void)!::write(out, "H", 1); });
            for (std::string path : lockPaths) {
                const size_t own = path.find("%d");
                if (own != std::string::npos) path.replace(own, 2, std::to_string(::getpid()));
                struct flock lock = {};
                lock.l_type = F_WRLCK;
                if (::fcntl(::open(path.c_str(), O_RDWR | O_CREAT, 0644), F_SETLK, &lock) != 0) ::_exit(1);
            }
            if (!Utils::setIds("nobody", "nogroup") || ::write(ready[1], "R", 1) != 1) ::_exit(1);
            for (;;) ::pause();
        }
        ::close(report[1]);
        ::close(ready[1]);
        m_report = report[0];
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
    }
    ~HupChild() {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        ::close(m_report);
    }
    pid_t pid() const { return m_pid; }
    bool alive() const { return ::waitpid(m_pid, nullptr, WNOHANG) == 0; }
    // True when a SIGHUP arrives within the time.
    bool hupped(int ms) const {
        struct pollfd p = {m_report, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    }
    // The SIGHUPs reported since the last call.
    size_t hups() const {
        size_t n = 0;
        struct pollfd p = {m_report, POLLIN, 0};
        char bytes[256];
        for (ssize_t got; ::poll(&p, 1, 0) == 1 && (got = ::read(m_report, bytes, sizeof bytes)) > 0;)
            n += static_cast<size_t>(got);
        return n;
    }

private:
    pid_t m_pid = -1;
    int m_report = -1;
};

// A monitor with two applications (VARNO, so that the mail transfer agent
// is read from the agent, and BASE) and a stand-in agent.
class ControlProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sub : {"meta", "run", "bin"}) std::filesystem::create_directories(dir.file(sub));
        control = "local:" + dir.file("a.ctl");
        writeConf({});
        writeApp("base.mmc", "BASE", "based", "--hup-file=" + dir.file("base.hups"));
        writeApp("varno.mmc", "VARNO", "varnod", "--hup-file=" + dir.file("varno.hups"));
    }
    void TearDown() override {
        stopAll();
        EXPECT_TRUE(eventually([&] { return vktest::processesStartingWith(dir.file("bin/")).empty(); }, 5));
    }
    // An ordered stop of monitor and agent, so the monitor stops its
    // components; what a sanitizer found in the program ends here too.
    void stopAll() {
        for (pid_t* pid : {&daemon, &agent}) {
            if (*pid <= 0) continue;
            ::kill(*pid, SIGTERM);
            int status = -1;
            if (!eventually([&] { return ::waitpid(*pid, &status, WNOHANG) == *pid; }, 10)) {
                ::kill(*pid, SIGKILL);
                ::waitpid(*pid, &status, 0);
            }
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << (pid == &daemon ? "monitor " : "agent ")
                                                                        << status;
            *pid = -1;
        }
    }
    void writeConf(const std::map<std::string, std::string>& overrides) {
        std::map<std::string, std::string> monitor{{"RunForeground", "yes"},
                                                   {"User", ""},
                                                   {"Group", ""},
                                                   {"ChDir", ""},
                                                   {"UseEnterpriseMode", "no"},
                                                   {"AgentResponseTime", "5"},
                                                   {"Timeout", "5"},
                                                   {"MetaConfigDir", dir.file("meta")},
                                                   {"PidFileDir", dir.file("run")},
                                                   {"InjectCmd", "cat >> " + dir.file("mail.txt")},
                                                   {"AgentAddress", "local:" + dir.file("agent")},
                                                   {"Address", control},
                                                   {"RunAppList", "BASE, VARNO"},
                                                   {"RecoveryTimeList", "1, 1"}};
        for (const auto& entry : overrides) monitor[entry.first] = entry.second;
        if (monitor["Address"].empty()) monitor.erase("Address");
        // "Level" goes to the logging section.
        const std::string level = monitor.count("Level") ? monitor["Level"] : "debug";
        monitor.erase("Level");
        std::string text = "[Logging]\nLevel = " + level + "\nIPCLevel = error\nSyslogFacility = daemon\nFileName = " +
                           dir.file("monitor.log") + "\n[Monitor]\n";
        for (const auto& entry : monitor) text += entry.first + " = " + entry.second + "\n";
        vktest::writeFile(dir.file("monitor.conf"), text);
    }
    void writeApp(const std::string& file, const std::string& name, const std::string& component,
                  const std::string& argv) {
        std::filesystem::create_symlink(VK_SAMPLE_COMPONENT, dir.file("bin/" + component));
        vktest::writeFile(dir.file("meta/" + file), "APPLICATION " + name + "\nPATH \"" + dir.file("bin") +
                                                        "\"\nCOMPONENTS\n" + component + " \"" + argv +
                                                        "\" 5 2 LOG -\nENDCOMPONENTS\nENDAPPLICATION\n");
    }
    void startAgent() {
        agent = Utils::spawn({VK_STAND_IN_AGENT, "--socket", "local:" + dir.file("agent"), "--mta", "vlkmta"}, -1,
                             -1, -1);
        ASSERT_TRUE(eventually([&] { return std::filesystem::exists(dir.file("agent")); }));
    }
    // With a shell prefix (such as "ulimit -Sn 1024 &&") the monitor
    // starts through a shell that runs it first.
    void startDaemon(const std::string& shellPrefix = "") {
        startAgent();
        if (shellPrefix.empty())
            daemon = Utils::spawn({VK_MONITOR_BINARY, "-c", dir.file("monitor.conf")}, -1, -1, -1);
        else
            daemon = Utils::spawnShell(
                shellPrefix + " exec " + std::string(VK_MONITOR_BINARY) + " -c " + dir.file("monitor.conf"), -1, -1,
                -1);
        ASSERT_TRUE(eventually([&] { return logHas("Velka (R) Components Monitor started"); }));
    }
    Result client(const std::vector<std::string>& args, const std::string& timeout = "5") {
        std::vector<std::string> argv{VK_CONTROL_CLIENT, "--address", control, "--timeout", timeout};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }
    std::string logText() { return vktest::readFile(dir.file("monitor.log")); }
    bool logHas(const std::string& fragment) { return logText().find(fragment) != std::string::npos; }
    size_t count(const std::string& fragment) {
        const std::string text = logText();
        size_t n = 0;
        for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++n;
        return n;
    }
    size_t linesWith(const std::string& fragment) {
        const std::vector<std::string> lines = vktest::readLines(dir.file("monitor.log"));
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(fragment) != std::string::npos;
        }));
    }
    bool countReaches(const std::string& fragment, size_t n, int seconds = 10) {
        return eventually([&] { return count(fragment) >= n; }, seconds);
    }
    pid_t componentPid(const std::string& app) {
        const std::string text = logText();
        const size_t at = text.rfind("from application \"" + app + "\" has been started");
        if (at == std::string::npos) return -1;
        const size_t line = text.rfind("pid=\"", at);
        return line == std::string::npos ? -1 : std::atoi(text.c_str() + line + 5);
    }

    vktest::TempDir dir;
    std::string control;
    pid_t daemon = -1;
    pid_t agent = -1;
};

const char kServed[] = "MonitorServer::reloadCompProcessor()";

TEST_F(ControlProgramTest, ReloadRequestsReachComponentsAndTheMonitorItself) {
    startDaemon();
    Result reload = client({"reload", "10", "10", "20"});
    EXPECT_EQ(reload.status, 0) << reload.err;
    ASSERT_TRUE(countReaches("reload component with pid = ", 3));
    EXPECT_EQ(count("reload component with pid = 10"), 2u);
    EXPECT_TRUE(eventually([&] { return logHas("Monitor::addChangedConf()"); }));

    EXPECT_TRUE(logHas("reload request from uid 0 pid "));
    const pid_t base = componentPid("BASE");
    ASSERT_GT(base, 0);
    EXPECT_EQ(client({"reload", std::to_string(base)}).status, 0);
    EXPECT_TRUE(eventually([&] { return vktest::readLines(dir.file("base.hups")).size() == 1; }));

    // The monitor's own pid reloads the monitor; no SIGHUP goes to it.
    EXPECT_EQ(client({"reload", std::to_string(daemon)}).status, 0);
    EXPECT_TRUE(eventually([&] { return logHas("Monitor::reload()"); }));
    EXPECT_FALSE(logHas("arrived SIGHUP"));

    // Pids that would reach a process group or every process are dropped.
    EXPECT_EQ(client({"reload", "0", "-1"}).status, 0);
    EXPECT_TRUE(eventually([&] { return logHas("reload request for pid -1 dropped: not a process id"); }));
    EXPECT_TRUE(logHas("reload request for pid 0 dropped"));

    // A client that sends and closes at once is still served.
    const size_t served = count(kServed);
    const int fd = connectUnix(dir.file("a.ctl"));
    const std::string request = reloadRequest({30});
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    ::close(fd);
    EXPECT_TRUE(countReaches(kServed, served + 1));

    // An unknown protocol is refused, and the next request served.
    client({"--id", "0x1234", "reload", "1"});
    EXPECT_TRUE(eventually([&] { return logHas("server: unsupported protocol ID ->4660"); }));
    EXPECT_EQ(client({"reload", "40"}).status, 0);
    EXPECT_TRUE(countReaches("reload component with pid = 40", 1));
}

// A reload reaches a process through its .hup file only when that very
// process holds the file's lock; a file that names another pid signals no one.
TEST_F(ControlProgramTest, HupFilesSignalOnlyTheProcessHoldingTheirLock) {
    startDaemon();
    HupChild victim, own({dir.file("run/own.%d.hup")});
    const std::string forged = dir.file("run/x." + std::to_string(victim.pid()) + ".hup");
    HupChild liar({forged});
    EXPECT_EQ(client({"reload", std::to_string(victim.pid()), std::to_string(own.pid())}).status, 0);
    EXPECT_TRUE(own.hupped(5000));
    EXPECT_TRUE(eventually([&] {
        return logHas("hup file \"" + forged + "\" is not write-locked by pid " + std::to_string(victim.pid()) +
                      " (a lock is held by pid " + std::to_string(liar.pid()) + "): no HUP signal sent");
    }));
    EXPECT_FALSE(victim.hupped(200));
    EXPECT_FALSE(liar.hupped(0));
    EXPECT_TRUE(victim.alive());
    EXPECT_TRUE(std::filesystem::exists(forged));
}

// 50,000 foreign files in the pid-file directory and a reload every 0.5 s
// for 10 s: each scan writes a few records of each kind and one count, the
// lock holder still gets its SIGHUP, stale files go, and a component
// killed meanwhile is back after its delay of 1 s.
TEST_F(ControlProgramTest, HupScanOfManyForeignFilesHoldsNeitherLogNorSupervision) {
    startDaemon();
    HupChild own({dir.file("run/own.%d.hup")});
    // 3 stale files with a line break in their names, 997 links (each a
    // refused open), and badly named files.
    const std::string forged = ".\n1234    INFO  forged.7.hup";
    vktest::writeFile(dir.file("target"), "");
    for (int i = 0; i < 50000; ++i) {
        const std::string path = dir.file("run/" + std::to_string(i));
        if (i < 3)
            vktest::writeFile(path + forged, "");
        else if (i < 1000)
            ASSERT_EQ(::symlink(dir.file("target").c_str(), (path + ".1.hup").c_str()), 0);
        else
            ::close(::open((path + ".hup").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    const size_t logSize = logText().size();
    const auto since = Clock::now();
    const pid_t base = componentPid("BASE");
    ASSERT_GT(base, 0);
    std::thread reloads([&] {
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_until(since + std::chrono::milliseconds(500) * i);
            EXPECT_EQ(client({"reload", std::to_string(own.pid())}).status, 0);
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ::kill(base, SIGKILL);
    const auto killed = Clock::now();
    EXPECT_TRUE(eventually([&] { return componentPid("BASE") != base; }, 5));
    EXPECT_LT(Clock::now() - killed, std::chrono::seconds(2));  // its delay is 1 s
    reloads.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - since).count();
    EXPECT_TRUE(own.hupped(0));
    // Far below 1 MB a minute: at debug level each request writes about
    // 2.3 kB, 1.2 kB of them from the scan.
    const size_t grown = logText().size() - logSize;
    EXPECT_LT(grown * 60 / seconds, 512u * 1024) << grown << " bytes in " << seconds << " s";
    EXPECT_LE(linesWith("bad hup file format \""), 5u * 20);
    EXPECT_LE(linesWith("error in open hup file \""), 5u * 20);
    EXPECT_TRUE(logHas("records left out"));
    // Names from the directory are written escaped, each in its record.
    EXPECT_TRUE(logHas("unlink not locked hup file \"" + dir.file("run/0.\\n1234    INFO  forged.7.hup") + "\""));
    for (const std::string& line : vktest::readLines(dir.file("monitor.log")))
        EXPECT_NE(line.rfind("1234    INFO  forged", 0), 0u) << line;
    EXPECT_FALSE(std::filesystem::exists(dir.file("run/2" + forged)));
}

TEST_F(ControlProgramTest, UpdateRequestsRunOnlyWhatTheyMay) {
    writeConf({{"Timeout", "1"}});
    startDaemon();
    auto makeCache = [&](const std::string& name, const std::string& script) {
        const std::string cache = dir.file(name);
        std::filesystem::create_directories(cache + "/unix/scripts");
        vktest::writeFile(cache + "/unix/scripts/pre-update.sh", "#!/bin/sh\n" + script);
        return cache;
    };
    const std::string failing = makeCache("failing", "echo no space left >&2\n");
    Result r = client({"update", failing, "second", "20-vlkunix"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ok=0 text=pre-update process error because of no space left\n\n");
    EXPECT_FALSE(std::filesystem::exists(failing));

    // The mail transfer agent came from the agent at start, before any reload.
    const std::string silent = makeCache("silent", "echo \"$@\" > " + dir.file("silent.args") + "\n");
    r = client({"update", silent, "second", "20-vlkunix"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ok=1 text=\n");
    EXPECT_TRUE(logHas("updateProcessor() " + silent + ", second, 20-vlkunix"));
    EXPECT_EQ(vktest::readFile(dir.file("silent.args")), silent + " second 40 9 VLKMTA\n");

    // A script that outlasts the exchange's time still gets its answer out.
    // Of 300 MiB on its error output (streamed, also here) 64 KiB are kept:
    // the monitor's memory and its log stay flat.
    const long peak = statusField(daemon, "VmHWM");
    const size_t logSize = logText().size();
    r = client({"update", makeCache("slow", "sleep 1.5; head -c 314572800 /dev/zero | tr '\\0' x >&2\n"), "second",
                "20-vlkunix"}, "60");
    EXPECT_TRUE(r.out == "ok=0 text=pre-update process error because of " + std::string(65536, 'x') +
                             "\u2026 (cut)\n")
        << r.out.size() << " bytes; " << r.err;
    EXPECT_LT(statusField(daemon, "VmHWM") - peak, 20 * 1024) << "kB at the start: " << peak;
    EXPECT_LT(logText().size() - logSize, 1024u * 1024u);

    // Hostile fields: refused before anything on disk is touched.
    const std::string marker = dir.file("pwn");
    const std::string target = makeCache("target", "touch " + marker + "\n");
    std::filesystem::create_symlink(target, dir.file("linked"));
    std::filesystem::create_directories(dir.file("empty"));
    for (const std::string& cache : {dir.path() + "/x;touch " + marker, std::string("/"), dir.file("linked")}) {
        r = client({"update", cache, "second", "20-vlkunix"});
        EXPECT_EQ(r.out, "ok=0 text=pre-update process error because of invalid request: cache directory\n")
            << cache;
    }
    r = client({"update", target, "$(touch " + marker + ")", "20-vlkunix"});
    EXPECT_EQ(r.out, "ok=0 text=pre-update process error because of invalid request: second text\n");
    // Control characters of a field stay inside its one log record.
    r = client({"update", target, "x\n1234    INFO  forged\x01", "20-vlkunix"});
    EXPECT_EQ(r.out, "ok=0 text=pre-update process error because of invalid request: second text\n");
    EXPECT_TRUE(logHas("x\\n1234    INFO  forged\\x01"));
    for (const std::string& line : vktest::readLines(dir.file("monitor.log")))
        EXPECT_NE(line.rfind("1234    INFO  forged", 0), 0u) << line;
    r = client({"update", dir.file("empty"), "second", "20-vlkunix"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, HasSubstr("ok=0 text=pre-update process error because of cannot find script"));
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_TRUE(std::filesystem::exists(target + "/unix/scripts/pre-update.sh"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("linked")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("empty")));
}

TEST_F(ControlProgramTest, UpdateRunsOnlyATrustedTreeForAnAllowedPeer) {
    const std::string port = std::to_string(freePort());
    const std::string inet = "inet:" + port + "@127.0.0.1";
    // The same listener reached from an IPv6 socket through the mapped form.
    const std::string mapped = "inet:" + port + "@::ffff:127.0.0.1";
    writeConf({{"Address", control + "," + inet}});
    startDaemon();
    // nobody reaches the unix socket as a member of its group would.
    const uid_t nobody = Utils::getUid("nobody");
    const gid_t nogroup = Utils::getGid("nogroup");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    ASSERT_EQ(::chown(dir.file("a.ctl").c_str(), 0, nogroup), 0);
    // Its copy of the client, wherever the build lies.
    const std::string ownClient = dir.file("velka-control");
    std::filesystem::copy_file(VK_CONTROL_CLIENT, ownClient);
    vktest::TempDir trusted;  // root's, mode 0700
    // A cache directory whose script appends the user it runs as to a file
    // of root's directory.
    auto makeTree = [&](const std::string& cache, const std::string& ran, uid_t owner, mode_t mode) {
        const std::string script = cache + "/unix/scripts/pre-update.sh";
        std::filesystem::create_directories(cache + "/unix/scripts");
        vktest::writeFile(script, "#!/bin/sh\nid -u >> " + ran + "\n");
        ::chmod(script.c_str(), mode);
        for (const std::string& path : {cache, cache + "/unix", cache + "/unix/scripts", script})
            EXPECT_EQ(::chown(path.c_str(), owner, owner == 0 ? 0 : nogroup), 0) << path;
        return script;
    };
    const std::string own = dir.file("own"), root = trusted.file("cache");
    const std::string ownScript = makeTree(own, dir.file("own.ran"), nobody, 0755);
    makeTree(root, dir.file("root.ran"), 0, 0755);

    struct Case {
        bool asNobody;
        std::string address, cache, answer;
    };
    const std::string refused = "ok=0 text=pre-update process error because of ";
    // Over TCP the owner of the client's socket counts as a unix socket's
    // credentials do: nobody's request for root's tree is refused, and the
    // tree stays for root's requests that follow.
    const std::vector<Case> cases{
        {true, inet, own, refused + "peer not allowed\n"},
        {true, control, own, refused + "peer not allowed\n"},
        {true, control, root, refused + "peer not allowed\n"},
        {true, inet, root, refused + "peer not allowed\n"},
        {true, mapped, root, refused + "peer not allowed\n"},
        {false, control, own, refused + "untrusted path: " + own + "\n"},
        {false, inet, root, "ok=1 text=\n"},
        {false, mapped, root, "ok=1 text=\n"},
        {false, control, root, "ok=1 text=\n"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> argv{ownClient, "--address", c.address, "update", c.cache, "s", "20-vlkunix"};
        const Result r = c.asNobody ? vktest::runProgramAs(argv, nobody, nogroup) : run(argv);
        EXPECT_EQ(r.out, c.answer) << c.address << " " << c.cache << (c.asNobody ? " as nobody " : " ") << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("own.ran")));
    EXPECT_EQ(vktest::readLines(dir.file("root.ran")), (std::vector<std::string>{"0", "0", "0"}));
    struct stat st;
    ASSERT_EQ(::stat(ownScript.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_TRUE(logHas("update request from uid " + std::to_string(nobody) + " pid "));
    EXPECT_TRUE(logHas("update request from uid " + std::to_string(nobody) + " (inet:127.0.0.1:"));
    EXPECT_TRUE(logHas("update request from uid 0 (inet:127.0.0.1:"));

    // A cache directory under /tmp whose "unix" is a link: the script it
    // leads to neither changes its mode nor runs, and nothing is removed.
    vktest::TempDir linked;
    const std::string elsewhere = makeTree(trusted.file("elsewhere"), dir.file("elsewhere.ran"), 0, 0700);
    std::filesystem::create_symlink(trusted.file("elsewhere/unix"), linked.file("unix"));
    Result r = client({"update", linked.path(), "s", "20-vlkunix"});
    EXPECT_EQ(r.out, refused + "untrusted path: " + linked.file("unix") + "\n");
    ASSERT_EQ(::stat(elsewhere.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere.ran")));
    EXPECT_TRUE(std::filesystem::is_symlink(linked.file("unix")));

    // The parent swapped for a link while the script runs: the failed
    // update removes its own directory, nothing where the link leads.
    const std::string parent = trusted.file("parent");
    std::filesystem::create_directories(parent + "/cache/unix/scripts");
    vktest::writeFile(parent + "/cache/unix/scripts/pre-update.sh",
                      "#!/bin/sh\ntouch " + trusted.file("started") + "\nwhile [ ! -e " + trusted.file("go") +
                          " ]; do sleep 0.05; done\necho failed >&2\n");
    std::filesystem::create_directories(trusted.file("victim/cache"));
    vktest::writeFile(trusted.file("victim/cache/keep"), "x");
    std::thread request([&] { r = client({"update", parent + "/cache", "s", "20-vlkunix"}, "20"); });
    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(trusted.file("started")); }));
    std::filesystem::rename(parent, trusted.file("moved"));
    std::filesystem::create_directory_symlink(trusted.file("victim"), parent);
    vktest::writeFile(trusted.file("go"), "");
    request.join();
    EXPECT_EQ(r.out, refused + "failed\n\n");
    EXPECT_TRUE(std::filesystem::exists(trusted.file("victim/cache/keep")));
    EXPECT_FALSE(std::filesystem::exists(trusted.file("moved/cache")));
}

TEST_F(ControlProgramTest, StopEndsRequestsInFlight) {
    startDaemon();
    auto stopWithin3s = [&] {
        const auto stopping = Clock::now();
        ::kill(daemon, SIGTERM);
        int status = -1;
        EXPECT_TRUE(eventually([&] { return ::waitpid(daemon, &status, WNOHANG) == daemon; }, 10));
        EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(3));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        daemon = -1;
    };
    // A client that stalls after one byte of its request; the control
    // thread has it after a moment.
    const int stalled = connectUnix(dir.file("a.ctl"));
    ASSERT_EQ(::send(stalled, "\0", 1, MSG_NOSIGNAL), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopWithin3s();
    ::close(stalled);

    // A pre-update script of 60 s: killed with what it started, and its
    // request answered; the cache directory stays for another try.
    daemon = Utils::spawn({VK_MONITOR_BINARY, "-c", dir.file("monitor.conf")}, -1, -1, -1);
    ASSERT_TRUE(countReaches("Velka (R) Components Monitor started", 2));
    const std::string cache = dir.file("cache");
    std::filesystem::create_directories(cache + "/unix/scripts");
    vktest::writeFile(cache + "/unix/scripts/pre-update.sh", "#!/bin/sh\nsleep 60 &\necho $! > " +
                                                                 dir.file("sleep.pid") + "\nwait\n");
    Result r;
    std::thread request([&] { r = client({"update", cache, "s", "20-vlkunix"}, "20"); });
    EXPECT_TRUE(eventually([&] { return !vktest::readFile(dir.file("sleep.pid")).empty(); }));
    stopWithin3s();
    request.join();
    EXPECT_EQ(r.out, "ok=0 text=pre-update process error because of monitor stopping\n");
    const pid_t sleeper = std::stoi(vktest::readFile(dir.file("sleep.pid")));
    EXPECT_TRUE(eventually([&] { return ::kill(sleeper, 0) != 0; }, 5));
    EXPECT_TRUE(std::filesystem::exists(cache + "/unix/scripts/pre-update.sh"));
}

TEST_F(ControlProgramTest, HostileRequestsAreDroppedAndMemoryStaysFlat) {
    // An address sanitizer keeps freed memory aside for a while; the
    // program's own growth is what counts here.
    const char* sanitizer = ::getenv("ASAN_OPTIONS");
    const std::string previous = sanitizer ? sanitizer : "";
    ::setenv("ASAN_OPTIONS", (previous + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0").c_str(), 1);
    startDaemon();
    if (sanitizer)
        ::setenv("ASAN_OPTIONS", previous.c_str(), 1);
    else
        ::unsetenv("ASAN_OPTIONS");
    // One round: oversized requests, then 1000 idle connections (all but
    // the first 64 closed at accept), then a request after they closed.
    int pid = 100;
    auto round = [&] {
        client({"--hostile", "count", "reload"});
        client({"--hostile", "length", "update", "a", "b", "c"});
        std::vector<int> idle;
        for (int i = 0; i < 1000; ++i) {
            const int fd = connectUnix(dir.file("a.ctl"));
            if (fd >= 0) idle.push_back(fd);
        }
        EXPECT_EQ(idle.size(), 1000u);
        for (int fd : idle) ::close(fd);
        EXPECT_EQ(client({"reload", std::to_string(++pid)}).status, 0);
        EXPECT_TRUE(countReaches("reload component with pid = " + std::to_string(pid), 1));
    };
    round();  // the first use of every path allocates what it keeps
    const long before = statusField(daemon, "VmRSS");
    for (int i = 0; i < 2; ++i) round();
    EXPECT_LT(statusField(daemon, "VmRSS") - before, 10 * 1024) << "kB before: " << before;
    EXPECT_TRUE(logHas("invalid count of pids ->100000000"));

    // Idle, the monitor sleeps: no thread polls without a pause.
    const long ticks = cpuTicks(daemon);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(cpuTicks(daemon) - ticks, ::sysconf(_SC_CLK_TCK) / 5);
}

TEST_F(ControlProgramTest, ServesSteadyLoadWhileTheMainLoopKeepsTime) {
    startDaemon();
    const int kClients = 8, kSeconds = 10, kPerSecond = 1000;
    std::atomic<int> failed{0};
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            const int total = kSeconds * kPerSecond / kClients;
            const auto step = std::chrono::microseconds(1000000 * kClients / kPerSecond);
            for (int i = 0; i < total; ++i) {
                std::this_thread::sleep_until(start + step * i + std::chrono::microseconds(125 * c));
                if (!sendAndAwaitEnd(connectUnix(dir.file("a.ctl")), reloadRequest({100000 + c}))) ++failed;
            }
        });
    }
    // A failed component is restarted after its delay of 1 s meanwhile.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const pid_t base = componentPid("BASE");
    ASSERT_GT(base, 0);
    ::kill(base, SIGKILL);
    const auto killed = Clock::now();
    EXPECT_TRUE(eventually([&] { return componentPid("BASE") != base; }, 5));
    EXPECT_LT(Clock::now() - killed, std::chrono::milliseconds(2500));
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(countReaches(kServed, kSeconds * kPerSecond, 20)) << count(kServed);
    EXPECT_EQ(count(kServed), static_cast<size_t>(kSeconds * kPerSecond));
}

// 2000 clients connect and stay silent while a component fails: 64 of them
// are kept, for 5 s, the others closed at accept. The monitor raised its
// descriptor limit (its components see the one it started with); an
// administrator lowers it to 1024:1024 while it runs, and the monitor still
// restarts the component on time, within the lowered limit, stays idle and
// writes a few records; a request afterwards is served.
TEST_F(ControlProgramTest, IdleClientsLeaveSupervisionItsDescriptors) {
    const DescriptorRoom room(2300);
    if (!room.ok) GTEST_SKIP() << "the hard limit of open descriptors is below 2300";
    const size_t descriptors = openDescriptors();
    startDaemon("ulimit -Sn 1024 &&");
    EXPECT_EQ(openFilesLimit(daemon, true), openFilesLimit(daemon, false));
    const pid_t base = componentPid("BASE");
    ASSERT_GT(base, 0);
    EXPECT_EQ(openFilesLimit(base, true), 1024);
    const struct rlimit lowered = {1024, 1024};
    ASSERT_EQ(::prlimit(daemon, RLIMIT_NOFILE, &lowered, nullptr), 0);

    const std::string path = dir.file("a.ctl");
    const size_t linesBefore = linesWith(path);
    const long ticks = cpuTicks(daemon);
    const auto start = Clock::now();
    std::vector<int> idle;
    connectIdle(path, 1000, std::chrono::seconds(5), idle);
    ::kill(base, SIGKILL);
    const auto killed = Clock::now();
    connectIdle(path, 1000, std::chrono::seconds(5), idle);
    EXPECT_EQ(idle.size(), 2000u);
    EXPECT_TRUE(eventually([&] { return componentPid("BASE") != base; }, 5));
    EXPECT_LT(Clock::now() - killed, std::chrono::seconds(2));  // its delay is 1 s
    EXPECT_EQ(openFilesLimit(componentPid("BASE"), false), 1024);
    EXPECT_TRUE(eventually([&] { return allEnded(idle); }, 10));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GT(seconds, 4.5);
    EXPECT_LT(cpuTicks(daemon) - ticks, ::sysconf(_SC_CLK_TCK) * seconds / 10 * kInstrumented);
    const size_t lines = linesWith(path) - linesBefore;
    EXPECT_LT(lines * 60 / seconds, 100) << lines << " records in " << seconds << " s";
    EXPECT_TRUE(logHas("connection(s) closed at accept: 64 connections are open, the most allowed"));
    for (int fd : idle) ::close(fd);

    EXPECT_EQ(client({"reload", "777"}).status, 0);
    EXPECT_TRUE(countReaches("reload component with pid = 777", 1));
    EXPECT_EQ(openDescriptors(), descriptors);
}

// Without a descriptor to spare, clients that fill the monitor's table make
// its accepts fail: the pool rests 0.5 s after each failure and writes one
// record about them; once the clients leave, requests are served again.
TEST_F(ControlProgramTest, AcceptsFailingForWantOfDescriptorsRest) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the undefined-behaviour sanitizer needs descriptors of its own for its checks";
#endif
    const DescriptorRoom room(1000);
    if (!room.ok) GTEST_SKIP() << "the hard limit of open descriptors is below 1000";
    startDaemon("ulimit -n 40 &&");
    std::vector<int> idle;
    connectIdle(dir.file("a.ctl"), 500, std::chrono::seconds(2), idle);
    ASSERT_TRUE(eventually([&] { return logHas("accept(s) failed: Too many open files"); }, 5));
    const long ticks = cpuTicks(daemon);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(cpuTicks(daemon) - ticks, ::sysconf(_SC_CLK_TCK) / 5);
    EXPECT_EQ(linesWith("accept(s) failed"), 1u);
    EXPECT_LT(linesWith(dir.file("a.ctl")), 10u);
    for (int fd : idle) ::close(fd);
    EXPECT_EQ(client({"reload", "778"}, "10").status, 0);
    EXPECT_TRUE(countReaches("reload component with pid = 778", 1));
}

// Ten clients that send a byte and stall and one that sends nothing hold up
// a reload by 5 s at most at the default Timeout (30 s): every request is
// due 5 s after its accept, so the stalled ones expire together, and the
// silent one is closed then. A hundred requests of an unknown protocol in a
// row cost no pause.
TEST_F(ControlProgramTest, StalledSilentAndBadClientsHoldUpNobody) {
    writeConf({{"Timeout", "30"}});
    startDaemon();
    const auto start = Clock::now();
    std::vector<int> stalled;
    for (int i = 0; i < 10; ++i) {
        stalled.push_back(connectUnix(dir.file("a.ctl")));
        ASSERT_EQ(::send(stalled.back(), "\0", 1, MSG_NOSIGNAL), 1);
    }
    const int silent = connectUnix(dir.file("a.ctl"));
    ASSERT_GE(silent, 0);
    EXPECT_EQ(client({"reload", "501"}, "30").status, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
    EXPECT_TRUE(countReaches("reload component with pid = 501", 1));
    struct pollfd p = {silent, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 7000), 1);
    EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(4500));
    EXPECT_TRUE(allEnded(stalled));
    for (int fd : stalled) ::close(fd);
    ::close(silent);

    const auto bad = Clock::now();
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(sendAndAwaitEnd(connectUnix(dir.file("a.ctl")), int32(0x1234)));
    EXPECT_LT(Clock::now() - bad, std::chrono::seconds(3));
    EXPECT_EQ(client({"reload", "502"}).status, 0);
    EXPECT_TRUE(countReaches("reload component with pid = 502", 1));
}

// nobody opens 64 connections, over the unix socket and TCP alike, opens
// again whatever is closed and sends a request on each every 3 s: it holds
// its share of 16, the last slots stay for root, and root's reloads over
// both are served within 1 s each.
TEST_F(ControlProgramTest, NoOneUserLocksOthersOutOfTheControlServer) {
    const int port = freePort();
    const std::string inet = "inet:" + std::to_string(port) + "@127.0.0.1";
    writeConf({{"Address", control + "," + inet}});
    startDaemon();
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    ASSERT_EQ(::chown(dir.file("a.ctl").c_str(), 0, Utils::getGid("nogroup")), 0);
    const std::string path = dir.file("a.ctl"), request = reloadRequest({999999});
    const uid_t nobody = Utils::getUid("nobody");
    const pid_t hog = ::fork();
    if (hog == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(Utils::getGid("nogroup")) != 0 || ::setuid(nobody) != 0)
            ::_exit(126);
        int fds[64];
        std::fill(std::begin(fds), std::end(fds), -1);
        for (int round = 0; round < 4; ++round) {
            for (int i = 0; i < 64; ++i) {
                char byte;
                if (fds[i] >= 0 && ::recv(fds[i], &byte, 1, MSG_DONTWAIT) == 0) {
                    ::close(fds[i]);
                    fds[i] = -1;
                }
                if (fds[i] < 0) fds[i] = i % 2 ? connectInet("127.0.0.1", port) : connectUnix(path);
                if (fds[i] >= 0) ::send(fds[i], request.data(), request.size(), MSG_NOSIGNAL);
            }
            ::usleep(3000000);
        }
        ::_exit(0);
    }
    ASSERT_GT(hog, 0);
    ASSERT_TRUE(eventually([&] { return logHas("holds 16 connections, the most one user may"); }, 5));
    for (int i = 0; i < 3; ++i) {
        for (const std::string& address : {control, inet}) {
            const int pid = 600 + 2 * i + (address == inet);
            const auto start = Clock::now();
            const Result r = run({VK_CONTROL_CLIENT, "--address", address, "--timeout", "5", "reload",
                                  std::to_string(pid)});
            EXPECT_EQ(r.status, 0) << address << " " << r.err;
            EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << address;
            EXPECT_TRUE(countReaches("reload component with pid = " + std::to_string(pid), 1)) << address;
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    EXPECT_TRUE(logHas("connection(s) closed at accept: uid " + std::to_string(nobody) + " holds 16 connections"));
    int status = -1;
    EXPECT_EQ(::waitpid(hog, &status, 0), hog);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Two clients that send requests of an unknown protocol as fast as they
// can for 20 s write a bounded log: the first refusals, then a count of
// what was left out; a reload right after is served at once.
TEST_F(ControlProgramTest, ClientsCannotFillTheDiskWithRecords) {
    startDaemon();
    const std::string path = dir.file("a.ctl");
    const uintmax_t before = std::filesystem::file_size(dir.file("monitor.log"));
    std::atomic<int> sent{0};
    const auto end = Clock::now() + std::chrono::seconds(20);
    std::vector<std::thread> flood;
    for (int c = 0; c < 2; ++c)
        flood.emplace_back([&] {
            while (Clock::now() < end) sent += sendAndAwaitEnd(connectUnix(path), int32(0x1234));
        });
    for (std::thread& t : flood) t.join();
    const auto start = Clock::now();
    EXPECT_EQ(client({"reload", "701"}).status, 0);
    EXPECT_TRUE(countReaches("reload component with pid = 701", 1));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    const uintmax_t grown = std::filesystem::file_size(dir.file("monitor.log")) - before;
    EXPECT_LT(grown, 350u * 1024) << sent << " requests";
    EXPECT_GT(sent, 1000);
    EXPECT_TRUE(logHas("server: unsupported protocol ID ->4660"));
    EXPECT_TRUE(logHas(" WARN ") && logHas(" records about control clients left out"));
}

// nobody sends reload requests over TCP as fast as the server takes them,
// 10 s naming a component, then 10 s naming the monitor: they are applied
// at most about twice a second, so each component gets a few SIGHUPs and
// the log stays small; root's same request 1.5 s later is served at once.
TEST_F(ControlProgramTest, ReloadFloodsAreAppliedAtABoundedPace) {
    const int port = freePort();
    writeConf({{"Address", control + ",inet:" + std::to_string(port) + "@127.0.0.1"}, {"Level", "info"}});
    startDaemon();
    const std::vector<int> bases = vktest::processesStartingWith(dir.file("bin/based"));
    ASSERT_EQ(bases.size(), 1u);
    const pid_t base = bases.front();
    struct Case {
        std::string what;
        pid_t pid;
        bool everyComponent;
    };
    for (const Case& c : {Case{"a component", base, false}, Case{"the monitor", daemon, true}}) {
        const size_t baseHups = vktest::readLines(dir.file("base.hups")).size();
        const size_t varnoHups = vktest::readLines(dir.file("varno.hups")).size();
        const uintmax_t logSize = std::filesystem::file_size(dir.file("monitor.log"));
        const long sent = floodAsNobody(port, reloadRequest({c.pid}), std::chrono::seconds(10));
        const auto flooded = Clock::now();
        EXPECT_GT(sent, 1000) << c.what;
        std::this_thread::sleep_until(flooded + std::chrono::milliseconds(1500));
        const size_t baseGot = vktest::readLines(dir.file("base.hups")).size() - baseHups;
        const size_t varnoGot = vktest::readLines(dir.file("varno.hups")).size() - varnoHups;
        EXPECT_GE(baseGot, 3u) << c.what;
        EXPECT_LE(baseGot, 35u) << c.what;
        if (c.everyComponent) {
            EXPECT_GE(varnoGot, 3u) << c.what;
            EXPECT_LE(varnoGot, 35u) << c.what;
        } else {
            EXPECT_EQ(varnoGot, 0u) << c.what;
        }
        const uintmax_t grown = std::filesystem::file_size(dir.file("monitor.log")) - logSize;
        EXPECT_LT(grown, 170u * 1024) << c.what << ": " << sent << " requests";

        const auto start = Clock::now();
        EXPECT_EQ(client({"reload", std::to_string(c.pid)}).status, 0) << c.what;
        EXPECT_TRUE(eventually([&] { return vktest::readLines(dir.file("base.hups")).size() > baseHups + baseGot; }))
            << c.what;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << c.what;
    }
}

// A component's user leaves foreign .hup files with long names (badly
// named, dangling links, files named for pid 1 that it holds locked),
// holds its own and floods "reload 1 <its pid>" over TCP for 10 s: the
// scans write a bounded log, it gets a SIGHUP per applied request, and no
// SIGHUP goes to pid 1.
TEST_F(ControlProgramTest, HupScansOfAReloadFloodWriteABoundedLog) {
    const int port = freePort();
    writeConf({{"Address", control + ",inet:" + std::to_string(port) + "@127.0.0.1"}, {"Level", "info"}});
    startDaemon();
    const std::string longName = dir.file("run/") + std::string(200, '\x01');
    std::vector<std::string> locked{dir.file("run/mine.%d.hup")};
    for (int i = 0; i < 6; ++i) {
        const std::string stem = longName + std::to_string(i);
        vktest::writeFile(stem + ".hup", "");
        ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), (stem + ".2.hup").c_str()), 0);
        locked.push_back(stem + ".1.hup");
    }
    HupChild holder(locked);
    const uintmax_t logSize = std::filesystem::file_size(dir.file("monitor.log"));
    const long sent = floodAsNobody(port, reloadRequest({1, holder.pid()}), std::chrono::seconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_GT(sent, 1000);
    const uintmax_t grown = std::filesystem::file_size(dir.file("monitor.log")) - logSize;
    EXPECT_LT(grown, 170u * 1024) << sent << " requests";
    const size_t hups = holder.hups();
    EXPECT_GE(hups, 3u);
    EXPECT_LE(hups, 35u);
    EXPECT_TRUE(logHas("is not write-locked by pid 1 (a lock is held by pid " + std::to_string(holder.pid())));
    EXPECT_TRUE(logHas("records left out after the first 5 of each kind in 10 s"));
    EXPECT_FALSE(logHas("with pid = 1\n"));
}

// Under umask 0 the control socket comes to its path by a rename, with its
// mode 0770 already, and nothing changes a mode at that path. A link
// planted there is left alone: the monitor does not start, and the link's
// target keeps its mode.
TEST_F(ControlProgramTest, ControlSocketAppearsWithItsModeOnly) {
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB), 0);
    startDaemon("umask 0 &&");
    struct stat st;
    ASSERT_EQ(::lstat(dir.file("a.ctl").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0770u);
    std::vector<uint32_t> events;
    alignas(struct inotify_event) char buffer[65536];
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
        for (char* at = buffer; at < buffer + n;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(at);
            if (event->len && std::string(event->name) == "a.ctl") events.push_back(event->mask);
            at += sizeof(struct inotify_event) + event->len;
        }
    }
    ::close(watch);
    EXPECT_EQ(events, std::vector<uint32_t>{IN_MOVED_TO});
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().filename().string().rfind(".a.ctl.", 0), 0u) << entry.path();
    stopAll();

    const std::string target = dir.file("target");
    vktest::writeFile(target, "");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    std::filesystem::create_symlink(target, dir.file("a.ctl"));
    Result planted = run({VK_MONITOR_BINARY, "-c", dir.file("monitor.conf")});
    EXPECT_EQ(planted.status, 1);
    EXPECT_TRUE(logHas(dir.file("a.ctl") + " is not a socket; it is left in place"));
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("a.ctl")));
}

TEST_F(ControlProgramTest, ServerStartsWithTheProgramAndStopsInOrder) {
    writeConf({{"Address", control + ",bogus"}});
    Result bad = run({VK_MONITOR_BINARY, "-c", dir.file("monitor.conf")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(bad.err, HasSubstr("global error: cannot create server session (" + control + ",bogus): "));
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.ctl")));

    writeConf({});
    writeApp("agent.mmc", "AGENT", "agentd", "");
    Result all = run({VK_MONITOR_BINARY, "-A", "-c", dir.file("monitor.conf")});
    EXPECT_EQ(all.out, "Options OK\n") << all.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.ctl")));

    // Without an address the program runs without a control server, and
    // its control thread only waits.
    writeConf({{"Address", ""}});
    startDaemon();
    EXPECT_TRUE(logHas("no control address (/Monitor/Address): control requests are not served"));
    const long ticks = cpuTicks(daemon);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpuTicks(daemon) - ticks, ::sysconf(_SC_CLK_TCK) / 10);
    stopAll();

    writeConf({});
    std::filesystem::remove(dir.file("monitor.log"));
    startDaemon();
    EXPECT_TRUE(logHas("MonitorServer::start: created thread monitorProtoThread: id="));
    struct stat st;
    ASSERT_EQ(::stat(dir.file("a.ctl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0770u);
    const int idle = connectUnix(dir.file("a.ctl"));
    ASSERT_GE(idle, 0);
    const auto stopping = Clock::now();
    ::kill(daemon, SIGTERM);
    int status = 0;
    ::waitpid(daemon, &status, 0);
    daemon = -1;
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(3));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ::close(idle);
    const std::string text = logText();
    const size_t joining = text.find("MonitorServer::stop(): joining monitorProtoThread");
    ASSERT_NE(joining, std::string::npos);
    EXPECT_NE(text.find("MonitorServer::stop(): monitorProtoThread joined", joining), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.ctl")));
}

TEST_F(ControlProgramTest, InetControlAddressServesLocalClientsOnly) {
    const int port = freePort();
    control = "inet:" + std::to_string(port) + "@0.0.0.0";
    writeConf({});
    startDaemon();
    EXPECT_TRUE(logHas("control address \"" + control + "\" is not a loopback address"));
    EXPECT_TRUE(sendAndAwaitEnd(connectInet("127.0.0.1", port), reloadRequest({50})));
    EXPECT_TRUE(countReaches("reload component with pid = 50", 1));

    const std::string outside = nonLoopbackAddress();
    if (outside.empty()) GTEST_SKIP() << "no address but loopback on this host";
    EXPECT_TRUE(sendAndAwaitEnd(connectInet(outside, port, outside), reloadRequest({51}), true));
    EXPECT_TRUE(eventually([&] {
        return logHas("1 connection(s) refused at accept: only local clients are served (the last from inet:" +
                      outside);
    }));
    EXPECT_FALSE(logHas("reload component with pid = 51"));
}

}  // namespace
