// The exception family of the IPC and base library.
#pragma once

#include <stdexcept>
#include <string>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_duration.hpp>

namespace velka {
namespace base {

class VkTimeout;
class VkDeadline;

// The system's text for an errno value (thread-safe strerror).
std::string errnoText(int errorNumber);

// Root of the library's exceptions; what() is the message given.
class VkException : public std::logic_error {
public:
    explicit VkException(const std::string& message);
    ~VkException() override;
};

// A bad argument: "<where>: the '<name>' parameter ...".
class VkParameterError : public VkException {
public:
    VkParameterError(const std::string& where, const std::string& name);
    VkParameterError(const std::string& where, const std::string& name, const std::string& value);
    VkParameterError(const std::string& where, const std::string& name, const char* value);
    template <typename Number, typename = std::enable_if_t<std::is_arithmetic<Number>::value>>
    VkParameterError(const std::string& where, const std::string& name, Number value)
        : VkParameterError(where, name, std::to_string(value)) {}
    ~VkParameterError() override;
};

// A failed system call: "<text>: [<errno>] <strerror text>".
class VkSystemError : public VkException {
public:
    VkSystemError(const std::string& text, int errorNumber);
    ~VkSystemError() override;
    virtual int GetErrno() const;

private:
    int m_errno;
};

// A wait whose time ran out.
class VkTimedOut : public VkException {
public:
    VkTimedOut(const std::string& what, const boost::posix_time::time_duration& span);
    VkTimedOut(const std::string& what, const VkTimeout& timeout);
    VkTimedOut(const std::string& what, const VkDeadline& deadline);
    ~VkTimedOut() override;
};

// Thrown inside a thread that was asked to stop, so that it leaves its loop.
class VkThreadCanceled : public VkException {
public:
    VkThreadCanceled();
    explicit VkThreadCanceled(const std::string& where);
    ~VkThreadCanceled() override;
};

// The session was destroyed while the caller used or waited for it.
class VkSessionDestroyed : public VkThreadCanceled {
public:
    explicit VkSessionDestroyed(const std::string& where);
    ~VkSessionDestroyed() override;
};

// The session was closed while the caller used or waited for it.
class VkSessionClosed : public VkThreadCanceled {
public:
    VkSessionClosed();
    ~VkSessionClosed() override;
};

// The session changed its state while the caller waited: call again.
class VkNeedRecall : public VkException {
public:
    VkNeedRecall();
    ~VkNeedRecall() override;
};

}  // namespace base

namespace ipc {

// A failed or closed connection. The message is kept here rather than in
// the logic_error part, so what() is overridden.
class VkIpcError : public base::VkException {
public:
    VkIpcError(const std::string& first, const std::string& second = std::string());
    // With an endpoint: first + endpoint->GetDescription() + second.
    template <typename Endpoint, typename = std::enable_if_t<!std::is_same<Endpoint, char>::value>>
    VkIpcError(const Endpoint* endpoint, const std::string& first, const std::string& second = std::string())
        : VkIpcError(first + (endpoint ? endpoint->GetDescription() : std::string()) + second) {}
    ~VkIpcError() override;
    const char* what() const noexcept override;

private:
    std::string m_message;
};

class VkIpcErrorClosed : public VkIpcError {
public:
    using VkIpcError::VkIpcError;
    ~VkIpcErrorClosed() override;
};

class VkIpcErrorClosedByPeer : public VkIpcErrorClosed {
public:
    using VkIpcErrorClosed::VkIpcErrorClosed;
    ~VkIpcErrorClosedByPeer() override;
};

}  // namespace ipc
}  // namespace velka
