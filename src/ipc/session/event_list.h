// VkEventList: the wait list of a maintain loop, the descriptors to poll
// with the events wanted and the connection behind each.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace velka {
namespace ipc {

class VkIPC;

struct VkEventListEntry {
    int fd = -1;
    short events = 0;
    short revents = 0;
    std::shared_ptr<VkIPC> connection;  // empty for the control pipe
    uint32_t tag = 0;
};

class VkEventList {
public:
    typedef std::vector<VkEventListEntry> Sequence;

    void Add(int fd, short events, const std::shared_ptr<VkIPC>& connection = std::shared_ptr<VkIPC>(),
             uint32_t tag = 0) {
        m_entries.push_back(VkEventListEntry{fd, events, 0, connection, tag});
    }
    Sequence& Get() { return m_entries; }
    const Sequence& Get() const { return m_entries; }
    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    VkEventListEntry& operator[](size_t index) { return m_entries[index]; }
    VkEventListEntry& at(size_t index) { return m_entries.at(index); }

private:
    Sequence m_entries;
};

}  // namespace ipc
}  // namespace velka
