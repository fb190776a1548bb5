// Round trip of one reload request through the running velka-monitor
// program over its unix control socket: connect, send the request, shut
// the socket down for writing and wait until the server ends the stream
// (what the control client does). Run with --benchmark_repetitions=N for
// the median.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

std::string int32(int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
}

// The program on a temporary directory with one sample component, its
// control server at <dir>/a.ctl, records at info level in a file.
class Program {
public:
    Program() {
        char pattern[] = "/tmp/vkbench.XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        m_dir = pattern;
        for (const char* sub : {"meta", "run", "bin"}) std::filesystem::create_directories(m_dir + "/" + sub);
        std::filesystem::create_symlink(VK_SAMPLE_COMPONENT, m_dir + "/bin/based");
        writeFile(m_dir + "/meta/base.mmc", "APPLICATION BASE\nPATH \"" + m_dir + "/bin\"\nCOMPONENTS\n" +
                                                "based \"\" 5 2 LOG -\nENDCOMPONENTS\nENDAPPLICATION\n");
        writeFile(m_dir + "/monitor.conf", "[Logging]\nLevel = info\nFileName = " + m_dir + "/monitor.log\n" +
                                               "[Monitor]\nRunForeground = yes\nMetaConfigDir = " + m_dir +
                                               "/meta\nPidFileDir = " + m_dir + "/run/\nAgentAddress = local:" +
                                               m_dir + "/agent\nAddress = local:" + socketPath() +
                                               "\nTimeout = 5\nRunAppList = BASE\nRecoveryTimeList = 1\n");
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execl(VK_MONITOR_BINARY, VK_MONITOR_BINARY, "-c", (m_dir + "/monitor.conf").c_str(), nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 1000 && !std::filesystem::exists(socketPath()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!std::filesystem::exists(socketPath())) throw std::runtime_error("the program did not start");
    }
    ~Program() {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        std::filesystem::remove_all(m_dir);
    }
    std::string socketPath() const { return m_dir + "/a.ctl"; }

private:
    std::string m_dir;
    pid_t m_pid = -1;
};

bool reloadRoundTrip(const std::string& path, const std::string& request) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    ::shutdown(fd, SHUT_WR);
    struct pollfd p = {fd, POLLIN, 0};
    char c;
    ok = ok && ::poll(&p, 1, 5000) == 1 && ::recv(fd, &c, 1, 0) == 0;
    ::close(fd);
    return ok;
}

void BM_ReloadRoundTrip(benchmark::State& state) {
    static Program program;
    const std::string request = int32(0x2008) + int32(1) + int32(99999999);
    for (auto _ : state)
        if (!reloadRoundTrip(program.socketPath(), request)) state.SkipWithError("a request was not served");
}
BENCHMARK(BM_ReloadRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
