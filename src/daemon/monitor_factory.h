// The one place that decides which monitor object the program runs, and
// where the daemon meets the control layer: it is built into the program,
// not into the daemon library.
#pragma once

#include <memory>
#include <string>

#include "daemon/monitor.h"

std::unique_ptr<Monitor> createMonitorObject(const std::string& confPath, const std::string& runList,
                                             bool updateMode);
