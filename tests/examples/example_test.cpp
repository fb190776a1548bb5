// The bundled example end to end: it starts with a clean log, answers the
// README's reload and update requests, and stops in order.
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/utils.h"
#include "support/eventually.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;
using vktest::eventually;

namespace {

// The log's ERROR and WARN records.
std::vector<std::string> complaints(const std::string& log) {
    std::vector<std::string> found;
    for (const std::string& line : vktest::readLines(log))
        if (line.find(" ERROR ") != std::string::npos || line.find(" WARN ") != std::string::npos)
            found.push_back(line);
    return found;
}

TEST(Example, RunsCleanAndAnswersTheReadmeRequests) {
    vktest::TempDir dir;
    const std::string work = dir.file("example");
    const vktest::Result prepared = vktest::runProgram({"/bin/bash", VK_EXAMPLES "/prepare-example", VK_BUILD_DIR, work});
    ASSERT_EQ(prepared.status, 0) << prepared.err;
    EXPECT_EQ(prepared.err, "");  // the update tree is trusted

    const std::string log = work + "/monitor.log";
    const pid_t monitor = Utils::spawn({VK_MONITOR_BINARY, "-c", work + "/monitor.conf"}, -1, -1, -1);
    ASSERT_TRUE(eventually([&] { return vktest::readFile(log).find("Components Monitor started") != std::string::npos; }));

    const auto control = [&](std::vector<std::string> request) {
        request.insert(request.begin(), {VK_CONTROL_CLIENT, "--address", "local:" + work + "/run/control"});
        return vktest::runProgram(request);
    };
    // A component's pid: SIGHUP reaches it. The monitor's own: it reloads.
    const std::vector<int> shopweb = vktest::processesStartingWith(work + "/bin/shopweb");
    ASSERT_EQ(shopweb.size(), 1u);
    EXPECT_EQ(control({"reload", std::to_string(shopweb[0])}).status, 0);
    EXPECT_TRUE(eventually([&] { return vktest::readFile(work + "/shopweb.hups").size() > 0; }));
    EXPECT_EQ(control({"reload", std::to_string(monitor)}).status, 0);
    EXPECT_TRUE(eventually([&] { return vktest::readFile(log).find("immutableApps: SHOP") != std::string::npos; }));

    const vktest::Result update = control({"update", work + "/update", "1.2.3", "20-vlkunix"});
    EXPECT_EQ(update.status, 0) << update.err;
    EXPECT_EQ(update.out, "ok=1 text=\n");
    EXPECT_TRUE(eventually([&] { return vktest::readLines(work + "/update-steps.txt").size() == 2; }));
    const std::vector<std::string> steps = vktest::readLines(work + "/update-steps.txt");
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0], "pre-update " + work + "/update 1.2.3 40 9 SENDMAIL");
    EXPECT_EQ(steps[1], "post-update " + work + "/update 1.2.3");
    EXPECT_TRUE(eventually([&] { return vktest::readFile(log).find("update process successful") != std::string::npos; }));

    ::kill(monitor, SIGTERM);
    int status = -1;
    ::waitpid(monitor, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_THAT(complaints(log), ::testing::IsEmpty());
    EXPECT_EQ(vktest::readFile(work + "/letters.txt"), "");
    EXPECT_THAT(vktest::readFile(work + "/agent.log"), HasSubstr("start conn=1 name=\"BASE\""));
    EXPECT_TRUE(eventually([&] { return vktest::processesStartingWith(work + "/bin/").empty(); }, 5));
}

}  // namespace
