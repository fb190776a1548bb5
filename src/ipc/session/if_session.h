// VkIfSession: what a program talks through over the IPC library: open on
// peer or own addresses, run one protocol exchange per Execute, close.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "base/vk_time.h"

namespace velka {
namespace base {
class VkTimedOut;
}

namespace ipc {

class VkIPC;
class VkProtocol;
struct ConnSettings;

class VkIfSession {
public:
    virtual ~VkIfSession() = default;

    virtual bool Open(const std::string& address, const ConnSettings& settings) = 0;
    // Checks the address texts (a "pid:" text stands for the addresses its
    // pid file lists) and opens the session on them; resolved, when given,
    // receives the texts opened on.
    virtual bool Open(const std::list<std::string>& addresses, const ConnSettings& settings,
                      std::vector<std::string>* resolved = nullptr) = 0;
    virtual bool Suspend() = 0;
    virtual bool Resume() = 0;
    virtual bool Close() = 0;
    // One exchange of the protocol over a pooled connection, under the
    // deadline.
    virtual bool Execute(VkProtocol* protocol, const base::VkDeadline& deadline) = 0;
    virtual void AppendStatistics(const std::string& fileName) = 0;
    virtual void ReleaseConnection(std::shared_ptr<VkIPC> connection) = 0;

    // The exchange itself on a connection the pool handed out.
    virtual bool _Execute(VkProtocol* protocol, std::shared_ptr<VkIPC> connection,
                          const base::VkDeadline& deadline) = 0;
    // Refuses a protocol the session cannot run (throws).
    virtual void process(VkProtocol* protocol) = 0;
    // The time allowed for the exchange once a connection is there.
    virtual const base::VkTimeout& GetExecuteTimeout() const = 0;
    // The longest wait for a connection.
    virtual base::VkTimeout GetAcquireTimeout() const = 0;
    // What a connection wait that timed out becomes; always throws.
    [[noreturn]] virtual void OnAcquireTimeout(const base::VkTimedOut& timedOut) = 0;
};

}  // namespace ipc
}  // namespace velka
