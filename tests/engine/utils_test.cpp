#include "engine/utils.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/eventually.h"
#include "support/temp_dir.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::vector<std::string> splitText(const char* text, const char* sep) {
    std::vector<std::string> pieces;
    Utils::split(text, sep, pieces);
    return pieces;
}

std::vector<std::string> args(const std::string& line) {
    std::vector<std::string> v{"stale"};
    Utils::splitArgs("prog", line, v);
    return v;
}

TEST(UtilsText, SplitTrimAndArgs) {
    EXPECT_THAT(splitText("/Monitor/Address", "/"), ElementsAre("Monitor", "Address"));
    EXPECT_THAT(splitText("a//b", "/"), ElementsAre("a", "", "b"));
    EXPECT_THAT(splitText("name/", "/"), ElementsAre("name"));
    EXPECT_THAT(splitText("", ","), ElementsAre());
    EXPECT_THAT(splitText("a,,", ","), ElementsAre("a", ""));

    std::string out = "x";
    Utils::trimGraph(" ", out);
    EXPECT_EQ(out, "x");
    out.clear();
    Utils::trimGraph("\t a b \r\n", out);
    EXPECT_EQ(out, "a b");
    out.clear();
    Utils::trimGraph("\xff" "a\xff", out);  // 0xFF is no graphic character in the C locale
    EXPECT_EQ(out, "a");

    EXPECT_THAT(args(""), ElementsAre("prog"));
    EXPECT_THAT(args("-c \"/etc/a b.conf\" -v"), ElementsAre("prog", "-c", "/etc/a b.conf", "-v"));
    EXPECT_THAT(args("a  b"), ElementsAre("prog", "a", "b"));
    EXPECT_THAT(args("\"\""), ElementsAre("prog", ""));
    EXPECT_THAT(args("x='1 2' y"), ElementsAre("prog", "x=1 2", "y"));
    EXPECT_THAT(args("'open"), ElementsAre("prog", "open"));
}

TEST(UtilsText, CheckPathAllowsOnlyPlainPathCharacters) {
    EXPECT_NO_THROW(Utils::checkPath(""));
    EXPECT_NO_THROW(Utils::checkPath("/opt/x-y/z.sh"));
    EXPECT_NO_THROW(Utils::checkPath("/opt/a_b/c+d,e"));
    EXPECT_NO_THROW(Utils::checkPath("/opt/a\\ b"));
    try {
        Utils::checkPath("/opt/a b");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "path \"/opt/a b\" is not correct. ch= ");
    }
    for (const char* bad : {"/x;rm", "/x|y", "/x&y", "/x$y", "/x'y", "/x\"y", "/x`y", "/x\ny"})
        EXPECT_THROW(Utils::checkPath(bad), std::runtime_error) << bad;
}

TEST(UtilsText, NamesAndDates) {
    EXPECT_EQ(Utils::getOSName(), "Linux");
    EXPECT_EQ(Utils::getOSName(3), "FreeBSD");
    EXPECT_EQ(Utils::getOSName(4), "MacOS X");
    EXPECT_EQ(Utils::getOSName(0), "UNKNOWN");
    EXPECT_EQ(Utils::getOSName(5), "UNKNOWN");
    EXPECT_FALSE(Utils::getVersion().empty());
    std::string text;
    Utils::formatDate(0, text);
    EXPECT_EQ(text, "Thu, 01 Jan 1970 00:00:00 +0000");
    Utils::timeText(43200 + 5, text);
    EXPECT_EQ(text, "12:00:05");
    Utils::getHostName(text);
    EXPECT_FALSE(text.empty());
}

