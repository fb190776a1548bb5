// Records of the transport: composed only when the IPC logger's level lets
// them through.
#pragma once

#include <string>

#include "base/app_log.h"

namespace velka {
namespace ipc {

template <typename Compose>
void ipcLog(int level, Compose compose) {
    LogClass& logger = getIpcLogger();
    if (logger.isEnabledFor(level)) logger.log(level, compose());
}

}  // namespace ipc
}  // namespace velka
