// ConnSettings: the connection limits of a pool and their check.
#pragma once

#include <cstdint>

namespace velka {
namespace ipc {

struct ConnSettings {
    uint32_t min = 0;          // connections the pool creates and keeps
    uint32_t max = 0;          // upper bound; 0 means none
    uint32_t idleTimeout = 0;  // seconds a non-permanent client connection may idle
    bool statistics = false;   // collect counters for the statistics report

    // The all-zero record that a closed pool keeps.
    ConnSettings() = default;
    // min = max = n; checked.
    explicit ConnSettings(uint32_t n);
    // Checked.
    ConnSettings(uint32_t min, uint32_t max, uint32_t idleTimeout, bool statistics);

    // Throws VkParameterError when max exceeds 65535 or min exceeds a
    // non-zero max.
    void Check() const;
};

}  // namespace ipc
}  // namespace velka
