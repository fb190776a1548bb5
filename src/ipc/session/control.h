// VkControl: the control pipe of a maintain thread, a queue of integer
// commands paired with a pipe that holds one byte per queued command.
#pragma once

#include <deque>
#include <mutex>
#include <set>
#include <string>

namespace velka {
namespace base {

class VkControl {
public:
    // droppable: commands that may be dropped when the pipe is full,
    // because any pending command already makes the reader act on them.
    explicit VkControl(const std::string& name, std::set<int> droppable = std::set<int>());
    ~VkControl();
    VkControl(const VkControl&) = delete;
    VkControl& operator=(const VkControl&) = delete;

    // Queues a command and puts its byte into the pipe; a command equal to
    // the newest pending one is coalesced. Never waits: the write end is
    // non-blocking. A full pipe drops a droppable command; any other
    // failure takes the entry back out and throws VkSystemError.
    bool SetCmd(const int& command);
    // Takes the oldest command and its byte. An empty queue throws
    // VkThreadCanceled; a failed read throws VkSystemError.
    int ReadCmd();
    // Drops every pending command together with its byte.
    void Clear();

    int ReadFd() const { return m_readFd; }
    const std::string& Name() const { return m_name; }

private:
    int TakeCmd();  // m_mutex held

    int m_readFd = -1;
    int m_writeFd = -1;
    std::string m_name;
    std::set<int> m_droppable;
    std::deque<int> m_commands;
    std::mutex m_mutex;
};

}  // namespace base
}  // namespace velka
