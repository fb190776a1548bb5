#include "base/vk_exception.h"

#include <cstring>

#include <boost/date_time/posix_time/time_formatters.hpp>

#include "base/vk_time.h"

namespace velka {
namespace base {

std::string errnoText(int errorNumber) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in buffer.
    return ::strerror_r(errorNumber, buffer, sizeof buffer);
}

VkException::VkException(const std::string& message) : std::logic_error(message) {}
VkException::~VkException() = default;

VkParameterError::VkParameterError(const std::string& where, const std::string& name)
    : VkException(where + ": the '" + name + "' parameter is invalid") {}
VkParameterError::VkParameterError(const std::string& where, const std::string& name, const std::string& value)
    : VkException(where + ": the '" + name + "' parameter contains invalid value '" + value + "'") {}
VkParameterError::VkParameterError(const std::string& where, const std::string& name, const char* value)
    : VkParameterError(where, name, std::string(value ? value : "")) {}
VkParameterError::~VkParameterError() = default;

VkSystemError::VkSystemError(const std::string& text, int errorNumber)
    : VkException(text + ": [" + std::to_string(errorNumber) + "] " + errnoText(errorNumber)),
      m_errno(errorNumber) {}
VkSystemError::~VkSystemError() = default;
int VkSystemError::GetErrno() const { return m_errno; }

VkTimedOut::VkTimedOut(const std::string& what, const boost::posix_time::time_duration& span)
    : VkException("a waiting of " + what + ": timed out (timeout=" +
                  boost::posix_time::to_simple_string(span) + ")") {}
VkTimedOut::VkTimedOut(const std::string& what, const VkTimeout& timeout)
    : VkException("a waiting of " + what + ": timed out (timeout=" + timeout.toString() + ")") {}
VkTimedOut::VkTimedOut(const std::string& what, const VkDeadline& deadline)
    : VkException(what + ": timed out (deadline=" + deadline.toString() + ")") {}
VkTimedOut::~VkTimedOut() = default;

VkThreadCanceled::VkThreadCanceled() : VkException("thread has been canceled") {}
VkThreadCanceled::VkThreadCanceled(const std::string& where)
    : VkException(where + ": thread has been canceled") {}
VkThreadCanceled::~VkThreadCanceled() = default;

VkSessionDestroyed::VkSessionDestroyed(const std::string& where)
    : VkThreadCanceled(where + "session has been deleted") {}
VkSessionDestroyed::~VkSessionDestroyed() = default;

VkSessionClosed::VkSessionClosed() : VkThreadCanceled("session has been closed") {}
VkSessionClosed::~VkSessionClosed() = default;

VkNeedRecall::VkNeedRecall() : VkException("function should be recalled") {}
VkNeedRecall::~VkNeedRecall() = default;

}  // namespace base

namespace ipc {

VkIpcError::VkIpcError(const std::string& first, const std::string& second)
    : base::VkException(std::string()), m_message(first + second) {}
VkIpcError::~VkIpcError() = default;
const char* VkIpcError::what() const noexcept { return m_message.c_str(); }

VkIpcErrorClosed::~VkIpcErrorClosed() = default;
VkIpcErrorClosedByPeer::~VkIpcErrorClosedByPeer() = default;

}  // namespace ipc
}  // namespace velka
