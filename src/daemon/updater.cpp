#include "daemon/updater.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <memory>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "engine/monitor_state.h"
#include "engine/utils.h"

const char* const Updater::kPreUpdateScript = "unix/scripts/pre-update.sh";
const char* const Updater::kPostUpdateScript = "post-update.sh";
const char* const Updater::kInstallBase = "opt/velka";
const char* const Updater::kProduct = "20-vlkunix";

Updater& Updater::instance() {
    static Updater updater;  // thread-safe first use
    return updater;
}

Updater::Updater() : m_stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_stop.fd < 0) throw error("cannot create the updater's stop descriptor: " + velka::base::errnoText(errno));
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

namespace {

const char kStopping[] = "monitor stopping";
// How many levels of directories the removal of a cache directory
// descends into.
const unsigned kMaxRemoveDepth = 128;

std::string sysText(int error) { return velka::base::errnoText(error); }

bool monitorStops() {
    const int state = getMonitorState();
    return state == MONITOR_STOPPED || state == MONITOR_END;
}

// Root or the monitor's own user.
bool trustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

// What only root or the monitor can change: a trusted owner, and no write
// permission for group or others.
bool trusted(const struct stat& st) { return trustedOwner(st.st_uid) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

// A root-owned directory with the sticky bit, like /tmp: others may add
// entries but neither rename nor remove root's, so it may be passed on the
// way to a trusted directory.
bool passable(const struct stat& st) { return S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & S_ISVTX); }

Updater::error untrusted(const std::string& path) { return Updater::error("untrusted path: " + path); }

// A failed open of a component: a link (O_NOFOLLOW) or something other
// than a directory in a directory's place is untrusted.
Updater::error openError(const std::string& path, int error) {
    if (error == ELOOP || error == ENOTDIR) return untrusted(path);
    return Updater::error("cannot open \"" + path + "\": " + sysText(error));
}

// The names of the path's components; "." and ".." are refused.
std::vector<std::string> componentsOf(const std::string& path) {
    std::vector<std::string> pieces, names;
    Utils::split(path.c_str(), "/", pieces);
    for (const std::string& piece : pieces) {
        if (piece.empty()) continue;
        if (piece == "." || piece == "..") throw untrusted(path);
        names.push_back(piece);
    }
    return names;
}

// Removes every entry of the directory open on fd (taken over and closed
// here), never following a link.
void removeEntries(int fd, const std::string& path, unsigned depth) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
    if (!dir) {
        const int e = errno;
        ::close(fd);
        throw Updater::error("cannot read \"" + path + "\": " + sysText(e));
    }
    if (depth > kMaxRemoveDepth) throw Updater::error("cannot remove \"" + path + "\": too deep");
    std::vector<std::string> names;
    while (const struct dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    const int at = ::dirfd(dir.get());
    for (const std::string& name : names) {
        const std::string entry = path + "/" + name;
        struct stat st;
        if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            throw Updater::error("cannot remove \"" + entry + "\": " + sysText(errno));
        }
        if (S_ISDIR(st.st_mode)) {
            const int sub = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) throw Updater::error("cannot remove \"" + entry + "\": " + sysText(errno));
            removeEntries(sub, entry, depth + 1);
        }
        if (::unlinkat(at, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT)
            throw Updater::error("cannot remove \"" + entry + "\": " + sysText(errno));
    }
}

