#include "daemon/updater.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "engine/utils.h"

const char* const Updater::kPreUpdateScript = "unix/scripts/pre-update.sh";
const char* const Updater::kPostUpdateScript = "post-update.sh";
const char* const Updater::kInstallBase = "opt/velka";
const char* const Updater::kProduct = "20-vlkunix";

Updater& Updater::instance() {
    static Updater updater;  // thread-safe first use
    return updater;
}

namespace {

const size_t kMaxPathBytes = 4095;
const size_t kMaxWordBytes = 255;

bool isPathChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == ',' || c == '+' ||
           c == '/' || c == '-';
}

bool isWordChar(char c) { return isPathChar(c) || c == ':' || c == '@' || c == '='; }

bool isCacheDirValid(const std::string& dir) {
    if (dir.empty() || dir.size() > kMaxPathBytes || dir[0] != '/') return false;
    if (dir.find_first_not_of('/') == std::string::npos) return false;  // the root itself
    for (const char c : dir)
        if (!isPathChar(c)) return false;
    std::vector<std::string> parts;
    Utils::split(dir.c_str(), "/", parts);
    for (const std::string& part : parts)
        if (part == "." || part == "..") return false;
    struct stat st;
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isWordValid(const std::string& word) {
    if (word.size() > kMaxWordBytes || (!word.empty() && word[0] == '-')) return false;
    for (const char c : word)
        if (!isWordChar(c)) return false;
    return true;
}

}  // namespace

std::string Updater::invalidRequestField(const std::string& cacheDir, const std::string& second,
                                         const std::string& product, const std::string& mta,
                                         const std::string& userGroup) {
    if (!isCacheDirValid(cacheDir)) return "cache directory";
    if (!isWordValid(second)) return "second text";
    if (!isWordValid(product)) return "product";
    if (!isWordValid(mta)) return "MTA";
    if (!isWordValid(userGroup)) return "user:group";
    return std::string();
}

void Updater::setScriptTimeLimit(unsigned seconds) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_scriptLimitSeconds = seconds;
}

bool Updater::removable(const std::string& cacheDir) {
    if (cacheDir.size() < 2 || cacheDir[0] != '/') return false;
    std::vector<std::string> parts;
    Utils::split(cacheDir.c_str(), "/", parts);
    for (const std::string& part : parts)
        if (part == "." || part == "..") return false;
    struct stat st;
    const std::string script = cacheDir + "/" + kPreUpdateScript;
    return ::lstat(cacheDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::lstat(script.c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

void Updater::runPreUpdateScript(const std::string& cacheDir, const std::string& second, const std::string& mta,
                                 const std::string& userGroup) {
    const std::string script = cacheDir + "/" + kPreUpdateScript;
    try {
        Utils::checkPath(cacheDir);
    } catch (const std::runtime_error& e) {
        throw error(e.what());
    }
    // Only a regular file of the cache directory runs, and its mode is
    // changed on the file itself, never through a link.
    struct stat st;
    if (::lstat(script.c_str(), &st) != 0)
        throw error("cannot find script \"" + script + "\": " + velka::base::errnoText(errno));
    if (!S_ISREG(st.st_mode)) throw error("script \"" + script + "\" is not a regular file");
    const int fd = ::open(script.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int failure = fd < 0 ? errno : 0;
    if (fd >= 0) {
        if (::fstat(fd, &st) != 0)
            failure = errno;
        else if (!S_ISREG(st.st_mode))
            failure = EINVAL;
        else if (::fchmod(fd, 0770) != 0)
            failure = errno;
        ::close(fd);
    }
    if (failure != 0)
        throw error("cannot change mode for script \"" + script + "\": " + velka::base::errnoText(failure));
    // One argument per field: no shell ever reads a request field.
    std::vector<std::string> argv{script, cacheDir, second, "40", "9", mta};
    if (!userGroup.empty()) argv.push_back(userGroup);
    unsigned limit;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        limit = m_scriptLimitSeconds;
    }
    std::string output;
    if (!Utils::runCommand(argv, output, limit)) throw error(output);
}

std::pair<bool, std::string> Updater::PreUpdate(const std::string& cacheDir, const std::string& second,
                                                const std::string& product, const std::string& mta,
                                                const std::string& userGroup) {
    logDebug("PreUpdate() " + cacheDir + ", " + second + ", " + product + ", " + mta + ", " + userGroup);
    // Without these two texts the update could never become pending: it is
    // refused before the script runs, so no success is reported for it.
    if (second.empty() || mta.empty()) {
        const char* cause = second.empty() ? "the second text is empty"
                                           : "no mail transfer agent is known yet (no settings from the agent)";
        const std::string message = std::string("pre-update process error because of ") + cause;
        logError(message);
        logError("pre-update process unsuccessful");
        return std::make_pair(false, message);
    }
    // Decided before the script runs: the directory must have held it.
    const bool mayRemove = removable(cacheDir);
    try {
        runPreUpdateScript(cacheDir, second, mta, userGroup);
    } catch (const error& e) {
        const std::string message = std::string("pre-update process error because of ") + e.what();
        logError(message);
        logError("pre-update process unsuccessful");
        bool pathOk = true;
        try {
            Utils::checkPath(cacheDir);
        } catch (const std::runtime_error&) {
            pathOk = false;
        }
        if (pathOk && mayRemove) {
            logInfo("remove cache directory \"" + cacheDir + "\"");
            std::error_code ignored;
            std::filesystem::remove_all(cacheDir, ignored);  // links are removed, never followed
        }
        return std::make_pair(false, message);
    }
    set(cacheDir, second, product, mta);
    logInfo("pre-update process successful");
    return std::make_pair(true, std::string());
}

void Updater::run() {
    reapScripts();
    if (!isPending()) return;
    std::string cacheDir, second, product, mta;
    get(cacheDir, second, product, mta);
    clear();
    if (product != kProduct) {
        logError("cannot update: unknown product \"" + product + "\"");
        return;
    }
    const std::string script = cacheDir + "/" + kInstallBase + "/" + kPostUpdateScript;
    logDebug("exec update cmd: sh " + script + " " + cacheDir + " " + second + " &");
    try {
        // In the background: the main loop goes on while the script runs.
        const pid_t pid = Utils::spawn({"/bin/sh", script, cacheDir, second}, -1, -1, -1);
        std::lock_guard<std::mutex> guard(m_lock);
        m_scripts.push_back(pid);
    } catch (const std::exception& e) {
        logError("update process error");
        return;
    }
    logInfo("update process successful");
}

bool Updater::reapScripts() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_scripts.begin(); it != m_scripts.end();) {
        if (::waitpid(*it, nullptr, WNOHANG) != 0)
            it = m_scripts.erase(it);
        else
            ++it;
    }
    return m_scripts.empty();
}

bool Updater::isPending() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pending;
}

void Updater::set(const std::string& cacheDir, const std::string& second, const std::string& product,
                  const std::string& mta) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_cacheDir = cacheDir;
    m_second = second;
    m_product = product;
    m_mta = mta;
    m_pending = true;
}

void Updater::get(std::string& cacheDir, std::string& second, std::string& product, std::string& mta) const {
    std::lock_guard<std::mutex> guard(m_lock);
    cacheDir = m_cacheDir;
    second = m_second;
    product = m_product;
    mta = m_mta;
}

void Updater::clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_cacheDir.clear();
    m_second.clear();
    m_product.clear();
    m_mta.clear();
    m_pending = false;
}
