// One supervised child process: started by fork and exec under its user
// and group, watched through a socket pair whose monitor-side end is the
// management descriptor, stopped with SIGTERM and then SIGKILL.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <list>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/fd_guard.h"
#include "engine/informer.h"

class CompStrategy;

namespace IO {
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
};
class TimeoutException : public Exception {
public:
    TimeoutException() : Exception("") {}
};
}  // namespace IO

class Component {
public:
    class StopedHimself : public std::runtime_error {
    public:
        StopedHimself() : std::runtime_error("component stopped himself") {}
    };

    Component(const std::string& name, bool fromMetaConf);
    ~Component();
    // A copy takes the settings only: it is a component that has not been
    // started (copies are made of freshly parsed definitions).
    Component(const Component& other);
    Component& operator=(const Component&) = delete;

    // Settings, as the meta-configuration gives them.
    const std::string& getName() const { return m_name; }
    const std::string& getArgv() const { return m_argv; }
    void setArgv(const std::string& argv) { m_argv = argv; }
    const std::string& getUser() const { return m_user; }
    const std::string& getGroup() const { return m_group; }
    void setUser(const std::string& user) { m_user = user; }
    void setGroup(const std::string& group) { m_group = group; }
    int getTimeStart() const { return m_timeStart; }
    int getTimeStop() const { return m_timeStop; }
    void setTimeStart(int seconds) { m_timeStart = seconds; }
    void setTimeStop(int seconds) { m_timeStop = seconds; }
    int getLogType() const { return m_logType; }
    void setLogType(int type) { m_logType = type; }
    const std::string& getInformerCommand() const { return m_informerCommand; }
    void setInformerCommand(const std::string& command) { m_informerCommand = command; }
    const Informer* getInformer() const { return m_informer.get(); }
    bool isFromMetaConf() const { return m_fromMetaConf; }

    // Process state.
    pid_t getPid() const { return m_pid; }
    int getManagementDescriptor() const { return m_descriptor; }
    // A process descriptor of the running child, readable once it ends;
    // -1 when there is none.
    int getExitDescriptor() const { return m_exitDescriptor.fd; }
    // True when the running child has ended, whether or not its management
    // socket is still open (a process it started may hold it); the child
    // is not reaped.
    bool hasEnded() const;
    bool isRunning() const { return m_running; }
    pid_t getStoppedPid() const { return m_stoppedPid; }
    // The pid of the failure this component is being recovered from; kept
    // across failed restarts until a start succeeds or an ordered stop.
    pid_t getRecoveryKey() const { return m_recoveryKey; }
    void clearRecoveryKey() {
        m_recoveryKey = -1;
        m_recoveryKeySignaled = false;
    }
    // True for the pid of the running child and for the recovery key. The
    // pid of a child that is gone matches nothing: the kernel may have
    // given it to another process.
    bool ownsPid(pid_t pid) const {
        return pid > 0 && ((m_running && pid == m_pid) || pid == m_recoveryKey);
    }
    // True when the monitor saw this pid end by a signal: the last stopped
    // pid, or the failure being recovered when that child was killed.
    bool isStoppedPid(pid_t pid) const {
        return pid > 0 && (pid == m_stoppedPid || (pid == m_recoveryKey && m_recoveryKeySignaled));
    }

    void startStandart(CompStrategy& strategy, const std::string& path, time_t failureTime, int attempt,
                       const std::string& appName);
    void startCheckOnly(CompStrategy& strategy, const std::string& path);
    // errorDescriptor: null for no error pair; otherwise a pair is made in
    // check-all runs and its monitor-side end handed out there.
    void __start(CompStrategy& strategy, const std::string& path, int& descriptor, int* errorDescriptor,
                 pid_t& pid);
    bool startComp(CompStrategy& strategy, const std::string& path, pid_t& pid, int& descriptor,
                   int* errorDescriptor);
    void waitAnswer(int descriptor, const std::string& path, time_t failureTime, int attempt,
                    const std::string& appName);

    bool stop(bool fault);
    bool stopPid(pid_t pid);
    bool fault(pid_t pid, time_t failureTime, const std::string& appName, const std::string& path,
               const std::list<std::string>& affected);
    void informCannotRecovery(time_t failureTime, const std::string& appName, const std::string& path);
    void inform(const std::string& letter);

    void sendSignal(int signal);
    void signalIfPidIn(std::set<pid_t>& pids, int signal);
    bool getDescriptor(std::list<int>& descriptors) const;
    void resetInformer();
    bool reconfig(const Component& fresh);
    void checkExited();
    void closeDescriptor();

    uid_t getUid() const;
    gid_t getGid() const;
    bool hasUser() const { return getUid() != 0; }
    bool hasGroup() const { return getGid() != 0; }
    std::string getUserGroup() const { return m_user + ":" + m_group; }

    std::string toText(bool withDescriptor) const;
    void printInfo() const;

private:
    void readCheckAnswer(int descriptor, int errorDescriptor);

    std::string m_name;
    std::string m_argv;
    std::string m_user;
    std::string m_group;
    int m_timeStart = 30;
    int m_timeStop = 30;
    int m_logType = 2;
    std::string m_informerCommand;
    std::unique_ptr<Informer> m_informer;
    int m_descriptor = -1;
    FdGuard m_exitDescriptor;
    pid_t m_pid = -1;
    bool m_running = false;
    pid_t m_stoppedPid = -1;
    pid_t m_recoveryKey = -1;
    bool m_recoveryKeySignaled = false;
    bool m_fromMetaConf;
};
