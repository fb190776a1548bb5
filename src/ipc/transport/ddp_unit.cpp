// The data unit: the wire encoding of message fields.
#include "ipc/transport/ddp_unit.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "base/vk_exception.h"
#include "ipc/transport/ipc_log.h"
#include "ipc/transport/vk_ipc.h"

namespace velka {
namespace ipc {

namespace {

const uint32_t kInt32Max = 0x7FFFFFFFu;
// A string body is read in steps that start here and then double, so a
// claimed length costs memory only as its bytes arrive.
const size_t kFirstReadStep = 64 * 1024;
// The room a vector reserves at most before its elements arrive.
const size_t kVectorReserve = 1024;
// What an element of a vector costs in memory at least, an empty one too:
// its string object, whatever its 4 bytes on the wire.
const uint64_t kElementCost = std::max<uint64_t>(sizeof(std::string), 32);

void appendInt32(std::string& out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

uint64_t decode(const unsigned char* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

VkPDU::~VkPDU() = default;

VkDdpUnit::VkDdpUnit() : m_deadline(base::kTimeoutInfinite) {}

VkDdpUnit::~VkDdpUnit() = default;

bool VkDdpUnit::SetConnection(const std::shared_ptr<VkIPC>& connection) {
    m_connection = connection;
    return true;
}

std::shared_ptr<VkIPC> VkDdpUnit::GetConnection() { return m_connection; }

bool VkDdpUnit::SetDeadline(const base::VkDeadline& deadline) {
    m_deadline = deadline;
    return true;
}

bool VkDdpUnit::Clear() {
    m_buffer.clear();
    return true;
}

bool VkDdpUnit::Push() {
    VkIPC& connection = ConnectionFor("DdpUnit::Push");
    try {
        connection.Send(m_buffer.data(), m_buffer.size(), m_deadline.remaining());
    } catch (...) {
        connection.SetConnected(false);
        throw;
    }
    m_buffer.clear();
    return true;
}

bool VkDdpUnit::Flush() { return Push(); }

const std::string& VkDdpUnit::GetData() const { return m_buffer; }

bool VkDdpUnit::AddBool(bool value) { return AddInt32(value ? 1 : 0); }

bool VkDdpUnit::AddInt32(int32_t value) {
    appendInt32(m_buffer, static_cast<uint32_t>(value));
    return true;
}

bool VkDdpUnit::AddInt64(int64_t value) {
    const uint64_t bits = static_cast<uint64_t>(value);
    appendInt32(m_buffer, static_cast<uint32_t>(bits >> 32));
    appendInt32(m_buffer, static_cast<uint32_t>(bits));
    return true;
}

bool VkDdpUnit::AddString(const std::string& value) {
    if (value.size() > kInt32Max) return false;
    return AddBuffer(value.data(), static_cast<uint32_t>(value.size()));
}

bool VkDdpUnit::AddBuffer(const char* data, uint32_t length) {
    if (length > kInt32Max || (data == nullptr && length != 0)) return false;
    m_buffer.reserve(m_buffer.size() + 4 + length);
    appendInt32(m_buffer, length);
    m_buffer.append(data, length);
    return true;
}

bool VkDdpUnit::AddVector(const std::vector<std::string>& values) {
    if (values.size() > kInt32Max) return false;
    const size_t mark = m_buffer.size();
    AddInt32(static_cast<int32_t>(values.size()));
    for (const auto& value : values) {
        if (!AddString(value)) {
            m_buffer.resize(mark);
            return false;
        }
    }
    return true;
}

bool VkDdpUnit::AddRaw(const std::string& bytes) {
    m_buffer.append(bytes);
    return true;
}

bool VkDdpUnit::AddRaw(const char* data, uint32_t length) {
    if (data == nullptr && length != 0) return false;
    m_buffer.append(data, length);
    return true;
}

bool VkDdpUnit::AddFile(const std::string& path, bool local) {
    m_buffer.reserve(m_buffer.size() + path.size() + 8);
    if (!AddString(path)) return false;
    if (local) return AddInt32(0);
    return AddFileContent("AddFile", path, "AddFile(" + path + " 0");
}

bool VkDdpUnit::AddFileRegion(const std::string& path, int32_t start, int32_t length) {
    if (start < 0) throw base::VkParameterError("DdpUnit::AddFileRegion", "start", start);
    if (length < 0) throw base::VkParameterError("DdpUnit::AddFileRegion", "length", length);
    Push();
    return SendFile(path, static_cast<uint64_t>(start), static_cast<uint64_t>(length));
}

bool VkDdpUnit::AddStringFromFile(const std::string& path) {
    return AddFileContent("AddStringFromFile", path, "AddStringFromFile(" + path);
}

bool VkDdpUnit::AddUnit(const VkPDU& other) {
    m_buffer.append(other.GetData());
    return true;
}

bool VkDdpUnit::GetBool() { return GetInt32() != 0; }

int32_t VkDdpUnit::GetInt32() {
    unsigned char bytes[4];
    Receive("DdpUnit::GetInt32", bytes, sizeof bytes);
    return static_cast<int32_t>(static_cast<uint32_t>(decode(bytes, sizeof bytes)));
}

int64_t VkDdpUnit::GetInt64() {
    unsigned char bytes[8];
    Receive("DdpUnit::GetInt64", bytes, sizeof bytes);
    return static_cast<int64_t>(decode(bytes, sizeof bytes));
}

std::string VkDdpUnit::GetString() { return GetString(kMaxFieldLength); }

std::string VkDdpUnit::GetString(uint32_t maxLength) {
    ConnectionFor("DdpUnit::GetString");
    return ReceiveString("DdpUnit::GetString", std::min(maxLength, kMaxFieldLength));
}

void VkDdpUnit::GetVector(std::vector<std::string>& out) {
    const char* const place = "DdpUnit::GetVector";
    ConnectionFor(place);
    out.clear();
    const int32_t count = GetInt32();
    if (count < 0) Refuse(std::string(place) + ": negative element count " + std::to_string(count));
    // The bound counts what the elements cost in memory, not on the wire.
    uint64_t used = kElementCost * static_cast<uint64_t>(count);
    if (used > kMaxFieldLength)
        Refuse(std::string(place) + ": element count " + std::to_string(count) + " (" + std::to_string(kElementCost) +
               " bytes each in memory) exceeds the limit of " + std::to_string(kMaxFieldLength) + " bytes");
    std::vector<std::string> values;
    values.reserve(std::min(static_cast<size_t>(count), kVectorReserve));
    for (int32_t i = 0; i < count; ++i) {
        values.push_back(ReceiveString(place, static_cast<uint32_t>(kMaxFieldLength - used)));
        used += values.back().size();
    }
    out.swap(values);
}

bool VkDdpUnit::GetBuffer(void* data, uint32_t length) {
    const std::string place = "DdpUnit::GetBuffer(" + std::to_string(length) + ")";
    if (!m_connection || data == nullptr)
        throw base::VkParameterError(place, data == nullptr ? "buffer" : "connection", "null");
    Receive(place.c_str(), data, length);
    return true;
}

bool VkDdpUnit::GetBuffer(std::string& data) {
    const std::string place = "DdpUnit::GetBuffer(" + std::to_string(data.size()) + ")";
    std::string received(data.size(), '\0');
    Receive(place.c_str(), &received[0], received.size());
    data.swap(received);
    return true;
}

const std::string& VkDdpUnit::GetLocalAddressAsString() {
    return ConnectionFor("DdpUnit::GetLocalAddressAsString").GetLocalText();
}

const std::string& VkDdpUnit::GetRemoteAddressAsString() {
    return ConnectionFor("DdpUnit::GetRemoteAddressAsString").GetRemoteText();
}

VkIPC& VkDdpUnit::ConnectionFor(const char* place) const {
    if (!m_connection) throw base::VkParameterError(place, "connection", "null");
    return *m_connection;
}

void VkDdpUnit::Receive(const char* place, void* data, size_t length) {
    VkIPC& connection = ConnectionFor(place);
    try {
        connection.Receive(data, length, m_deadline.remaining());
    } catch (...) {
        connection.SetConnected(false);
        throw;
    }
}

std::string VkDdpUnit::ReceiveString(const char* place, uint32_t maxLength) {
    const int32_t length = GetInt32();
    if (length < 0) Refuse(std::string(place) + ": negative length " + std::to_string(length));
    if (static_cast<uint32_t>(length) > maxLength)
        Refuse(std::string(place) + ": length " + std::to_string(length) + " exceeds the limit of " +
               std::to_string(maxLength) + " bytes");
    const size_t total = static_cast<size_t>(length);
    std::string result;
    size_t received = 0;
    while (received < total) {
        const size_t step = std::min(total - received, std::max(kFirstReadStep, received));
        result.resize(received + step);
        Receive(place, &result[received], step);
        received += step;
    }
    return result;
}

void VkDdpUnit::Refuse(const std::string& text) {
    std::string message = text;
    if (m_connection) {
        message += " on " + m_connection->GetDescription();
        m_connection->SetConnected(false);
    }
    throw base::VkException(message);
}

bool VkDdpUnit::AddFileContent(const std::string& operation, const std::string& path, const std::string& logDetail) {
    const int32_t size = FileSize(operation, path, logDetail);
    AddInt32(size);
    Push();
    if (!SendFile(path, 0, static_cast<uint64_t>(size))) {
        // The size has left without the bytes it announces.
        m_connection->SetConnected(false);
        throw base::VkException(operation + ": SendFile");
    }
    return true;
}

int32_t VkDdpUnit::FileSize(const std::string& operation, const std::string& path, const std::string& logDetail) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) {
        const int error = errno;
        ipcLog(VK_LOG_ERROR, [&] { return logDetail + ") - failed to stat file: " + base::errnoText(error); });
        throw base::VkSystemError(operation + "(" + path + ")", error);
    }
    if (status.st_size < 0 || static_cast<uint64_t>(status.st_size) > kInt32Max)
        throw base::VkException(operation + ": file too large");
    return static_cast<int32_t>(status.st_size);
}

bool VkDdpUnit::SendFile(const std::string& path, uint64_t start, uint64_t length) {
    VkIPC& connection = ConnectionFor("DdpUnit::Push");
    try {
        return connection.SendFile(path.c_str(), start, length, m_deadline.remaining());
    } catch (...) {
        connection.SetConnected(false);
        throw;
    }
}

}  // namespace ipc
}  // namespace velka
