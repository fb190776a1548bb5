// What applications tell the monitor: before a component starts, and when
// an application has started or stopped.
#pragma once

#include "engine/app_name.h"

class Application;

class Regenerator {
public:
    // Called with the depends set of an application before one of its
    // components starts.
    virtual bool regenerate(const AppNameSet& names) = 0;
    virtual void applicationStarted(Application& application) = 0;
    virtual void applicationStopped(Application& application) = 0;
    virtual ~Regenerator() = default;
};
