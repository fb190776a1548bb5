// The data unit against a raw socket peer: exact wire bytes, exact reads,
// parameter errors, hostile lengths and transport failures inside a field.
#include "ipc/transport/ddp_unit.h"

#include <fcntl.h>

#include <chrono>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/app_log.h"
#include "base/vk_exception.h"
#include "ipc/raw_peer.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using testing::HasSubstr;
using velka::base::VkDeadline;
using velka::base::VkException;
using velka::base::VkTimeout;
using velka::ipc::VkDdpUnit;
using vktest::RawPeer;
using vktest::thrownText;
using vktest::toHex;

VkDeadline inMs(int ms) { return VkDeadline(VkTimeout(ms, VkTimeout::Milliseconds)); }

// The unit bound to the pair's endpoint with a deadline 5 s ahead.
struct Bound {
    RawPeer peer;
    VkDdpUnit unit;
    Bound() {
        unit.SetConnection(peer.endpoint());
        unit.SetDeadline(inMs(5000));
    }
};

std::string stringField(const std::string& text) {
    std::string hex = toHex(std::string("\0\0\0", 3) + static_cast<char>(text.size()));
    return text.empty() ? hex : hex + " " + toHex(text);
}

TEST(DdpUnit, FieldsTravelAsBigEndianBytesInOnePush) {
    vktest::TempDir dir;
    const std::string path = dir.file("f");
    const struct {
        const char* name;
        std::function<bool(VkDdpUnit&)> add;
        std::string hex;
    } cases[] = {
        {"int32 1", [](VkDdpUnit& u) { return u.AddInt32(1); }, "00 00 00 01"},
        {"int32 -1", [](VkDdpUnit& u) { return u.AddInt32(-1); }, "FF FF FF FF"},
        {"int64", [](VkDdpUnit& u) { return u.AddInt64(0x0102030405060708LL); }, "01 02 03 04 05 06 07 08"},
        {"int64 -2", [](VkDdpUnit& u) { return u.AddInt64(-2); }, "FF FF FF FF FF FF FF FE"},
        {"bools", [](VkDdpUnit& u) { return u.AddBool(true) && u.AddBool(false); }, "00 00 00 01 00 00 00 00"},
        {"empty string", [](VkDdpUnit& u) { return u.AddString(""); }, "00 00 00 00"},
        {"string", [](VkDdpUnit& u) { return u.AddString("abc"); }, "00 00 00 03 61 62 63"},
        {"block", [](VkDdpUnit& u) { return u.AddBuffer("a\0b", 3); }, "00 00 00 03 61 00 62"},
        {"empty vector", [](VkDdpUnit& u) { return u.AddVector({}); }, "00 00 00 00"},
        {"vector", [](VkDdpUnit& u) { return u.AddVector({"a", "bc"}); },
         "00 00 00 02 00 00 00 01 61 00 00 00 02 62 63"},
        {"raw", [](VkDdpUnit& u) { return u.AddRaw("xy") && u.AddRaw("z", 1); }, "78 79 7A"},
        {"unit", [](VkDdpUnit& u) { VkDdpUnit other; other.AddInt32(7); return u.AddUnit(other); }, "00 00 00 07"},
        {"local file: path only", [&](VkDdpUnit& u) { return u.AddFile(path, true); },
         stringField(path) + " 00 00 00 00"},
        {"empty push", [](VkDdpUnit&) { return true; }, ""},
        {"2 GiB block refused", [](VkDdpUnit& u) { return !u.AddBuffer("x", 0x80000000u) && !u.AddBuffer(nullptr, 1); }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bound b;
        ASSERT_TRUE(c.add(b.unit));
        EXPECT_EQ(toHex(b.unit.GetData()), c.hex);
        EXPECT_EQ(b.peer.readHex(0), "");  // nothing leaves before Push
        ASSERT_TRUE(b.unit.Push());
        EXPECT_EQ(b.peer.readHex(), c.hex);
        EXPECT_EQ(b.unit.GetData(), "");
    }
}

TEST(DdpUnit, FileBytesFollowTheirSizeAndBadFilesAreRefused) {
    getIpcLogger().setLevel(VK_LOG_ERROR);
    vktest::SyslogCapture capture;
    vktest::TempDir dir;
    const std::string path = dir.file("f"), missing = dir.file("missing"), huge = dir.file("huge");
    vktest::writeFile(path, "abc");
    Bound b;
    b.unit.AddInt32(9);
    ASSERT_TRUE(b.unit.AddStringFromFile(path));
    EXPECT_EQ(b.peer.readHex(), "00 00 00 09 00 00 00 03 61 62 63");
    ASSERT_TRUE(b.unit.AddFile(path, false));
    EXPECT_EQ(b.peer.readHex(), stringField(path) + " 00 00 00 03 61 62 63");
    EXPECT_TRUE(b.unit.AddFileRegion(path, 1, 2));
    EXPECT_FALSE(b.unit.AddFileRegion(path, 2, 5));
    EXPECT_EQ(b.peer.readHex(), "62 63");

    EXPECT_EQ(thrownText([&] { b.unit.AddFile(missing, false); }),
              "AddFile(" + missing + "): [2] No such file or directory");
    EXPECT_EQ(toHex(b.unit.GetData()), stringField(missing));
    EXPECT_TRUE(capture.contains("AddFile(" + missing + " 0) - failed to stat file: No such file or directory"));
    b.unit.Clear();
    EXPECT_EQ(thrownText([&] { b.unit.AddStringFromFile(missing); }),
              "AddStringFromFile(" + missing + "): [2] No such file or directory");
    EXPECT_TRUE(capture.contains("AddStringFromFile(" + missing + ") - failed to stat file: No such file"));

    // A sparse file of 2 GiB does not fit the int32 size: refused before any push.
    const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_EQ(::ftruncate(fd, 0x80000000LL), 0);
    ::close(fd);
    b.unit.Clear();
    b.unit.AddInt32(1);
    EXPECT_EQ(thrownText([&] { b.unit.AddFile(huge, false); }), "AddFile: file too large");
    EXPECT_EQ(thrownText([&] { b.unit.AddStringFromFile(huge); }), "AddStringFromFile: file too large");
    EXPECT_EQ(b.peer.readHex(), "");
    EXPECT_TRUE(b.peer.endpoint()->IsConnected());
}

TEST(DdpUnit, ReadsTakeExactlyOneFieldEach) {
    Bound b;
    b.peer.writeHex("00 00 00 02 FF FF FF FE 01 02 03 04 05 06 07 08 00 00 00 00 00 00 00 03 61 62 63 "
                    "00 00 00 00 00 00 00 02 00 00 00 01 61 00 00 00 00 78 79 7A 41 00 00 00 07");
    EXPECT_TRUE(b.unit.GetBool());
    EXPECT_EQ(b.unit.GetInt32(), -2);
    EXPECT_EQ(b.unit.GetInt64(), 0x0102030405060708LL);
    EXPECT_EQ(b.unit.GetString(), "");
    EXPECT_EQ(b.unit.GetString(3), "abc");
    std::vector<std::string> values{"stale"};
    b.unit.GetVector(values);
    EXPECT_TRUE(values.empty());
    b.unit.GetVector(values);
    EXPECT_EQ(values, (std::vector<std::string>{"a", ""}));
    std::string three(3, '\0');
    EXPECT_TRUE(b.unit.GetBuffer(three));
    EXPECT_EQ(three, "xyz");
    char one = 0;
    EXPECT_TRUE(b.unit.GetBuffer(&one, 1));
    EXPECT_EQ(one, 'A');
    EXPECT_EQ(b.peer.unread(), 4);  // nothing read ahead
    EXPECT_EQ(b.unit.GetInt32(), 7);
}

TEST(DdpUnit, MissingConnectionOrBufferNamesTheOperation) {
    VkDdpUnit unit;
    std::string data(2, 'x');
    std::vector<std::string> values;
    char byte;
    const std::string tail = ": the 'connection' parameter contains invalid value 'null'";
    const struct {
        std::function<void()> call;
        std::string what;
    } cases[] = {
        {[&] { unit.Push(); }, "DdpUnit::Push" + tail},
        {[&] { unit.Flush(); }, "DdpUnit::Push" + tail},
        {[&] { unit.GetBool(); }, "DdpUnit::GetInt32" + tail},
        {[&] { unit.GetInt64(); }, "DdpUnit::GetInt64" + tail},
        {[&] { unit.GetString(); }, "DdpUnit::GetString" + tail},
        {[&] { unit.GetVector(values); }, "DdpUnit::GetVector" + tail},
        {[&] { unit.GetBuffer(&byte, 1); }, "DdpUnit::GetBuffer(1)" + tail},
        {[&] { unit.GetBuffer(data); }, "DdpUnit::GetBuffer(2)" + tail},
        {[&] { unit.GetLocalAddressAsString(); }, "DdpUnit::GetLocalAddressAsString" + tail},
        {[&] { unit.GetRemoteAddressAsString(); }, "DdpUnit::GetRemoteAddressAsString" + tail},
        {[&] { unit.AddStringFromFile("/etc/hostname"); }, "DdpUnit::Push" + tail},
        {[&] { RawPeer peer; unit.SetConnection(peer.endpoint()); unit.GetBuffer(nullptr, 4); },
         "DdpUnit::GetBuffer(4): the 'buffer' parameter contains invalid value 'null'"},
    };
    for (const auto& c : cases) EXPECT_EQ(thrownText(c.call), c.what);
}

TEST(DdpUnit, HostileLengthsAreRefusedAtOnceAndDropTheConnection) {
    const std::string limit = "exceeds the limit of 67108864 bytes";
    std::vector<std::string> values;
    const struct {
        std::string hex;
        std::function<void(VkDdpUnit&)> read;
        std::string what;
    } cases[] = {
        {"FF FF FF FF", [](VkDdpUnit& u) { u.GetString(); }, "DdpUnit::GetString: negative length -1 on connection"},
        {"7F FF FF FF", [](VkDdpUnit& u) { u.GetString(); }, "DdpUnit::GetString: length 2147483647 " + limit},
        {"00 00 00 0B", [](VkDdpUnit& u) { u.GetString(10); }, "length 11 exceeds the limit of 10 bytes"},
        {"7F FF FF FF", [](VkDdpUnit& u) { u.GetString(0xFFFFFFFFu); }, "length 2147483647 " + limit},
        {"FF FF FF FF", [&](VkDdpUnit& u) { u.GetVector(values); }, "DdpUnit::GetVector: negative element count -1"},
        {"7F FF FF FF", [&](VkDdpUnit& u) { u.GetVector(values); }, "element count 2147483647 (32 bytes each"},
        // 16 M empty elements: 64 MiB on the wire, 512 MiB as strings.
        {"01 00 00 00", [&](VkDdpUnit& u) { u.GetVector(values); },
         "element count 16777216 (32 bytes each in memory) " + limit},
        {"00 00 00 02 03 FF FF C1", [&](VkDdpUnit& u) { u.GetVector(values); },
         "GetVector: length 67108801 exceeds the limit of 67108800 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        Bound b;
        b.peer.writeHex(c.hex + " AA BB");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THAT(thrownText([&] { c.read(b.unit); }), HasSubstr(c.what));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_FALSE(b.peer.endpoint()->IsConnected());
        EXPECT_EQ(b.peer.unread(), 2);
    }
}

TEST(DdpUnit, ClaimedLengthsCostMemoryOnlyAsBytesArrive) {
    const long before = vktest::peakRssKiB();
    const struct {
        const char* hex;  // followed by a few bytes and the peer's close
        bool vector;
    } cases[] = {{"7F FF FF FF", false}, {"03 C0 00 00", false}, {"00 FF FF FF", false},
                 {"00 00 00 01 03 C0 00 00", true}, {"00 FF FF FF 00 00 00 00", true},
                 {"00 1F FF FF 00 00 00 00", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        Bound b;
        b.peer.writeHex(std::string(c.hex) + " 61 62 63");
        b.peer.closePeer();
        std::vector<std::string> values;
        EXPECT_THROW(c.vector ? b.unit.GetVector(values) : (void)b.unit.GetString(), VkException);
        EXPECT_FALSE(b.peer.endpoint()->IsConnected());
    }
    EXPECT_LT(vktest::peakRssKiB() - before, 16 * 1024);
}

TEST(DdpUnit, TransportFailuresInsideAFieldDropTheConnection) {
    {
        Bound b;  // a failed push keeps the fields
        b.peer.closePeer();
        b.unit.AddInt32(5);
        EXPECT_THROW(b.unit.Push(), VkException);
        EXPECT_EQ(toHex(b.unit.GetData()), "00 00 00 05");
        EXPECT_FALSE(b.peer.endpoint()->IsConnected());
    }
    {
        Bound b;  // a passed deadline leaves no time but takes what is there
        b.unit.SetDeadline(inMs(0));
        b.peer.writeHex("00 00 00 01");
        EXPECT_EQ(b.unit.GetInt32(), 1);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(b.unit.GetInt32(), velka::base::VkTimedOut);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        EXPECT_FALSE(b.peer.endpoint()->IsConnected());
    }
}

}  // namespace
