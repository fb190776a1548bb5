// The transport-independent half of an IPC endpoint.
#include "ipc/transport/vk_ipc.h"

#include <utility>

namespace velka {
namespace ipc {

namespace {
const std::string kNoAddress = "*";
}

VkIfIPC::~VkIfIPC() = default;

VkIPC::VkIPC(std::shared_ptr<io_service_runner_t> runner)
    : m_runner(std::move(runner)), m_idleDeadline(base::kTimeoutInfinite) {}

VkIPC::~VkIPC() = default;

bool VkIPC::IsConnected() const { return m_connected; }
bool VkIPC::IsServer() const { return m_server; }
bool VkIPC::IsClient() const { return !m_server; }
bool VkIPC::IsListening() const { return m_listening; }
bool VkIPC::IsPermanent() const { return m_permanent; }
void VkIPC::SetServer(bool server) { m_server = server; }
void VkIPC::SetConnected(bool connected) { m_connected = connected; }
void VkIPC::SetListening(bool listening) { m_listening = listening; }
void VkIPC::SetPermanent(bool permanent) { m_permanent = permanent; }

const std::string& VkIPC::GetLocalText() const { return AddressToString(m_local); }
const std::string& VkIPC::GetRemoteText() const { return AddressToString(m_remote); }

const std::string& VkIPC::AddressToString(const std::shared_ptr<VkIpcAddress>& address) {
    if (!address || address->GetText().empty()) return kNoAddress;
    return address->GetText();
}

std::string VkIPC::GetDescription() const {
    std::string text;
    if (m_listening) text += "a listening ";
    text += "connection (fd->";
    const int fd = GetDescriptor();
    text += fd == -1 ? std::string("invalid") : std::to_string(fd);
    if (m_local) text += ", local->" + GetLocalText();
    if (m_remote) text += (m_server ? ", client->" : ", server->") + GetRemoteText();
    text += ")";
    return text;
}

const base::VkTime& VkIPC::GetIdleDeadline() const { return m_idleDeadline; }

void VkIPC::SetIdleTimeout(uint32_t seconds) {
    if (m_permanent) return;
    // VkTimeout takes a signed count and caps it at four hours.
    const int32_t count = seconds > 14400u ? 14400 : static_cast<int32_t>(seconds);
    m_idleDeadline.setNow();
    m_idleDeadline += base::VkTimeout(count, base::VkTimeout::Seconds);
}

std::shared_ptr<VkIpcAddress> VkIPC::GetLocalAddress() const { return m_local; }
std::shared_ptr<VkIpcAddress> VkIPC::GetRemoteAddress() const { return m_remote; }
void VkIPC::SetLocalAddress(std::shared_ptr<VkIpcAddress> address) { m_local = std::move(address); }
void VkIPC::SetRemoteAddress(std::shared_ptr<VkIpcAddress> address) { m_remote = std::move(address); }

const std::shared_ptr<io_service_runner_t>& VkIPC::GetRunner() const { return m_runner; }

}  // namespace ipc
}  // namespace velka
