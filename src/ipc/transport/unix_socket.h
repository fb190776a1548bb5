// VkUnixSocket: the unix-domain stream-socket endpoint; a server binds a
// socket file, replaces one left behind by a dead server, gives it its
// mode and removes it when it closes.
#pragma once

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
    std::shared_ptr<VkIPC> CreateEmptyPeer() override;
    bool GetLocalSocketAddress() override;
    bool GetRemoteSocketAddress() override;
    // True when the file at the local path is a socket nobody listens on.
    virtual bool IsStalled();
    // The mode the next bound socket file gets (0770 unless changed).
    virtual void SetMode(unsigned mode);

    virtual bool ChMod(unsigned mode);
    void RemoveOwnedFile();

private:
    enum class PathState { kLive, kStale, kGone, kNotSocket, kUnknown };
    // Looks at what holds the local path, probing a socket by connecting.
    PathState ProbePath();
    std::string LocalPath() const;

    bool m_ownsFile = false;
    unsigned m_mode = 0770;
};

}  // namespace ipc
}  // namespace velka
