// VkSingleton: the process-wide instance of a class, made on first use and
// never destroyed.
#pragma once

namespace velka {
namespace patterns {

template <typename T>
class VkSingleton {
public:
    // The first call constructs the instance; a concurrent first call waits
    // for it (a function-local static), so exactly one is ever made.
    static T* Instance() {
        static T* const instance = new T();
        return instance;
    }
};

}  // namespace patterns
}  // namespace velka
