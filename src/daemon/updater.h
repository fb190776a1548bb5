// The suite's update procedure, from trusted trees only: the pre-update
// script runs at the request (control thread), the post-update script
// later from the main loop.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/fd_guard.h"

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
    // The pre-update script's mode before it runs: executable, and still
    // writable by its owner only, so that it stays trusted while it runs.
    static constexpr mode_t kScriptMode = 0750;

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

    // Runs the pre-update script; a success makes the update pending. It
    // runs only from a trusted path: the cache directory, each of its
    // ancestors, "unix/", "unix/scripts/" and the script are owned by root
    // or the monitor's user and writable by neither group nor others (a
    // root-owned sticky ancestor such as /tmp may be passed, but the next
    // component must be trusted again), and the script is a regular file
    // with one link. They are opened one at a time from "/" (the cache
    // directory's path is absolute) without following links. The script
    // changes mode through the handle kept and runs by its path, with that
    // path as its $0, once its name is seen to still lead to the file
    // checked; the directory removed after a failed run is the one
    // checked, reached through the handles kept. A path that fails is
    // answered "untrusted path: <path>" and nothing is touched. A run
    // ended by stop() is answered "monitor stopping" and removes nothing.
    std::pair<bool, std::string> PreUpdate(const std::string& cacheDir, const std::string& second,
                                           const std::string& product, const std::string& mta,
                                           const std::string& userGroup);
    // Runs a pending post-update script in the background, once, from a
    // tree checked the same way ("opt/velka/post-update.sh"), as "sh
    // <path> <cache directory> <second text>". Once the
    // monitor stops nothing more runs: the pending update is left to stop().
    void run();
    // The monitor stops: a pre-update script still running is killed with
    // its process group, and a pending update whose post-update script has
    // not run is logged as an error and dropped. Requests made while the
    // monitor stops are refused ("monitor stopping").
    void stop();

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
    Updater();
    // Runs the script by its path; false with the cause of the failure.
    bool runPreUpdateScript(const std::string& script, const std::string& cacheDir, const std::string& second,
                            const std::string& mta, const std::string& userGroup, std::string& cause);

    mutable std::mutex m_lock;
    std::string m_cacheDir;
    std::string m_second;
    std::string m_product;
    std::string m_mta;
    bool m_pending = false;
    unsigned m_scriptLimitSeconds = kScriptTimeLimitSeconds;
    std::vector<pid_t> m_scripts;  // post-update scripts still running
    FdGuard m_stop;                // an eventfd: readable from stop() to the next PreUpdate
};
