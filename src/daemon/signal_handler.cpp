#include "daemon/signal_handler.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/vk_exception.h"

namespace {
void emptyHandler(int) {}
}  // namespace

SignalHandler::SignalHandler() {
    if (::sigemptyset(&m_signals) != 0) throw error("sigemptyset() error: " + velka::base::errnoText(errno));
}

SignalHandler::~SignalHandler() = default;

void SignalHandler::addProcessor(int signal, Processor* processor) {
    std::unique_ptr<Processor> owned(processor);
    if (m_processors.count(signal))
        throw error("cannot add processor for signal " + std::to_string(signal) + ": processor already added");
    if (::sigaddset(&m_signals, signal) != 0) throw error("signumset error: " + velka::base::errnoText(errno));
    m_processors[signal] = std::move(owned);
}

bool SignalHandler::start() {
    for (auto& entry : m_processors) entry.second->setHandler(this);
    const int rc = ::pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    if (rc != 0) throw error("wait signals thread error: pthread_sigmask() " + velka::base::errnoText(rc));
    for (int signal : {SIGALRM, SIGCHLD, SIGHUP, SIGPIPE}) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = emptyHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(signal, &action, nullptr) != 0) {
            std::perror("sigaction");
            std::exit(1);
        }
    }
    return true;
}

void SignalHandler::waitLoop() {
    for (bool done = false; !done;) {
        int signal = 0;
        const int rc = ::sigwait(&m_signals, &signal);
        if (rc != 0) throw error("sigwait error: " + velka::base::errnoText(rc));
        auto it = m_processors.find(signal);
        done = it == m_processors.end() ? true : it->second->process(signal);
    }
}

bool InformProcessor::process(int signal) {
    m_executor->inform(signal, m_name);
    return false;
}

bool TerminateProcessor::process(int signal) {
    m_executor->terminate(signal, m_name);
    return true;
}

bool ReloadProcessor::process(int signal) {
    m_executor->requestReload(signal, m_name);
    return false;
}
