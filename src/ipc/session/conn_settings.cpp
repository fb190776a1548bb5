// ConnSettings: the connection limits of a pool and their check.
#include "ipc/session/conn_settings.h"

#include <string>

#include "base/vk_exception.h"

namespace velka {
namespace ipc {

ConnSettings::ConnSettings(uint32_t n) : min(n), max(n) { Check(); }

ConnSettings::ConnSettings(uint32_t aMin, uint32_t aMax, uint32_t aIdleTimeout, bool aStatistics)
    : min(aMin), max(aMax), idleTimeout(aIdleTimeout), statistics(aStatistics) {
    Check();
}

void ConnSettings::Check() const {
    if (max > 65535u)
        throw base::VkParameterError("ConnSettings::Check", "max number of connections",
                                     std::to_string(max) + "(too much)");
    if (max != 0 && min > max)
        throw base::VkParameterError("ConnSettings::Check", "min is greater than max",
                                     std::to_string(min) + ">" + std::to_string(max));
}

}  // namespace ipc
}  // namespace velka
