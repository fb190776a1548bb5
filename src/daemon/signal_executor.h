// What the signal processors ask of the monitor.
#pragma once

#include <string>

class SignalExecutor {
public:
    virtual void requestReload(int signal, const std::string& name) = 0;
    virtual void terminate(int signal, const std::string& name) = 0;
    virtual void inform(int signal, const std::string& name) = 0;
    virtual ~SignalExecutor() = default;
};