TEST(UtilsFiles, ListDirKeepsOnlyNonDirectoriesWithSuffix) {
    vktest::TempDir dir;
    vktest::writeFile(dir.file("a.mmc"), "");
    vktest::writeFile(dir.file("b.txt"), "");
    ::mkdir(dir.file("c.mmc").c_str(), 0700);
    std::vector<std::string> paths{"stale"};
    Utils::listDir(dir.path() + "/", ".mmc", paths);
    EXPECT_THAT(paths, ElementsAre(dir.file("a.mmc")));
    Utils::listDirAll(dir.path() + "/", paths);
    EXPECT_EQ(paths.size(), 2u);
    try {
        Utils::listDir(dir.file("none/"), ".mmc", paths);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "opendir() error: \"" + dir.file("none/") + "\": No such file or directory");
    }
    // An entry that vanished, points nowhere or loops is skipped, not fatal.
    ::symlink(dir.file("gone").c_str(), dir.file("dangling.mmc").c_str());
    ::symlink(dir.file("loop.mmc").c_str(), dir.file("loop.mmc").c_str());
    Utils::listDir(dir.path() + "/", ".mmc", paths);
    EXPECT_THAT(paths, ElementsAre(dir.file("a.mmc")));
}

TEST(UtilsFiles, PidFileIsLockedAgainstASecondProcess) {
    vktest::TempDir dir;
    const std::string path = dir.file("velka-monitor.pid");
    Utils::createPidFile(path.c_str(), 4242, {"extra"});
    // Reading the file here would drop the lock: closing any descriptor of
    // a file releases the process's record locks on it.

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        std::string message = "no error";
        try {
            Utils::createPidFile(path.c_str(), 99, {});
        } catch (const Utils::error& e) {
            message = e.what();
        }
        Utils::writeAll(fds[1], message);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string message;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, n);
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_THAT(message, HasSubstr("unable to set lock for file \"" + path + "\": "));
    EXPECT_EQ(vktest::readFile(path), "4242\nextra\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // nobody else may rewrite it

    Utils::unlinkPidFile(path.c_str());
    try {
        Utils::unlinkPidFile(path.c_str());
        ADD_FAILURE();
    } catch (const Utils::error& e) {
        EXPECT_EQ(std::string(e.what()), "error unlink pid file \"" + path + "\": No such file or directory");
    }
    // A link planted where the pid file goes is never followed.
    vktest::writeFile(dir.file("victim"), "precious");
    ::symlink(dir.file("victim").c_str(), dir.file("planted.pid").c_str());
    EXPECT_THROW(Utils::createPidFile(dir.file("planted.pid").c_str(), 1, {}), Utils::error);
    EXPECT_EQ(vktest::readFile(dir.file("victim")), "precious");
    try {
        Utils::createPidFile(dir.file("no/such.pid").c_str(), 1, {});
        ADD_FAILURE();
    } catch (const Utils::error& e) {
        EXPECT_THAT(e.what(), HasSubstr("error in create pid file \"" + dir.file("no/such.pid") + "\": "));
    }
}

