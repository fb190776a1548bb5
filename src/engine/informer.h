// Informers deliver a component's notification letter: to the log, by mail
// through the configured mail command, or into a command of the component.
#pragma once

#include <memory>
#include <string>

class Informer {
public:
    // True when the delivery was started or done.
    virtual bool inform(const std::string& letter);
    virtual ~Informer();
    virtual int type() const = 0;
};

class LogInformer : public Informer {
public:
    bool inform(const std::string& letter) override;
    int type() const override { return 1; }
};

// Mails the letter through the process-wide send command in a detached
// thread of its own, so the caller never waits for the mail. A mail
// command still running after the limit is killed with what it started.
class SenderInformer : public Informer {
public:
    explicit SenderInformer(unsigned limitSeconds = 30) : m_limitSeconds(limitSeconds) {}
    bool inform(const std::string& letter) override;
    int type() const override { return 2; }
    static void setSendCommand(const std::string& command);
    static std::string getSendCommand();
    // Waits up to timeoutMs for the mail workers still running; true when
    // none is left. The program calls it before it exits.
    static bool waitForWorkers(unsigned timeoutMs);
    // The recipient when no administrator address is known.
    static const char* const kDefaultRecipient;

private:
    unsigned m_limitSeconds;
};

// Runs the component's own command with the letter on its standard input;
// a command still running after the limit is killed with what it started.
class CmdInformer : public Informer {
public:
    explicit CmdInformer(const std::string& command, unsigned limitSeconds = 30);
    bool inform(const std::string& letter) override;
    int type() const override { return 3; }
    const std::string& command() const { return m_command; }

private:
    std::string m_command;
    unsigned m_limitSeconds;
};

// 1: LogInformer, 2: SenderInformer, 3: CmdInformer with the command;
// anything else: none.
std::unique_ptr<Informer> createInformer(int type, const std::string& command);
