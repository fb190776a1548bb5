// The process object: command line, monitor creation, permissions,
// daemonising, pid file, signals, the main-loop thread and the ordered
// shutdown.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <boost/thread/thread.hpp>

#include "daemon/monitor.h"
#include "daemon/signal_handler.h"

class MonitorProgram : public SignalHandler {
public:
    class error : public std::runtime_error {
    public:
        error(const std::string& message, int code) : std::runtime_error(message), m_code(code) {}
        int code() const { return m_code; }

    private:
        int m_code;
    };
    // Help and version: the text goes to standard output, status 0.
    class exit : public std::runtime_error {
    public:
        explicit exit(const std::string& text) : std::runtime_error(text) {}
    };

    MonitorProgram(const std::string& runList, bool updateMode);
    ~MonitorProgram() override;

    static int parseOptions(int argc, char** argv, std::string& confPath, std::string& runList, bool& updateMode,
                            bool& checkOnly, bool& checkAll);
    bool createMonitor(const std::string& confPath);
    bool changePermissions();
    void daemonize();
    void writePidFile();
    void setupSignals();
    bool verifyDependences();
    void run();
    bool startMainLoopThread();
    void stop();

    Monitor* monitor() { return m_monitor.get(); }

    // A daemon's parent waits until the child reports how its start-up
    // ended: 0 once it runs, or an exit status with the error line.
    static void reportStartup(int status, const std::string& text);

private:
    void fixLogFileOwner();

    std::string m_pidFile;
    std::string m_runList;
    bool m_updateMode;
    std::unique_ptr<Monitor> m_monitor;
    boost::thread m_mainLoopThread;
    bool m_stopped = false;
};
