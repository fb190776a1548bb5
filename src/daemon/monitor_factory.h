// The hook through which the program decides which monitor object it runs,
// and where the daemon meets the control layer: defined in src/program/,
// not in the daemon library.
#pragma once

#include <memory>
#include <string>

#include "daemon/monitor.h"

std::unique_ptr<Monitor> createMonitorObject(const std::string& confPath, const std::string& runList,
                                             bool updateMode);
