// VkIfIPC, the interface through which sessions, pools and data units use one
// connection, and VkIPC, its transport-independent half: runner, flags,
// addresses, idle deadline and the texts that name the endpoint.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/vk_time.h"
#include "ipc/transport/ipc_address.h"

namespace velka {
namespace ipc {

class io_service_runner_t;
class VkIPC;

class VkIfIPC {
public:
    virtual ~VkIfIPC();

    // Opens the transport's socket; a server-side or listening endpoint also
    // binds its local address. True or throws.
    virtual bool Create() = 0;
    // Connects to the remote address within the timeout; the second argument
    // is the caller's context, which the stream sockets do not use.
    virtual bool Connect(const base::VkTimeout& timeout, const void* context = nullptr) = 0;
    virtual void Listen(int backlog) = 0;
    // Creates and listens first when the endpoint is not yet listening; then
    // waits for one connection and returns it as a new endpoint.
    virtual std::shared_ptr<VkIPC> Accept(int backlog, const base::VkTimeout& timeout) = 0;
    // Write the whole buffer, or fill the whole buffer, or throw (VkTimedOut,
    // VkSystemError); any failure clears the connected flag first.
    virtual void Send(const void* data, size_t length, const base::VkTimeout& timeout) = 0;
    virtual void Receive(void* data, size_t length, const base::VkTimeout& timeout) = 0;
    // Sends length bytes of the file from offset start; false when the file
    // is shorter than start + length (nothing sent).
    virtual bool SendFile(const char* path, uint64_t start, uint64_t length, const base::VkTimeout& timeout) = 0;
    // Closes the descriptor; closing a closed endpoint does nothing.
    virtual void Close() = 0;
    // The socket descriptor, -1 while none is open.
    virtual int GetDescriptor() const = 0;

    virtual bool IsConnected() const = 0;
    virtual bool IsServer() const = 0;
    virtual bool IsClient() const = 0;
    // The address text, or "*" when the side has none.
    virtual const std::string& GetLocalText() const = 0;
    virtual const std::string& GetRemoteText() const = 0;
    // One line for records: "[a listening ]connection (fd->N, local->..., server->...)".
    virtual std::string GetDescription() const = 0;
    // Infinite until SetIdleTimeout; a permanent endpoint keeps it so.
    virtual const base::VkTime& GetIdleDeadline() const = 0;
    virtual void SetIdleTimeout(uint32_t seconds) = 0;
    virtual void SetPermanent(bool permanent) = 0;
    virtual bool IsPermanent() const = 0;
};

class VkIPC : public VkIfIPC {
public:
    explicit VkIPC(std::shared_ptr<io_service_runner_t> runner);
    ~VkIPC() override;
    VkIPC(const VkIPC&) = delete;
    VkIPC& operator=(const VkIPC&) = delete;

    bool IsConnected() const override;
    bool IsServer() const override;
    bool IsClient() const override;
    const std::string& GetLocalText() const override;
    const std::string& GetRemoteText() const override;
    std::string GetDescription() const override;
    const base::VkTime& GetIdleDeadline() const override;
    void SetIdleTimeout(uint32_t seconds) override;
    void SetPermanent(bool permanent) override;
    bool IsPermanent() const override;

    virtual bool IsListening() const;
    virtual void SetServer(bool server);
    virtual void SetConnected(bool connected);
    virtual void SetListening(bool listening);
    virtual std::shared_ptr<VkIpcAddress> GetLocalAddress() const;
    virtual std::shared_ptr<VkIpcAddress> GetRemoteAddress() const;
    virtual void SetLocalAddress(std::shared_ptr<VkIpcAddress> address);
    virtual void SetRemoteAddress(std::shared_ptr<VkIpcAddress> address);
    // A fresh, unopened endpoint of the same transport on the same runner,
    // with empty-text addresses and this endpoint's flags; Accept fills it.
    virtual std::shared_ptr<VkIPC> CreateEmptyPeer() = 0;

    const std::shared_ptr<io_service_runner_t>& GetRunner() const;

    // "*" for no address or an address of empty text, else its text.
    static const std::string& AddressToString(const std::shared_ptr<VkIpcAddress>& address);

private:
    std::shared_ptr<io_service_runner_t> m_runner;
    bool m_listening = false;
    bool m_server = false;
    // Cleared by a close from another thread while a call fails.
    std::atomic<bool> m_connected{false};
    bool m_permanent = false;
    std::shared_ptr<VkIpcAddress> m_local;
    std::shared_ptr<VkIpcAddress> m_remote;
    base::VkTime m_idleDeadline;
};

}  // namespace ipc
}  // namespace velka
