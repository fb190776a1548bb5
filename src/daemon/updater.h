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
    static const unsigned kScriptTimeLimitSeconds = 600;

    static Updater& instance();

    // The name of the first field of an update request that may not reach
    // the scripts ("cache directory", "second text", "product", "MTA",
    // "user:group"), or the empty text when all of them may. The cache
    // directory must be an existing directory (not a link) named by a plain
    // absolute path; the other texts are short words without blanks, quotes
    // or shell characters that do not start with "-".
    static std::string invalidRequestField(const std::string& cacheDir, const std::string& second,
                                           const std::string& product, const std::string& mta,
                                           const std::string& userGroup);

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

    // How long the pre-update script may run before its process group is
    // killed.
    void setScriptTimeLimit(unsigned seconds);

private:
    Updater() = default;
    void runPreUpdateScript(const std::string& cacheDir, const std::string& second, const std::string& mta,
                            const std::string& userGroup);
    // The cache directory may be removed only when it is a plain absolute
    // path below "/" that held the pre-update script as a regular file.
    static bool removable(const std::string& cacheDir);

    mutable std::mutex m_lock;
    std::string m_cacheDir;
    std::string m_second;
    std::string m_product;
    std::string m_mta;
    bool m_pending = false;
    unsigned m_scriptLimitSeconds = kScriptTimeLimitSeconds;
    std::vector<pid_t> m_scripts;  // post-update scripts still running
};
