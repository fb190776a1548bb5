#include "control/session_agent_link.h"

#include <list>
#include <stdexcept>

#include "control/monitor_conf_reader.h"
#include "control/start_app_client.h"
#include "control/stop_app_client.h"
#include "engine/application.h"
#include "ipc/session/client_session.h"
#include "ipc/session/conn_settings.h"
#include "ipc/session/session_factory.h"
#include "ipc/session/session_pool_manager.h"
#include "ipc/transport/ipc_factory.h"

using velka::base::VkDeadline;
using velka::base::VkTimeout;

namespace {

VkDeadline afterSeconds(int seconds) { return VkDeadline(VkTimeout(seconds, VkTimeout::Seconds)); }

}  // namespace

SessionAgentLink::SessionAgentLink() = default;

SessionAgentLink::~SessionAgentLink() { close(); }

void SessionAgentLink::open(const std::string& address) {
    close();
    std::unique_ptr<velka::ipc::VkClientSession> session(velka::ipc::CreatePersistentClientSession());
    std::vector<std::string> resolved;
    session->Open(std::list<std::string>{address}, velka::ipc::ConnSettings(1), &resolved);
    m_session = std::move(session);
    m_addresses = resolved;
}

void SessionAgentLink::close() {
    m_session.reset();
    m_addresses.clear();
}

bool SessionAgentLink::isOpen() const { return m_session != nullptr; }

void SessionAgentLink::readConfig(ConfReader& settings, bool varno) {
    const MonitorConfReader::Exchange agent = [this](velka::ipc::VkClientProtocol& protocol,
                                                     const VkDeadline& deadline) { return exchange(protocol, deadline); };
    MonitorConfReader(settings).readConfigFromAgent(m_session ? &agent : nullptr, varno);
}

void SessionAgentLink::reportStarted(const Application& application, int responseSeconds) {
    velka::varno::VkStartAppClient client(application.getName(), application.getPid(), application.getUserGroups(),
                                          application.getSingleCompArgs());
    report(client, responseSeconds);
}

void SessionAgentLink::reportStopped(const Application& application, int responseSeconds) {
    velka::varno::VkStopAppClient client(application.getName(), application.getPid());
    report(client, responseSeconds);
}

void SessionAgentLink::report(velka::ipc::VkClientProtocol& protocol, int responseSeconds) {
    if (!m_session) throw std::runtime_error("agent session is not created");
    if (!exchange(protocol, afterSeconds(responseSeconds)))
        throw std::runtime_error("the agent did not take the report");
}

bool SessionAgentLink::exchange(velka::ipc::VkClientProtocol& protocol, const VkDeadline& deadline) {
    if (!m_session) throw std::runtime_error("agent session is not created");
    if (!hasConnection()) probe();
    return m_session->Execute(&protocol, deadline);
}

bool SessionAgentLink::hasConnection() const {
    auto* pool = dynamic_cast<velka::ipc::VkSessionPoolManager*>(&m_session->GetPoolManager());
    return pool == nullptr || pool->GetConnectionsTotal() > 0;
}

void SessionAgentLink::probe() const {
    if (m_addresses.empty()) throw std::runtime_error("the agent's address names no address to connect to");
    std::string failures;
    for (const std::string& address : m_addresses) {
        const std::shared_ptr<velka::ipc::VkIPC> endpoint =
            velka::patterns::VkSingleton<velka::ipc::VkIpcFactory>::Instance()->CreateBySpec("", address);
        if (!endpoint) {
            failures += "; \"" + address + "\": no endpoint can be made for it";
            continue;
        }
        try {
            const bool connected = endpoint->Connect(VkTimeout(kProbeMs, VkTimeout::Milliseconds));
            endpoint->Close();
            if (connected) return;
            failures += "; \"" + address + "\": not connected";
        } catch (const std::exception& e) {
            endpoint->Close();
            failures += "; \"" + address + "\": " + e.what();
        }
    }
    throw std::runtime_error("the agent does not accept connections (" + failures.substr(2) + ")");
}
