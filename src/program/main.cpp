// velka-monitor: starts the suite's applications and keeps them running.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "base/app_log.h"
#include "daemon/monitor_program.h"
#include "engine/informer.h"

namespace {

// How long the program waits for letters still being mailed.
const unsigned kMailWaitMs = 5000;

// Descriptors 0 to 2 are taken before anything is opened, so that no log
// file or pipe lands on them and is later replaced by /dev/null.
void occupyStandardDescriptors() {
    for (;;) {
        const int fd = ::open("/dev/null", O_RDWR);
        if (fd < 0) return;
        if (fd > 2) {
            ::close(fd);
            return;
        }
    }
}

int runProgram(int argc, char** argv, bool& checkMode) {
    std::string confPath, runList;
    bool updateMode = false, checkOnly = false, checkAll = false;
    if (MonitorProgram::parseOptions(argc, argv, confPath, runList, updateMode, checkOnly, checkAll) == 6) return 6;
    // Reloads read the file again after the daemon changed its directory.
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(confPath, ignored);
    if (!ignored) confPath = absolute.string();
    if (checkAll) checkOnly = true;
    checkMode = checkOnly;
    configureLogging("syslog", "info", "error", "daemon", checkMode, checkAll);

    std::unique_ptr<MonitorProgram> program(new MonitorProgram(runList, updateMode));
    logInfo(productBanner + " starting");
    program->createMonitor(confPath);
    if (!program->changePermissions()) {
        setCheckFailed();
        // Never go on as root when the switch to the configured user failed.
        if (!checkMode) throw MonitorProgram::error("cannot change permissions", 33);
    }
    if (!checkMode) program->daemonize();
    if (!checkMode) program->writePidFile();
    program->setupSignals();
    if (checkOnly && !checkAll && !program->verifyDependences()) setCheckFailed();
    if (!checkMode || checkAll) program->run();
    if (!checkMode) {
        if (!program->startMainLoopThread()) throw std::runtime_error("cannot create mainLoopThread");
        logInfo(productBanner + " started");
        MonitorProgram::reportStartup(0, "");
        program->waitLoop();
    }
    program.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    occupyStandardDescriptors();
    bool checkMode = false;
    int status = 0;
    try {
        status = runProgram(argc, argv, checkMode);
        if (status == 6) return 6;
    } catch (const MonitorProgram::exit& e) {
        std::cout << e.what() << std::endl;
        return 0;
    } catch (const MonitorProgram::error& e) {
        setCheckFailed();
        const std::string text = std::string("program create error: ") + e.what();
        logError(text);
        std::cerr << text << std::endl;
        MonitorProgram::reportStartup(8, text);
        status = 8;
    } catch (const std::exception& e) {
        setCheckFailed();
        const std::string text = std::string("global error: ") + e.what();
        logError(text);
        std::cerr << text << std::endl;
        MonitorProgram::reportStartup(1, text);
        status = 1;
    }
    if (checkMode) {
        if (isCheckFailed())
            std::cerr << "Options ERROR" << std::endl;
        else
            std::cout << "Options OK" << std::endl;
    }
    SenderInformer::waitForWorkers(kMailWaitMs);
    logInfo(productBanner + " shutdown");
    return status;
}
