// VkUnixSocket: the unix-domain stream-socket endpoint; a server binds a
// socket file in a private directory, gives it its mode there and renames
// it into place (replacing one left behind by a dead server), and removes
// it when it closes.
#pragma once

#include <mutex>
#include <string>

#include "ipc/transport/socket.h"

namespace velka {
namespace ipc {

class VkUnixSocket : public VkSocket {
public:
    // How long the probe of a socket file in the way may take to connect.
    static const int kStalledProbeTimeoutMs = 250;

    explicit VkUnixSocket(std::shared_ptr<io_service_runner_t> runner);
    ~VkUnixSocket() override;

    // Opens the descriptor; a server-side or listening endpoint binds its
    // local path, replacing a stale socket file. True or throws
    // VkSystemError (the endpoint then closed).
    bool Create() override;
    void Close() override;
    // An accepted peer of a server names its local side by the server's
    // path (the kernel knows the socket by the name it was bound under).
    std::shared_ptr<VkIPC> CreateEmptyPeer() override;
    bool GetLocalSocketAddress() override;
    bool GetRemoteSocketAddress() override;
    // True when the file at the local path is a socket nobody listens on.
    virtual bool IsStalled();
    // The mode the next bound socket file gets (0770 unless changed).
    virtual void SetMode(unsigned mode);

    // Gives the socket file its mode while Create holds it in its private
    // directory (never through its final path, where a link could have
    // taken its place); at any other time VkSystemError (EPERM).
    virtual bool ChMod(unsigned mode);
    void RemoveOwnedFile();

private:
    enum class PathState { kLive, kStale, kGone, kNotSocket, kUnknown };
    // Looks at what holds the local path, probing a socket by connecting.
    PathState ProbePath();
    std::string LocalPath() const;
    // Binds in a new directory of mode 0700 beside the path, sets the mode
    // there and renames the socket file to the path without replacing
    // anything but a stale socket.
    void BindPrivately(const std::string& path);
    // Renames the bound file from the private directory to the path; false
    // when something is in the way.
    bool PlaceFile(int from, int parent, const std::string& name);
    // The file at path is this endpoint's from now on.
    void OwnFile(const std::string& path);
    void RemoveOwnedFileLocked();  // m_fileMutex held

    // A close may come from another thread while Create binds: it takes
    // the file along when Create marked it as owned first, and Create sees
    // the close otherwise.
    std::mutex m_fileMutex;
    bool m_ownsFile = false;  // under m_fileMutex
    unsigned m_mode = 0770;
    int m_privateDir = -1;     // the private directory, while Create binds there
    std::string m_servedPath;  // a server's path, also in its accepted peers
};

}  // namespace ipc
}  // namespace velka
