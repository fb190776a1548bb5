// SessionAgentLink: the monitor's link to the configuration agent over a
// persistent client session of one connection: the settings read and the
// start and stop reports.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/vk_time.h"
#include "daemon/agent_link.h"

namespace velka {
namespace ipc {
class VkClientProtocol;
class VkClientSession;
}  // namespace ipc
}  // namespace velka

class SessionAgentLink : public AgentLink {
public:
    // The longest a probe of the agent's address may take.
    static const int kProbeMs = 1000;

    SessionAgentLink();
    ~SessionAgentLink() override;

    // A new session on the address with one connection; it opens also when
    // nothing listens there yet. An address text that is not one throws.
    void open(const std::string& address) override;
    void close() override;
    bool isOpen() const override;
    void readConfig(ConfReader& settings, bool varno) override;
    void reportStarted(const Application& application, int responseSeconds) override;
    void reportStopped(const Application& application, int responseSeconds) override;

private:
    // One exchange over the session. While the session's pool holds no
    // connection (nothing listened when it tried, or the agent went away and
    // the pool closed its connection), the agent's address is probed first:
    // an address where nothing listens fails the exchange at once, rather
    // than after the whole response time spent waiting for a connection
    // that the pool cannot make.
    bool exchange(velka::ipc::VkClientProtocol& protocol, const velka::base::VkDeadline& deadline);
    void report(velka::ipc::VkClientProtocol& protocol, int responseSeconds);
    bool hasConnection() const;
    void probe() const;

    std::unique_ptr<velka::ipc::VkClientSession> m_session;
    std::vector<std::string> m_addresses;  // as the session resolved them
};