// A directory reached from "/" one component at a time, each opened with
// O_NOFOLLOW and checked on its handle. The handles of the directory and
// of its parent are kept: what is removed later is what was checked,
// whatever happens to the names meanwhile. A script runs by its path, and
// only while its name still leads to the file checked (Script::isNamed).
class TrustedDirectory {
public:
    // Every ancestor trusted, or passable with a trusted one after it, and
    // the directory itself trusted; else Updater::error "untrusted path:
    // <the path up to the component that failed>". A relative path is
    // untrusted: the scripts run by their paths, which must lead through
    // the very directories walked here.
    explicit TrustedDirectory(const std::string& path) : m_path(path) {
        if (path.empty() || path[0] != '/') throw untrusted(path);
        m_dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (m_dir.fd < 0) throw openError("/", errno);
        struct stat st;
        if (::fstat(m_dir.fd, &st) != 0 || !trusted(st)) throw untrusted("/");
        const std::vector<std::string> names = componentsOf(path);
        std::string reached;
        bool passed = false;  // the last directory was only passable
        for (size_t i = 0; i < names.size(); ++i) {
            reached += "/" + names[i];
            FdGuard next(::openat(m_dir.fd, names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next.fd < 0) throw openError(reached, errno);
            if (::fstat(next.fd, &st) != 0 || !S_ISDIR(st.st_mode)) throw untrusted(reached);
            const bool last = i + 1 == names.size();
            if (trusted(st))
                passed = false;
            else if (!last && !passed && passable(st))
                passed = true;
            else
                throw untrusted(reached);
            m_parent.reset(m_dir.release());
            m_dir.reset(next.release());
            m_name = names[i];
        }
    }

    // A script opened by openScript: the file held, the directory that
    // holds it and its name there.
    struct Script {
        std::string name;
        FdGuard dir;
        FdGuard file;

        // Whether the name still leads to the file held (same device and
        // inode, a link not followed). Each directory on the way is
        // trusted, so once this holds only root or the monitor's user can
        // change what the path names: the script then runs by its path and
        // finds itself in $0.
        bool isNamed() const {
            struct stat named, held;
            return ::fstatat(dir.fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                   ::fstat(file.fd, &held) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino;
        }
    };

    // Opens the file at the relative path for reading: each directory on
    // the way trusted, and the file a trusted regular file with one link.
    void openScript(const std::string& relative, Script& script) const {
        const std::string path = m_path + "/" + relative;
        const std::vector<std::string> names = componentsOf(relative);
        FdGuard& held = script.dir;
        held.reset(::fcntl(m_dir.fd, F_DUPFD_CLOEXEC, 0));
        if (held.fd < 0) throw openError(m_path, errno);
        std::string reached = m_path;
        auto fail = [&](int error) -> Updater::error {
            if (error == ENOENT)
                return Updater::error("cannot find script \"" + path + "\": " + sysText(error));
            return openError(reached, error);
        };
        for (size_t i = 0; i + 1 < names.size(); ++i) {
            reached += "/" + names[i];
            FdGuard next(::openat(held.fd, names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (next.fd < 0) throw fail(errno);
            if (::fstat(next.fd, &st) != 0 || !S_ISDIR(st.st_mode) || !trusted(st)) throw untrusted(reached);
            held.reset(next.release());
        }
        reached += "/" + names.back();
        script.name = names.back();
        // Looked at before it is opened: a device or a FIFO is never opened.
        struct stat named, opened;
        if (::fstatat(held.fd, script.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) throw fail(errno);
        if (!S_ISREG(named.st_mode)) throw untrusted(reached);
        script.file.reset(
            ::openat(held.fd, script.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (script.file.fd < 0) throw fail(errno);
        if (::fstat(script.file.fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1 ||
            !trusted(opened))
            throw untrusted(reached);
    }

    // Removes the directory with everything in it: the entries through the
    // kept handle, then the directory by its name in the kept parent, as
    // long as that name still is this directory.
    void remove() const {
        if (m_parent.fd < 0) throw Updater::error("cannot remove \"" + m_path + "\": it has no parent");
        const int fd = ::openat(m_dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) throw Updater::error("cannot read \"" + m_path + "\": " + sysText(errno));
        removeEntries(fd, m_path, 0);
        struct stat held, named;
        if (::fstat(m_dir.fd, &held) != 0 ||
            ::fstatat(m_parent.fd, m_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            held.st_dev != named.st_dev || held.st_ino != named.st_ino)
            throw Updater::error("cannot remove \"" + m_path + "\": its name no longer leads to it");
        if (::unlinkat(m_parent.fd, m_name.c_str(), AT_REMOVEDIR) != 0)
            throw Updater::error("cannot remove \"" + m_path + "\": " + sysText(errno));
    }

private:
    std::string m_path;
    std::string m_name;  // in the parent
    FdGuard m_parent;
    FdGuard m_dir;
};

// The records and the answer of a failed pre-update.
std::pair<bool, std::string> failed(const std::string& cause) {
    const std::string message = "pre-update process error because of " + cause;
    logError(Utils::printable(message));
    logError("pre-update process unsuccessful");
    return std::make_pair(false, message);
}

}  // namespace

bool Updater::runPreUpdateScript(const std::string& script, const std::string& cacheDir, const std::string& second,
                                 const std::string& mta, const std::string& userGroup, std::string& cause) {
    // One argument per field: no shell ever reads a request field.
    std::vector<std::string> argv{script, cacheDir, second, "40", "9", mta};
    if (!userGroup.empty()) argv.push_back(userGroup);
    Utils::CommandOptions options;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        options.limitSeconds = m_scriptLimitSeconds;
    }
    options.stopFd = m_stop.fd;
    std::string output;
    if (Utils::runCommand(argv, output, options)) return true;
    cause = Utils::isReadable(m_stop.fd) ? kStopping : output;
    return false;
}

std::pair<bool, std::string> Updater::PreUpdate(const std::string& cacheDir, const std::string& second,
                                                const std::string& product, const std::string& mta,
                                                const std::string& userGroup) {
    logDebug(Utils::printable("PreUpdate() " + cacheDir + ", " + second + ", " + product + ", " + mta + ", " +
                              userGroup));
    // What the stop descriptor holds is left from an earlier stop: a stop of
    // this monitor has changed its state first, and that is looked at next.
    uint64_t stops;
    if (::read(m_stop.fd, &stops, sizeof stops) < 0) {
        // Nothing to take: no stop since the last request.
    }
    if (monitorStops()) return failed(kStopping);
    // Without these two texts the update could never become pending: it is
    // refused before the script runs, so no success is reported for it.
    if (second.empty() || mta.empty())
        return failed(second.empty() ? "the second text is empty"
                                     : "no mail transfer agent is known yet (no settings from the agent)");
    const std::string script = cacheDir + "/" + kPreUpdateScript;
    std::unique_ptr<TrustedDirectory> cache;
    TrustedDirectory::Script held;
    try {
        Utils::checkPath(cacheDir);
        cache = std::make_unique<TrustedDirectory>(cacheDir);
        cache->openScript(kPreUpdateScript, held);
    } catch (const std::runtime_error& e) {
        return failed(e.what());  // nothing has been touched
    }
    std::string cause;
    bool ran = false;
    if (::fchmod(held.file.fd, kScriptMode) != 0)
        cause = "cannot change mode for script \"" + script + "\": " + sysText(errno);
    else if (!held.isNamed())
        return failed(untrusted(script).what());  // not run: nothing is removed
    else
        ran = runPreUpdateScript(script, cacheDir, second, mta, userGroup, cause);
    if (!ran) {
        const std::pair<bool, std::string> result = failed(cause);
        // A script ended by the stop did not fail: its update may be asked
        // for again.
        if (cause == kStopping) return result;
        logInfo(Utils::printable("remove cache directory \"" + cacheDir + "\""));
        try {
            cache->remove();
        } catch (const error& e) {
            logError(Utils::printable(std::string("cannot remove cache directory: ") + e.what()));
        }
        return result;
    }
    bool accepted = false;
    {
        // Taken together with stop(): an update accepted is either run or
        // reported by it; one whose script the stop overtook is not taken.
        std::lock_guard<std::mutex> guard(m_lock);
        if (!Utils::isReadable(m_stop.fd)) {
            m_cacheDir = cacheDir;
            m_second = second;
            m_product = product;
            m_mta = mta;
            m_pending = accepted = true;
        }
    }
    if (!accepted) return failed(kStopping);
    logInfo("pre-update process successful");
    return std::make_pair(true, std::string());
}

void Updater::run() {
    reapScripts();
    if (!isPending() || monitorStops()) return;
    std::string cacheDir, second, product, mta;
    get(cacheDir, second, product, mta);
    clear();
    if (product != kProduct) {
        logError(Utils::printable("cannot update: unknown product \"" + product + "\""));
        return;
    }
    const std::string script = cacheDir + "/" + kInstallBase + "/" + kPostUpdateScript;
    logDebug(Utils::printable("exec update cmd: sh " + script + " " + cacheDir + " " + second + " &"));
    try {
        const TrustedDirectory cache(cacheDir);
        TrustedDirectory::Script held;
        cache.openScript(std::string(kInstallBase) + "/" + kPostUpdateScript, held);
        if (!held.isNamed()) throw untrusted(script);
        // In the background: the main loop goes on while the script runs.
        const pid_t pid = Utils::spawn({"/bin/sh", script, cacheDir, second}, -1, -1, -1);
        std::lock_guard<std::mutex> guard(m_lock);
        m_scripts.push_back(pid);
    } catch (const std::exception& e) {
        logError(Utils::printable(std::string("update process error because of ") + e.what()));
        return;
    }
    logInfo("update process successful");
}

void Updater::stop() {
    const uint64_t one = 1;
    if (::write(m_stop.fd, &one, sizeof one) < 0) {
        // The counter is full: it is readable anyway.
    }
    std::string cacheDir, product;
    bool pending;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        pending = m_pending;
        cacheDir.swap(m_cacheDir);
        product.swap(m_product);
        m_second.clear();
        m_mta.clear();
        m_pending = false;
    }
    if (pending)
        logError(Utils::printable("update of product \"" + product + "\" from cache directory \"" + cacheDir +
                                  "\" not done: the monitor stops before its post-update script has run"));
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
