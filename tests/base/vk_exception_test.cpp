#include "base/vk_exception.h"

#include <gtest/gtest.h>

#include "base/vk_time.h"

using namespace velka::base;
using velka::ipc::VkIpcError;
using velka::ipc::VkIpcErrorClosed;
using velka::ipc::VkIpcErrorClosedByPeer;

namespace {

struct FakeEndpoint {
    std::string GetDescription() const { return "[unix:/tmp/x]"; }
};

TEST(Exceptions, ComposedMessages) {
    EXPECT_STREQ(VkParameterError("Timeout::Set", "Unit", 7).what(),
                 "Timeout::Set: the 'Unit' parameter contains invalid value '7'");
    EXPECT_STREQ(VkParameterError("Factory", "Address", "x:y").what(),
                 "Factory: the 'Address' parameter contains invalid value 'x:y'");
    EXPECT_STREQ(VkParameterError("Factory", "Address").what(), "Factory: the 'Address' parameter is invalid");
    VkSystemError system("open", 2);
    EXPECT_STREQ(system.what(), "open: [2] No such file or directory");
    EXPECT_EQ(system.GetErrno(), 2);
    EXPECT_STREQ(VkThreadCanceled().what(), "thread has been canceled");
    EXPECT_STREQ(VkThreadCanceled("RefCounter").what(), "RefCounter: thread has been canceled");
    EXPECT_STREQ(VkSessionClosed().what(), "session has been closed: thread has been canceled");
    EXPECT_STREQ(VkSessionDestroyed("TerminalSessionState").what(),
                 "TerminalSessionStatesession has been deleted: thread has been canceled");
    EXPECT_STREQ(VkNeedRecall().what(), "function should be recalled");
    EXPECT_STREQ(VkException("plain").what(), "plain");
}

TEST(Exceptions, TimedOutForms) {
    EXPECT_STREQ(VkTimedOut("read", VkTimeout(1500, VkTimeout::Milliseconds)).what(),
                 "a waiting of read: timed out (timeout= 1 s 500 ms)");
    EXPECT_STREQ(VkTimedOut("read", boost::posix_time::milliseconds(3723004)).what(),
                 "a waiting of read: timed out (timeout=01:02:03.004000)");
    EXPECT_STREQ(VkTimedOut("wait", kDeadlineInfinite).what(), "wait: timed out (deadline=undefined)");
}

TEST(Exceptions, IpcErrorKeepsItsOwnMessage) {
    FakeEndpoint endpoint;
    try {
        throw VkIpcError(&endpoint, "cannot get remote address", " now");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "cannot get remote address[unix:/tmp/x] now");
    }
    const FakeEndpoint* none = nullptr;
    EXPECT_STREQ(VkIpcError(none, "a", "b").what(), "ab");
    EXPECT_STREQ(VkIpcErrorClosed("Socket::WaitReadable for ", "- closed").what(),
                 "Socket::WaitReadable for - closed");
}

TEST(Exceptions, FamilyIsCaughtByItsBases) {
    EXPECT_THROW(throw VkSessionClosed(), VkThreadCanceled);
    EXPECT_THROW(throw VkSessionDestroyed("x"), VkThreadCanceled);
    EXPECT_THROW(throw VkIpcErrorClosedByPeer("peer"), VkIpcErrorClosed);
    EXPECT_THROW(throw VkIpcErrorClosedByPeer("peer"), VkIpcError);
    EXPECT_THROW(throw VkSystemError("x", 1), VkException);
    EXPECT_THROW(throw VkTimedOut("x", kTimeoutNowait), std::logic_error);
    try {
        throw VkIpcErrorClosedByPeer("closed by peer");
    } catch (const VkException& e) {
        EXPECT_STREQ(e.what(), "closed by peer");
    }
}

}  // namespace
