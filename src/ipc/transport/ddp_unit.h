// VkPDU, the data unit interface through which protocols write and read
// message fields, and VkDdpUnit, its implementation over one connection:
// big-endian integers, int32-counted strings, blocks and string vectors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/vk_time.h"

namespace velka {
namespace ipc {

class VkIPC;

class VkPDU {
public:
    // The longest string, block or vector a reader accepts unless the
    // caller names a smaller bound (GetString(max)).
    static constexpr uint32_t kMaxFieldLength = 64u << 20;

    virtual ~VkPDU();

    virtual bool SetConnection(const std::shared_ptr<VkIPC>& connection) = 0;
    virtual std::shared_ptr<VkIPC> GetConnection() = 0;
    virtual bool SetDeadline(const base::VkDeadline& deadline) = 0;
    virtual bool Clear() = 0;
    virtual bool Push() = 0;
    virtual bool Flush() = 0;
    virtual const std::string& GetData() const = 0;

    virtual bool AddBool(bool value) = 0;
    virtual bool AddInt32(int32_t value) = 0;
    virtual bool AddInt64(int64_t value) = 0;
    virtual bool AddString(const std::string& value) = 0;
    virtual bool AddBuffer(const char* data, uint32_t length) = 0;
    virtual bool AddVector(const std::vector<std::string>& values) = 0;
    virtual bool AddRaw(const std::string& bytes) = 0;
    virtual bool AddRaw(const char* data, uint32_t length) = 0;
    virtual bool AddFile(const std::string& path, bool local) = 0;
    virtual bool AddFileRegion(const std::string& path, int32_t start, int32_t length) = 0;
    virtual bool AddStringFromFile(const std::string& path) = 0;
    virtual bool AddUnit(const VkPDU& other) = 0;

    virtual bool GetBool() = 0;
    virtual int32_t GetInt32() = 0;
    virtual int64_t GetInt64() = 0;
    virtual std::string GetString() = 0;
    virtual std::string GetString(uint32_t maxLength) = 0;
    virtual void GetVector(std::vector<std::string>& out) = 0;
    virtual bool GetBuffer(void* data, uint32_t length) = 0;
    virtual bool GetBuffer(std::string& data) = 0;
    virtual const std::string& GetLocalAddressAsString() = 0;
    virtual const std::string& GetRemoteAddressAsString() = 0;
};

// Writes are collected in the outgoing buffer and leave in one Push; reads
// take exactly one field's bytes from the connection, never more. Every
// connection call gets the time left until the unit's deadline. A failure
// inside a field marks the connection not connected: the stream is out of
// step and must not carry another message.
class VkDdpUnit : public VkPDU {
public:
    VkDdpUnit();
    ~VkDdpUnit() override;
    VkDdpUnit(const VkDdpUnit&) = delete;
    VkDdpUnit& operator=(const VkDdpUnit&) = delete;

    bool SetConnection(const std::shared_ptr<VkIPC>& connection) override;
    std::shared_ptr<VkIPC> GetConnection() override;
    bool SetDeadline(const base::VkDeadline& deadline) override;
    bool Clear() override;
    bool Push() override;
    bool Flush() override;
    const std::string& GetData() const override;

    bool AddBool(bool value) override;
    bool AddInt32(int32_t value) override;
    bool AddInt64(int64_t value) override;
    // False, with nothing appended, for 2 GiB or more: the count is an int32.
    bool AddString(const std::string& value) override;
    bool AddBuffer(const char* data, uint32_t length) override;
    bool AddVector(const std::vector<std::string>& values) override;
    bool AddRaw(const std::string& bytes) override;
    bool AddRaw(const char* data, uint32_t length) override;
    // Path and size, pushed with everything before, then the file's bytes;
    // local: path and size 0, nothing sent now.
    bool AddFile(const std::string& path, bool local) override;
    bool AddFileRegion(const std::string& path, int32_t start, int32_t length) override;
    bool AddStringFromFile(const std::string& path) override;
    bool AddUnit(const VkPDU& other) override;

    bool GetBool() override;
    int32_t GetInt32() override;
    int64_t GetInt64() override;
    // Refuses a negative length and one above the bound (never above
    // kMaxFieldLength) before reading the body; memory grows only with the
    // bytes that arrive.
    std::string GetString() override;
    std::string GetString(uint32_t maxLength) override;
    // The whole vector is bounded by kMaxFieldLength, counted as it costs in
    // memory: at least 32 bytes per element, an empty one too, plus the
    // bytes of each string.
    void GetVector(std::vector<std::string>& out) override;
    bool GetBuffer(void* data, uint32_t length) override;
    bool GetBuffer(std::string& data) override;
    const std::string& GetLocalAddressAsString() override;
    const std::string& GetRemoteAddressAsString() override;

private:
    VkIPC& ConnectionFor(const char* place) const;
    void Receive(const char* place, void* data, size_t length);
    std::string ReceiveString(const char* place, uint32_t maxLength);
    // Drops the connection's connected flag and throws VkException(text).
    [[noreturn]] void Refuse(const std::string& text);
    // The int32 size, a push of everything buffered, then the file's bytes
    // straight from the file.
    bool AddFileContent(const std::string& operation, const std::string& path, const std::string& logDetail);
    // The file's size, refused when it does not fit the int32 count.
    int32_t FileSize(const std::string& operation, const std::string& path, const std::string& logDetail);
    bool SendFile(const std::string& path, uint64_t start, uint64_t length);

    std::string m_buffer;
    std::shared_ptr<VkIPC> m_connection;
    base::VkDeadline m_deadline;
};

}  // namespace ipc
}  // namespace velka
