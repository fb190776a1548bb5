// SelectReady: one poll() over a wait list, reporting its first ready entry.
#include "ipc/session/select_ready.h"

#include <errno.h>
#include <poll.h>

#include <climits>
#include <cstdio>
#include <vector>

#include <boost/date_time/posix_time/time_formatters.hpp>

#include "base/app_log.h"
#include "base/vk_exception.h"

namespace velka {
namespace ipc {

namespace {

int pollMilliseconds(const base::timeout_duration_t& timeout) {
    if (timeout.is_pos_infinity()) return -1;
    if (timeout.is_special()) return 0;
    const int64_t ms = timeout.total_microseconds() / 1000;
    if (ms < 0) return 0;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

size_t SelectReady(VkEventList& theList, const base::timeout_duration_t& timeout) {
    LogClass& log = getIpcLogger();
    if (theList.empty()) {
        if (log.isFatalEnabled())
            log.log(VK_LOG_FATAL, "::SelectReady: nothing for waiting - control fd is invalid and not IPC descriptors");
        throw base::VkParameterError("::SelectReady", "connections for waiting");
    }
    std::vector<pollfd> fds;
    fds.reserve(theList.size());
    for (const VkEventListEntry& entry : theList.Get()) fds.push_back(pollfd{entry.fd, entry.events, entry.revents});

    int result;
    do {
        result = poll(fds.data(), fds.size(), pollMilliseconds(timeout));
    } while (result == -1 && errno == EINTR);
    if (result < 0) {
        const int error = errno;
        if (log.isErrorEnabled())
            log.log(VK_LOG_ERROR, "multiplexor waiting for " + std::to_string(fds.size()) +
                                      " connections was failed : " + base::errnoText(error));
        throw base::VkSystemError("multiplexor fails", error);
    }
    if (result == 0) {
        if (log.isDebugEnabled())
            log.log(VK_LOG_DEBUG, "::SelectReady: waiting for " + std::to_string(fds.size()) +
                                      " connections is timed out (timeout=" +
                                      boost::posix_time::to_simple_string(timeout) + ")");
        return kSelectTimedOut;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        theList[i].revents = fds[i].revents;
        if (log.isDebugEnabled()) {
            char events[16];
            std::snprintf(events, sizeof events, "%x", static_cast<unsigned>(static_cast<unsigned short>(fds[i].revents)));
            log.log(VK_LOG_DEBUG, std::string("::SelectReady: an event(0x") + events +
                                      ") is occured for connection(fd=" + std::to_string(fds[i].fd) + ")");
        }
        return i;
    }
    throw base::VkException("::SelectReady - poller method doesn't return ready connections");
}

}  // namespace ipc
}  // namespace velka
