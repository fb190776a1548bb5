// The endpoint factory: address texts to addresses, address pairs to
// unconnected unix or inet endpoints on the process-wide runner.
#include "ipc/transport/ipc_factory.h"

#include <new>

#include "base/vk_exception.h"
#include "ipc/transport/inet_socket.h"
#include "ipc/transport/inet_socket_address.h"
#include "ipc/transport/io_service_runner.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/unix_socket.h"
#include "ipc/transport/unix_socket_address.h"

namespace velka {
namespace ipc {

namespace {

void logFailure(const char* what) {
    ipcLog(VK_LOG_ERROR, [&] { return std::string("IPC factory: ") + what; });
}

std::shared_ptr<VkIpcAddress> emptyAddress(VkIpcAddressDomain domain) {
    if (domain == kDomainUnix) return std::make_shared<VkUnixSocketAddress>(std::string());
    return std::make_shared<VkInetSocketAddress>(std::string());
}

}  // namespace

VkIpcFactory::VkIpcFactory() : m_runner(io_service_runner_t::create()) {}

const std::shared_ptr<io_service_runner_t>& VkIpcFactory::GetRunner() const { return m_runner; }

std::shared_ptr<VkIpcAddress> VkIpcFactory::CreateAddress(const std::string& spec) {
    if (spec.empty() || spec == "*") return nullptr;
    ipcLog(VK_LOG_DEBUG, [&] { return "CreateAddress: creating ipc address by spec=" + spec + " ..."; });
    auto unixAddress = std::make_shared<VkUnixSocketAddress>(spec);
    if (unixAddress->Parse()) return unixAddress;
    ipcLog(VK_LOG_DEBUG, [] { return std::string("CreateAddress:   this is not an unix address"); });
    auto inetAddress = std::make_shared<VkInetSocketAddress>(spec);
    if (inetAddress->Parse()) return inetAddress;
    ipcLog(VK_LOG_DEBUG, [] { return std::string("CreateAddress: this is not an inet address"); });
    return nullptr;
}

std::shared_ptr<VkIPC> VkIpcFactory::Create(std::shared_ptr<VkIpcAddress> local, std::shared_ptr<VkIpcAddress> remote) {
    try {
        if (!local && !remote) throw base::VkParameterError("local and remote addresses", "not defined");
        if (local && remote && local->GetDomain() != remote->GetDomain())
            throw base::VkException("local and remote address have different protocols families");
        const VkIpcAddressDomain domain = local ? local->GetDomain() : remote->GetDomain();
        std::shared_ptr<VkIPC> result;
        if (domain == kDomainUnix)
            result = std::make_shared<VkUnixSocket>(m_runner);
        else if (domain == kDomainInet)
            result = std::make_shared<VkInetSocket>(m_runner);
        else
            throw base::VkException("Unknown address domain");
        if (!local) local = emptyAddress(domain);
        if (!remote) remote = emptyAddress(domain);
        result->SetLocalAddress(local);
        result->SetRemoteAddress(remote);
        return result;
    } catch (const base::VkException& e) {
        logFailure(e.what());
        return nullptr;
    }
}

// One bad address must not abort the caller's other endpoints: every
// failure but a lack of memory ends as a record and a null result.
std::shared_ptr<VkIPC> VkIpcFactory::CreateByAddr(const VkIpcAddress& local, const VkIpcAddress& remote) {
    try {
        ipcLog(VK_LOG_DEBUG, [&] {
            return "IPC factory: creating ipc by addr { local=" + local.GetText() + ", remote=" + remote.GetText() +
                   " }";
        });
        std::shared_ptr<VkIpcAddress> localCopy(local.Clone());
        std::shared_ptr<VkIpcAddress> remoteCopy(remote.Clone());
        return Create(localCopy, remoteCopy);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        logFailure(e.what());
        return nullptr;
    }
}

std::shared_ptr<VkIPC> VkIpcFactory::CreateBySpec(const std::string& local, const std::string& remote) {
    try {
        ipcLog(VK_LOG_DEBUG,
               [&] { return "IPC factory: creating ipc by spec { local=" + local + ", remote=" + remote + " }"; });
        std::shared_ptr<VkIpcAddress> remoteAddress = CreateAddress(remote);
        std::shared_ptr<VkIpcAddress> localAddress = CreateAddress(local);
        return Create(localAddress, remoteAddress);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        logFailure(e.what());
        return nullptr;
    }
}

}  // namespace ipc
}  // namespace velka