TEST(UtilsUsers, LookupsAndSwitchInAChild) {
    std::string user, group;
    Utils::getCurrentIds(user, group);
    EXPECT_FALSE(user.empty());
    EXPECT_EQ(Utils::getUid("root"), 0u);
    EXPECT_EQ(Utils::getGid("root"), 0u);
    try {
        Utils::getUid("no-such-user-x");
        ADD_FAILURE();
    } catch (const Utils::error& e) {
        EXPECT_STREQ(e.what(), "getpwnam( \"no-such-user-x\" ) error");
    }
    try {
        Utils::getGid("no-such-group-x");
        ADD_FAILURE();
    } catch (const Utils::error& e) {
        EXPECT_STREQ(e.what(), "getgrnam( \"no-such-group-x\" ) error");
    }
    EXPECT_FALSE(Utils::setIds("", ""));
    if (::getuid() != 0) GTEST_SKIP() << "switching users needs root";
    auto inChild = [](bool (*body)()) {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(body() ? 0 : 1);
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    // The switch leaves no root group behind, not even a supplementary one.
    EXPECT_TRUE(inChild([] {
        ::setgroups(1, std::vector<gid_t>{0}.data());
        bool ok = Utils::setIds("nobody", "nogroup");
        ok = ok && ::getuid() == Utils::getUid("nobody") && ::getgid() == Utils::getGid("nogroup");
        gid_t groups[64];
        const int n = ::getgroups(64, groups);
        for (int i = 0; i < n; ++i) ok = ok && groups[i] != 0;
        return ok;
    }));
    EXPECT_TRUE(inChild([] {
        ::setgroups(1, std::vector<gid_t>{0}.data());
        bool ok = Utils::setIds("", "nogroup");
        return ok && ::getgroups(0, nullptr) == 0 && ::getuid() == 0;
    }));
    // A user without a group leaves root's group as well.
    EXPECT_TRUE(inChild([] {
        return Utils::setIds("nobody", "") && ::getgid() == Utils::getPrimaryGid("nobody") && ::getgid() != 0;
    }));
    // An unknown name changes nothing.
    EXPECT_TRUE(inChild([] {
        try {
            Utils::setIds("no-such-user-x", "nogroup");
        } catch (const Utils::error& e) {
            return std::string(e.what()) == "getpwnam( \"no-such-user-x\" ) error" && ::getgid() == 0;
        }
        return false;
    }));
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(UtilsProcesses, WaitOrKill) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = Utils::spawnShell("sleep 0.25; exit 3", -1, -1, -1);
    int signal = 0, code = 0;
    bool exited = false;
    EXPECT_EQ(Utils::waitOrKill(pid, 5, &signal, &code, &exited), 0);
    EXPECT_LT(secondsSince(start), 1.5);
    EXPECT_EQ(signal, -1);
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(exited);

    start = std::chrono::steady_clock::now();
    pid = Utils::spawnShell("trap '' TERM HUP INT; exec sleep 30", -1, -1, -1);
    EXPECT_EQ(Utils::waitOrKill(pid, 1, &signal, &code, &exited), 1);
    const double took = secondsSince(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(signal, SIGKILL);
    EXPECT_FALSE(exited);
    EXPECT_EQ(::kill(pid, 0), -1);  // reaped

    pid = Utils::spawnShell("exec sleep 30", -1, -1, -1);
    EXPECT_EQ(Utils::waitOrKill(pid, 0, &signal, nullptr, nullptr), 1);
    EXPECT_EQ(signal, SIGKILL);
    EXPECT_TRUE(Utils::checkProcess(Utils::spawnShell("exec sleep 0.2", -1, -1, -1), true, nullptr, nullptr,
                                    nullptr));
    ::usleep(400000);
    EXPECT_FALSE(Utils::checkProcess(-1, false, &signal, &code, &exited));  // reaps the sleeper
    try {
        Utils::waitPid(-1, nullptr, 0);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "waitpid(-1, ..) error: No child processes");
    }
}

TEST(UtilsProcesses, RunCommandUsesNoShellAndJudgesTheExit) {
    vktest::TempDir dir;
    std::string output;
    EXPECT_TRUE(Utils::runCommand({"/bin/sh", "-c", "echo to-stdout"}, output));
    EXPECT_EQ(output, "");
    output.clear();
    EXPECT_FALSE(Utils::runCommand({"/bin/sh", "-c", "echo oops >&2"}, output));
    EXPECT_EQ(output, "oops\n");
    output.clear();
    EXPECT_FALSE(Utils::runCommand({"/bin/sh", "-c", "exit 4"}, output));
    EXPECT_EQ(output, "\"/bin/sh\" exited with status 4");
    output.clear();
    EXPECT_FALSE(Utils::runCommand({"/bin/sh", "-c", "kill -9 $$"}, output));
    EXPECT_EQ(output, "\"/bin/sh\" was killed by signal 9");
    output.clear();
    EXPECT_FALSE(Utils::runCommand({dir.file("missing.sh")}, output));
    EXPECT_THAT(output, HasSubstr("No such file or directory"));
    // An argument is never interpreted by a shell.
    output.clear();
    const std::string marker = dir.file("injected");
    EXPECT_TRUE(Utils::runCommand({"/bin/echo", "x; touch " + marker}, output));
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(UtilsProcesses, RunCommandKillsTheWholeGroupAtItsTimeLimit) {
    vktest::TempDir dir;
    const std::string pidFile = dir.file("background.pid");
    const std::vector<std::string> cases{
        "sleep 30 & echo $! > " + pidFile + "; wait",              // still running
        "sleep 30 & echo $! > " + pidFile + "; exec 1>&- 2>&-",  // ended, its error output held open
    };
    for (const std::string& script : cases) {
        std::string output;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(Utils::runCommand({"/bin/sh", "-c", script}, output, 1)) << script;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_EQ(output, "\"/bin/sh\" was killed after the time limit of 1 s");
        const pid_t background = std::stoi(vktest::readFile(pidFile));
        EXPECT_TRUE(vktest::eventually([&] { return ::kill(background, 0) != 0; }, 5)) << script;
    }
    std::string output;
    EXPECT_TRUE(Utils::runCommand({"/bin/sh", "-c", "exit 0"}, output, 5));
}

TEST(UtilsProcesses, RunCommandRunsTheFileHeldAndKeepsABoundedOutput) {
    vktest::TempDir dir;
    // The file open on the descriptor runs (close-on-exec, as every
    // descriptor of the monitor), not the one its name leads to by then.
    const std::string script = dir.file("script.sh");
    vktest::writeFile(script, "#!/bin/sh\necho held \"$1\" >&2\n");
    ::chmod(script.c_str(), 0700);
    const int fd = ::open(script.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::filesystem::rename(script, dir.file("moved.sh"));
    vktest::writeFile(script, "#!/bin/sh\necho replaced >&2\n");
    Utils::CommandOptions options;
    options.programFd = fd;
    std::string output;
    EXPECT_FALSE(Utils::runCommand({script, "a b"}, output, options));
    EXPECT_EQ(output, "held a b\n");
    ::close(fd);

    // Of a long error output the first bytes are kept, the rest is read.
    output.clear();
    EXPECT_FALSE(Utils::runCommand({"/bin/sh", "-c", "head -c 1000000 /dev/zero | tr '\\0' x >&2; exit 0"}, output));
    EXPECT_EQ(output, std::string(Utils::kMaxCapturedOutput, 'x') + Utils::kCutMark);
}

// Children also get the descriptor limit the program started with, below
// the one it raised for itself (which takes fork and exec).
TEST(UtilsProcesses, ChildrenStartWithCleanSignalsAndNoInheritedDescriptors) {
    struct rlimit limit;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GT(limit.rlim_max, 256u);
    limit.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_TRUE(Utils::raiseDescriptorLimit());
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
    vktest::TempDir dir;
    Utils::createPidFile(dir.file("p.pid").c_str(), 1, {});
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);

    sigset_t block, previous;
    ::sigemptyset(&block);
    ::sigaddset(&block, SIGUSR1);
    ::sigaddset(&block, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &block, &previous);
    struct sigaction ignore = {}, oldAction = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGTERM, &ignore, &oldAction);

    const pid_t pid = Utils::spawnShell(
        "grep -E '^Sig(Blk|Ign)' /proc/self/status; for f in /proc/self/fd/*; do readlink $f; done; ulimit -Sn", -1,
        fds[1], -1);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::sigaction(SIGTERM, &oldAction, nullptr);
    ::close(fds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, n);
    ::close(fds[0]);
    Utils::waitPid(pid, nullptr, 0);
    EXPECT_THAT(output, HasSubstr("SigBlk:\t0000000000000000"));
    // Signals 32 and 33 belong to the C library and are left as they are.
    const size_t at = output.find("SigIgn:\t");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(std::stoull(output.substr(at + 8, 16), nullptr, 16) & ~0x180000000ull, 0u) << output;
    EXPECT_THAT(output, ::testing::Not(HasSubstr(dir.path())));
    EXPECT_THAT(output, ::testing::EndsWith("\n256\n"));
    // Started the way a kept limit needs: names looked up in PATH, and a
    // program that cannot be executed reported as a failed start.
    int status = -1;
    ::waitpid(Utils::spawn({"true"}, -1, -1, -1), &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_THROW(Utils::spawn({dir.file("missing")}, -1, -1, -1), Utils::error);
}

}  // namespace
