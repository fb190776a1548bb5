// Synchronous signal handling: the registered signals are blocked in the
// whole process before any other thread exists and taken by sigwait in the
// main thread, which hands each to its processor.
#pragma once

#include <signal.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "daemon/signal_executor.h"

class SignalHandler {
public:
    class error : public std::runtime_error {
    public:
        explicit error(const std::string& message) : std::runtime_error(message) {}
    };

    class Processor {
    public:
        Processor(SignalExecutor* executor, const std::string& name) : m_executor(executor), m_name(name) {}
        // True ends the wait loop.
        virtual bool process(int signal) = 0;
        virtual ~Processor() = default;
        void setHandler(SignalHandler* handler) { m_handler = handler; }

    protected:
        SignalHandler* m_handler = nullptr;
        SignalExecutor* m_executor;
        std::string m_name;
    };

    SignalHandler();
    virtual ~SignalHandler();

    void addProcessor(int signal, Processor* processor);
    bool start();
    void waitLoop();

private:
    sigset_t m_signals;
    std::map<int, std::unique_ptr<Processor>> m_processors;
};

class InformProcessor : public SignalHandler::Processor {
public:
    using Processor::Processor;
    bool process(int signal) override;
};

class TerminateProcessor : public SignalHandler::Processor {
public:
    using Processor::Processor;
    bool process(int signal) override;
};

class ReloadProcessor : public SignalHandler::Processor {
public:
    using Processor::Processor;
    bool process(int signal) override;
};
