// VkSocket: the stream-socket half of every endpoint (unix-domain or TCP):
// connect, listen, accept, send, receive and send a file, each blocking
// step bounded by a timeout and waited for on the endpoint's runner.
#pragma once

#include <memory>

#include <boost/system/error_code.hpp>

#include "base/vk_time.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

class VkSocketChannel;

// Close may come from another thread while a call runs on the endpoint,
// Create's set-up included: that call then ends with VkIpcErrorClosed, and
// the descriptor is released only once the last call has left it.
class VkSocket : public VkIPC {
public:
    // The runner must not be empty.
    explicit VkSocket(std::shared_ptr<io_service_runner_t> runner);
    ~VkSocket() override;

    bool Connect(const base::VkTimeout& timeout, const void* context = nullptr) override;
    void Listen(int backlog) override;
    std::shared_ptr<VkIPC> Accept(int backlog, const base::VkTimeout& timeout) override;
    void Send(const void* data, size_t length, const base::VkTimeout& timeout) override;
    void Receive(void* data, size_t length, const base::VkTimeout& timeout) override;
    bool SendFile(const char* path, uint64_t start, uint64_t length, const base::VkTimeout& timeout) override;
    void Close() override;
    int GetDescriptor() const override;

    // Hands an open descriptor to the endpoint, which owns it from then on;
    // a descriptor held before is closed first. -1 leaves the endpoint
    // without one. A descriptor the runner refuses is closed and the
    // failure thrown as boost::system::system_error ("assign").
    // To wrap an already connected descriptor: AssignHandle, then
    // SetConnected(true).
    virtual void AssignHandle(int fd);
    // SO_REUSEADDR and non-blocking mode; false without a descriptor.
    virtual bool ApplyOptions();
    // Options of an endpoint that Accept produced.
    virtual void SetOptions();
    virtual int SetOption(int name, int value);
    virtual void SetNonBlocking();
    // Read the socket's own name or its peer's into the address objects;
    // the remote one sets the connected flag when there is a peer.
    virtual bool GetLocalSocketAddress();
    virtual bool GetRemoteSocketAddress();

    // Waits until the descriptor is readable; VkIpcErrorClosed without one
    // or when the endpoint is closed meanwhile.
    void WaitReadable(const base::VkTimeout& timeout);

    // No code: returns. ETIMEDOUT: VkTimedOut. Anything else: VkSystemError
    // carrying the code's number and its own category's message.
    static void ThrowIfError(const char* what, const boost::system::error_code& code,
                             const base::VkTimeout& timeout);

protected:
    // Create's hold on the descriptor it opened, from the moment the
    // endpoint takes it over until the set-up ends. A close from another
    // thread meanwhile leaves the descriptor open until the hold goes, so
    // no step of the set-up meets a number already closed or reused; Create
    // then ends with ThrowClosed.
    class SetUp {
    public:
        // Hands fd to the endpoint as AssignHandle does, and holds it; -1
        // leaves the endpoint without a descriptor and holds nothing.
        SetUp(VkSocket& socket, int fd);
        ~SetUp();
        SetUp(const SetUp&) = delete;
        SetUp& operator=(const SetUp&) = delete;
        // True once the endpoint was closed since the hold began.
        bool Closed() const;
        // VkIpcErrorClosed naming what.
        [[noreturn]] void ThrowClosed(const char* what) const;

    private:
        VkSocket& m_socket;
        bool m_held = false;
    };

private:
    class Use;
    enum class Readiness { kRead, kWrite };
    // Blocks on the runner until the descriptor is ready or the time is up;
    // a close meanwhile throws VkIpcErrorClosed naming what.
    boost::system::error_code Wait(const char* what, Readiness readiness, const base::VkTimeout& timeout);
    boost::system::error_code ConnectTo(int fd, const VkSocketAddress& address, const base::VkTimeout& timeout);
    [[noreturn]] void ThrowClosed(const char* what) const;
    void CloseDescriptor();

    const std::shared_ptr<VkSocketChannel> m_channel;
};

}  // namespace ipc
}  // namespace velka
