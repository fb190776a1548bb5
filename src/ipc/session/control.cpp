// VkControl: the control pipe of a maintain thread. Invariant, outside the
// mutex: the pipe holds exactly one byte per queued command, so its read
// end is readable exactly while commands wait and a read never blocks.
#include "ipc/session/control.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "base/app_log.h"
#include "base/vk_exception.h"

namespace velka {
namespace base {

namespace {

std::string hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

}  // namespace

VkControl::VkControl(const std::string& name, std::set<int> droppable)
    : m_name(name), m_droppable(std::move(droppable)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
        const int error = errno;
        LogClass& log = getIpcLogger();
        if (log.isFatalEnabled())
            log.log(VK_LOG_FATAL, "VkControl(" + m_name + ")::ctor - cannot create control pipe - " + errnoText(error));
        throw VkSystemError("VkControl(" + m_name + ")::ctor - cannot create pipe", error);
    }
    m_readFd = fds[0];
    m_writeFd = fds[1];
}

VkControl::~VkControl() {
    for (int* fd : {&m_readFd, &m_writeFd}) {
        if (*fd == -1) continue;
        if (close(*fd) != 0) {
            LogClass& log = getIpcLogger();
            if (log.isErrorEnabled())
                log.log(VK_LOG_ERROR,
                        "VkControl(" + m_name + ")::dtor - cannot delete control pipe - " + errnoText(errno));
        }
        *fd = -1;
    }
}

bool VkControl::SetCmd(const int& command) {
    LogClass& log = getIpcLogger();
    if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "VkControl(" + m_name + "): set cmd to 0x" + hex(command) + "...");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_commands.empty() && m_commands.back() == command) {
        if (log.isDebugEnabled())
            log.log(VK_LOG_DEBUG, "VkControl(" + m_name + "): skip sending 0x" + hex(command) + ": already in queue");
        return true;
    }
    m_commands.push_back(command);
    for (;;) {
        if (write(m_writeFd, "7", 1) == 1) return true;
        const int error = errno;
        if (error == EINTR) continue;
        // No byte went out: keep the queue and the pipe in step.
        m_commands.pop_back();
        if (error == EAGAIN && m_droppable.count(command)) {
            if (log.isDebugEnabled())
                log.log(VK_LOG_DEBUG, "VkControl(" + m_name + "): pipe is full, drop 0x" + hex(command) +
                                          ": pending commands force a pass");
            return true;
        }
        if (log.isFatalEnabled())
            log.log(VK_LOG_FATAL, "VkControl(" + m_name + "): - can`t write command to control pipe - " + errnoText(error));
        throw VkSystemError("VkControl(" + m_name + "): - can`t write command to control pipe", error);
    }
}

int VkControl::TakeCmd() {
    if (m_commands.empty()) throw VkThreadCanceled("VkPersistentPoolManager::Maintain terminate by emty queue");
    const int command = m_commands.front();
    m_commands.pop_front();
    char byte;
    for (;;) {
        const ssize_t n = read(m_readFd, &byte, 1);
        if (n == 1) return command;
        const int error = n == 0 ? EPIPE : errno;  // end of file: the write end is gone
        if (error == EINTR || error == EAGAIN) continue;
        LogClass& log = getIpcLogger();
        if (log.isFatalEnabled())
            log.log(VK_LOG_FATAL, "VkControl(" + m_name + "): - can`t read command to control pipe - " + errnoText(error));
        throw VkSystemError("VkControl(" + m_name + "): - can`t read command to control pipe", error);
    }
}

int VkControl::ReadCmd() {
    LogClass& log = getIpcLogger();
    if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "VkControl: read command...");
    int command;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        command = TakeCmd();
    }
    if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "VkControl(" + m_name + "): got cmd = 0x" + hex(command));
    return command;
}

void VkControl::Clear() {
    LogClass& log = getIpcLogger();
    if (log.isDebugEnabled()) log.log(VK_LOG_DEBUG, "VkControl(" + m_name + "): clear...");
    std::lock_guard<std::mutex> lock(m_mutex);
    while (!m_commands.empty()) TakeCmd();
}

}  // namespace base
}  // namespace velka
