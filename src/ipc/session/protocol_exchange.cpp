// The protocol-identifier exchange and the passes of one protocol.
#include "ipc/session/protocol_exchange.h"

#include <memory>
#include <string>

#include "base/vk_exception.h"
#include "ipc/session/client_protocol.h"
#include "ipc/session/protocol_registry.h"
#include "ipc/session/server_protocol.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

namespace {

// A unit of the protocol's making, bound to the exchange's connection and
// deadline, and freed on every way out.
std::unique_ptr<VkPDU> boundUnit(VkProtocol& protocol, const std::shared_ptr<VkIPC>& connection,
                                 const base::VkDeadline& deadline) {
    std::unique_ptr<VkPDU> unit(protocol.CreatePDU());
    if (!unit) throw base::VkException("protocol " + std::to_string(protocol.GetId()) + " made no data unit");
    unit->SetConnection(connection);
    unit->SetDeadline(deadline);
    return unit;
}

void checkArguments(const char* where, const void* protocol, const std::shared_ptr<VkIPC>& connection) {
    if (!protocol) throw base::VkParameterError(where, "theProto", "null");
    if (!connection) throw base::VkParameterError(where, "connection", "null");
}

// A failure part-way through a message leaves the stream out of step: the
// connection must not carry another exchange.
template <typename Body>
auto outOfStepOnThrow(VkIPC& connection, Body body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        connection.SetConnected(false);
        throw;
    }
}

}  // namespace

bool ExecuteClientExchange(VkClientProtocol* protocol, std::shared_ptr<VkIPC> connection,
                           const base::VkDeadline& deadline, uint32_t idleTimeoutSeconds) {
    checkArguments("ClientSession::_Execute", protocol, connection);
    const uint32_t id = protocol->GetId();
    if (id != 0) {
        const unsigned char bytes[4] = {static_cast<unsigned char>(id >> 24), static_cast<unsigned char>(id >> 16),
                                        static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id)};
        try {
            outOfStepOnThrow(*connection, [&] { connection->Send(bytes, sizeof bytes, deadline.remaining()); });
        } catch (const VkIpcErrorClosedByPeer& e) {
            ipcLog(VK_LOG_ERROR, [&] { return std::string("error in sending client information: ") + e.what(); });
            return false;
        }
    }
    ipcLog(VK_LOG_DEBUG, [&] { return "VkClientSession::_Execute: deadline: " + deadline.toString(); });

    const std::unique_ptr<VkPDU> request = boundUnit(*protocol, connection, deadline);
    const std::unique_ptr<VkPDU> answer = boundUnit(*protocol, connection, deadline);
    const bool result = outOfStepOnThrow(*connection, [&] {
        do {
            request->Clear();
            answer->Clear();
            if (!protocol->BuildRequest(*request) || !request->Push() || !protocol->ParseResponse(*answer))
                return false;
        } while (!protocol->IsLast());
        return true;
    });
    if (!result) ipcLog(VK_LOG_ERROR, [&] { return "protocol error over " + connection->GetDescription(); });
    connection->SetIdleTimeout(idleTimeoutSeconds);
    return result;
}

bool ExecuteServerExchange(VkServerProtocol* protocol, std::shared_ptr<VkIPC> connection,
                           const base::VkDeadline& deadline, const VkIfProtocolRegistry& registry) {
    if (!connection) throw base::VkParameterError("ServerSession::_Execute", "connection", "null");
    ipcLog(VK_LOG_DEBUG, [&] { return "VkServerSession::_Execute: deadline: " + deadline.toString(); });

    uint32_t received = 0;
    if (!protocol || protocol->GetId() != 0) {
        unsigned char bytes[4];
        try {
            outOfStepOnThrow(*connection, [&] { connection->Receive(bytes, sizeof bytes, deadline.remaining()); });
        } catch (const VkIpcErrorClosedByPeer& e) {
            ipcLog(VK_LOG_ERROR, [&] { return std::string("error in receiving client information: ") + e.what(); });
            return false;
        }
        received = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    }

    VkServerProtocol* chosen = protocol;
    if (protocol) {
        const uint32_t supported = protocol->GetId();
        if (supported != received) {
            connection->SetConnected(false);
            const std::string r = std::to_string(received);
            const std::string s = std::to_string(supported);
            ipcLog(VK_LOG_ERROR, [&] { return "server: wrong protocol ID (received=" + r + ", supported=" + s + ")"; });
            throw base::VkException("server: wrong protocol ID (rcv=" + r + ", sup=" + s + ")");
        }
    } else {
        chosen = registry.FindProtocol(received);
        if (!chosen) {
            connection->SetConnected(false);
            const std::string r = std::to_string(received);
            ipcLog(VK_LOG_ERROR, [&] { return "server: unsupported protocol ID ->" + r; });
            throw base::VkException("server: unsupported protocol ID -> " + r);
        }
    }

    const std::unique_ptr<VkPDU> in = boundUnit(*chosen, connection, deadline);
    const std::unique_ptr<VkPDU> out = boundUnit(*chosen, connection, deadline);
    const bool result = outOfStepOnThrow(*connection, [&] {
        do {
            in->Clear();
            out->Clear();
            if (!chosen->BuildResponse(*in, *out) || !out->Push()) return false;
        } while (!chosen->IsLast());
        return true;
    });
    if (!result) ipcLog(VK_LOG_ERROR, [&] { return "server: an protocol error over " + connection->GetDescription(); });
    return result;
}

}  // namespace ipc
}  // namespace velka
