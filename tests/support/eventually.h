// Waits for a condition that another thread or process makes true.
#pragma once

#include <chrono>
#include <thread>

namespace vktest {

// Polls every 10 ms; true as soon as the predicate holds, false when it
// still does not after the given seconds.
template <typename Predicate>
bool eventually(Predicate predicate, int seconds = 10) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return predicate();
}

}  // namespace vktest
