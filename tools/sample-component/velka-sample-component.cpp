// A stand-in component for tests and examples. It speaks the start
// protocol on descriptor 1 (the monitor's management socket) and behaves
// as its options say. Options may also come from its own file name: the
// parts after '+' in "name+exit-after=500+exit-code=3" are read as
// "--exit-after=500 --exit-code=3", so one program can be linked under
// several component names.
//
//   --answer=ok|E|lf|none|<char>   start answer (default ok: a blank)
//   --answer-delay=MS              wait before answering
//   --on-term=exit|ignore|signal   SIGTERM: exit 0, ignore, or die by it
//   --hup-file=PATH                append a line per SIGHUP
//   --exit-after=MS --exit-code=N  exit by itself
//   --kill-after=MS                kill itself with SIGKILL
//   --fork-child=MS                after answering, start a child that keeps
//                                  descriptor 1 open for MS milliseconds
//   --argv-file=PATH               write the arguments, one per line
//   --start-file=PATH              append the start time (ms since the epoch,
//                                  with three decimals)
//   --check-only [agent]           print "Options OK" (or --check-error) and exit
//   --check-error=TEXT             the check answer instead of "Options OK"
//   --check-stderr=TEXT            also print TEXT on the error output
//   --socket A --pid-file F        write the pid into F, then answer
//   --update                       accepted
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t hups = 0;
volatile sig_atomic_t terminate = 0;

void onHup(int) { hups = hups + 1; }
void onTerm(int) { terminate = 1; }

long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void writeText(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void appendFile(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    writeText(fd, text);
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    std::string self = argv[0];
    const std::string base = self.substr(self.rfind('/') == std::string::npos ? 0 : self.rfind('/') + 1);
    for (size_t at = base.find('+'); at != std::string::npos;) {
        const size_t next = base.find('+', at + 1);
        args.push_back("--" + base.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
        at = next;
    }
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);

    std::string answer = "ok", onTermMode = "exit", hupFile, argvFile, checkError, checkStderr, pidFile, startFile;
    long answerDelay = 0, exitAfter = -1, killAfter = -1, forkChild = -1;
    int exitCode = 0;
    bool checkOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* name, std::string& out) {
            const std::string prefix = std::string(name) + "=";
            if (a.compare(0, prefix.size(), prefix) != 0) return false;
            out = a.substr(prefix.size());
            return true;
        };
        std::string v;
        if (value("--answer", v)) answer = v;
        else if (value("--answer-delay", v)) answerDelay = std::atol(v.c_str());
        else if (value("--on-term", v)) onTermMode = v;
        else if (value("--hup-file", v)) hupFile = v;
        else if (value("--exit-after", v)) exitAfter = std::atol(v.c_str());
        else if (value("--exit-code", v)) exitCode = std::atoi(v.c_str());
        else if (value("--kill-after", v)) killAfter = std::atol(v.c_str());
        else if (value("--fork-child", v)) forkChild = std::atol(v.c_str());
        else if (value("--argv-file", v)) argvFile = v;
        else if (value("--start-file", v)) startFile = v;
        else if (value("--check-error", v)) checkError = v;
        else if (value("--check-stderr", v)) checkStderr = v;
        else if (a == "--check-only") checkOnly = true;
        else if (a == "--pid-file" && i + 1 < args.size()) pidFile = args[++i];
        else if (a == "--socket" && i + 1 < args.size()) ++i;
    }

    // Descriptor 1 is the management socket: it stays open for life and
    // goes to no program it runs (only --fork-child's child keeps it).
    fcntl(1, F_SETFD, FD_CLOEXEC);

    if (!argvFile.empty()) {
        std::string text;
        for (int i = 0; i < argc; ++i) text += std::string(argv[i]) + "\n";
        appendFile(argvFile + ".tmp", text);
        rename((argvFile + ".tmp").c_str(), argvFile.c_str());
    }

    if (!startFile.empty()) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        char micros[8];
        std::snprintf(micros, sizeof micros, ".%03ld", now.tv_nsec / 1000 % 1000);
        appendFile(startFile, std::to_string(now.tv_sec * 1000LL + now.tv_nsec / 1000000) + micros + "\n");
    }

    if (checkOnly) {
        if (!checkStderr.empty()) writeText(2, checkStderr + "\n");
        writeText(1, (checkError.empty() ? "Options OK" : checkError) + "\n");
        return checkError.empty() ? 0 : 1;
    }

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onHup;
    sigaction(SIGHUP, &sa, nullptr);
    if (onTermMode == "ignore") {
        sa.sa_handler = SIG_IGN;
        sigaction(SIGTERM, &sa, nullptr);
    } else if (onTermMode == "exit") {
        sa.sa_handler = onTerm;
        sigaction(SIGTERM, &sa, nullptr);
    }  // "signal": the default disposition, so SIGTERM kills it

    if (!pidFile.empty()) {
        const std::string text = std::to_string(getpid()) + "\n";
        const int fd = open(pidFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            writeText(fd, text);
            close(fd);
        }
    }

    if (answerDelay > 0) usleep(static_cast<useconds_t>(answerDelay) * 1000);
    if (answer == "ok") writeText(1, " ");
    else if (answer == "lf") writeText(1, "\n");
    else if (answer != "none" && !answer.empty()) writeText(1, answer.substr(0, 1));

    if (forkChild >= 0 && fork() == 0) {
        usleep(static_cast<useconds_t>(forkChild) * 1000);
        _exit(0);
    }

    const long long start = nowMs();
    int seenHups = 0;
    for (;;) {
        if (terminate) return 0;
        while (seenHups < hups) {
            ++seenHups;
            if (!hupFile.empty()) appendFile(hupFile, "hup\n");
        }
        const long long elapsed = nowMs() - start;
        if (exitAfter >= 0 && elapsed >= exitAfter) return exitCode;
        if (killAfter >= 0 && elapsed >= killAfter) {
            signal(SIGKILL, SIG_DFL);
            kill(getpid(), SIGKILL);
        }
        usleep(10000);
    }
}
