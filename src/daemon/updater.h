// The suite's update procedure: the pre-update script runs at the request
// (control thread), the post-update script later from the main loop.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class Updater {
public:
    class error : public std::runtime_error {
    public:
        explicit error(const std::string& message) : std::runtime_error(message) {}
    };

    static const char* const kPreUpdateScript;   // relative to the cache directory
    static const char* const kPostUpdateScript;  // in the install base
    static const char* const kInstallBase;       // relative to the cache directory
    static const char* const kProduct;           // the only product updated here

    static Updater& instance();

    // Runs the pre-update script; a success makes the update pending.
    std::pair<bool, std::string> PreUpdate(const std::string& cacheDir, const std::string& second,
                                           const std::string& product, const std::string& mta,
                                           const std::string& userGroup);
    // Runs a pending post-update script in the background, once.
    void run();

    bool isPending() const;
    void set(const std::string& cacheDir, const std::string& second, const std::string& product,
             const std::string& mta);
    void get(std::string& cacheDir, std::string& second, std::string& product, std::string& mta) const;
    void clear();

    // Reaps post-update scripts that have ended; true when none is left.
    bool reapScripts();

private:
    Updater() = default;
    void runPreUpdateScript(const std::string& cacheDir, const std::string& second, const std::string& mta,
                            const std::string& userGroup);
    // The cache directory may be removed only when it is a plain absolute
    // path below "/" that held the pre-update script.
    static bool removable(const std::string& cacheDir);

    mutable std::mutex m_lock;
    std::string m_cacheDir;
    std::string m_second;
    std::string m_product;
    std::string m_mta;
    bool m_pending = false;
    std::vector<pid_t> m_scripts;  // post-update scripts still running
};
