// The one place that decides which monitor object the program runs.
#pragma once

#include <memory>
#include <string>

#include "daemon/monitor.h"

std::unique_ptr<Monitor> createMonitorObject(const std::string& confPath, const std::string& runList,
                                             bool updateMode);
