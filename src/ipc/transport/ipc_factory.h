// VkIpcFactory: turns address texts into addresses and address pairs into
// unconnected endpoints, all on the one process-wide I/O runner.
#pragma once

#include <memory>
#include <string>

#include "ipc/transport/ipc_address.h"
#include "ipc/transport/singleton.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

class VkIpcFactory {
public:
    // Starts the runner; reached through VkSingleton<VkIpcFactory>::Instance.
    VkIpcFactory();
    VkIpcFactory(const VkIpcFactory&) = delete;
    VkIpcFactory& operator=(const VkIpcFactory&) = delete;

    // Null for "", "*" and a text neither family parses. Parser exceptions
    // (a host with white space, a path over 107 bytes) pass out.
    std::shared_ptr<VkIpcAddress> CreateAddress(const std::string& spec);
    // A unix or inet endpoint for the pair (either side may be null); null,
    // with an error record, when none can be made.
    std::shared_ptr<VkIPC> Create(std::shared_ptr<VkIpcAddress> local, std::shared_ptr<VkIpcAddress> remote);
    // As Create, on copies of the addresses. Never throws a parse or
    // endpoint error: it logs "IPC factory: " + the text and returns null.
    std::shared_ptr<VkIPC> CreateByAddr(const VkIpcAddress& local, const VkIpcAddress& remote);
    // As Create, for two address texts ("" or "*": no address).
    std::shared_ptr<VkIPC> CreateBySpec(const std::string& local, const std::string& remote);

    const std::shared_ptr<io_service_runner_t>& GetRunner() const;

private:
    std::shared_ptr<io_service_runner_t> m_runner;
};

}  // namespace ipc
}  // namespace velka
