// Address texts: parsing, printing and their limits, for unix and inet.
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "ipc/transport/inet_socket_address.h"
#include "ipc/transport/unix_socket_address.h"

namespace {

using velka::ipc::VkInetSocketAddress;
using velka::ipc::VkUnixSocketAddress;

TEST(UnixSocketAddress, TextForms) {
    const std::string p107(107, 'p');
    struct Case {
        std::string text;
        bool parses;
        std::string printed;  // after ToString
        unsigned length;      // GetSockAddrLength
    } cases[] = {
        {"local:/var/run/x.sock", true, "local:/var/run/x.sock", 2 + 15},
        {"unix:/var/run/x.sock", true, "local:/var/run/x.sock", 2 + 15},
        {"unix:", true, "local:", 2},
        {"local:/" + p107.substr(1), true, "local:/" + p107.substr(1), 2 + 107},
        {"LOCAL:/x", false, "", 0},
        {"/x", false, "", 0},
        {"inet:1@h", false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        VkUnixSocketAddress address(c.text);
        ASSERT_EQ(address.Parse(), c.parses);
        if (!c.parses) continue;
        EXPECT_EQ(address.GetSockAddrLength(), c.length);
        EXPECT_EQ(address.GetSpec(), c.text);
        address.ToString();
        EXPECT_EQ(address.GetText(), c.printed);
    }
    VkUnixSocketAddress tooLong("local:/" + p107);
    try {
        tooLong.Parse();
        FAIL() << "a 108-byte path parsed";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), ENAMETOOLONG);
    }
}

TEST(UnixSocketAddress, RawAddressesFromTheSystem) {
    VkUnixSocketAddress address("");
    struct sockaddr_un raw = {};
    raw.sun_family = AF_UNIX;
    // An unnamed peer: only the family.
    EXPECT_TRUE(address.SetSockAddr(&raw, 2));
    EXPECT_EQ(address.GetText(), "local:");
    // A named one, as accept reports it: with its terminating NUL.
    std::strcpy(raw.sun_path, "/tmp/a.sock");
    EXPECT_TRUE(address.SetSockAddr(&raw, 2 + 12));
    EXPECT_EQ(address.GetText(), "local:/tmp/a.sock");
    EXPECT_STREQ(address.GetPath(), "/tmp/a.sock");
    EXPECT_THROW(address.SetSockAddr(&raw, sizeof(raw) + 1), boost::system::system_error);
    EXPECT_EQ(address.GetText(), "local:/tmp/a.sock");
}

TEST(InetSocketAddress, TextFormsAndPortLimits) {
    struct Case {
        std::string text;
        bool parses;
        std::string printed;
    } cases[] = {
        {"inet:8080@127.0.0.1", true, "inet:127.0.0.1:8080"},
        {"inet:0@127.0.0.1", true, "inet:127.0.0.1:0"},
        {"inet:65535@127.0.0.1", true, "inet:127.0.0.1:65535"},
        {"inet:ssh@127.0.0.1", true, "inet:127.0.0.1:22"},
        // The resolver would wrap these to 0 and 4464.
        {"inet:65536@127.0.0.1", false, ""},
        {"inet:70000@127.0.0.1", false, ""},
        {"inet:99999999999999999999@127.0.0.1", false, ""},
        {"inet:8080", false, ""},
        {"inet:@127.0.0.1", false, ""},
        {"INET:8080@127.0.0.1", false, ""},
        {"unix:/x", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        VkInetSocketAddress address(c.text);
        ASSERT_EQ(address.Parse(), c.parses);
        EXPECT_EQ(address.GetDomain(), c.parses ? velka::ipc::kDomainInet : velka::ipc::kDomainUndefined);
        if (!c.parses) continue;
        EXPECT_EQ(address.GetSpec(), c.text);
        address.ToString();
        EXPECT_EQ(address.GetText(), c.printed);
    }
    VkInetSocketAddress blank("inet:80@my host");
    EXPECT_THROW(blank.Parse(), std::invalid_argument);
}

TEST(InetSocketAddress, NumericHostsAndCopies) {
    VkInetSocketAddress v6("");
    ASSERT_TRUE(v6.SetHost("::1", false));
    v6.ToString();
    EXPECT_EQ(v6.GetText(), "inet:[::1]:0");
    EXPECT_EQ(v6.GetSockAddrLength(), sizeof(sockaddr_in6));
    EXPECT_FALSE(v6.SetHost("localhost", false));

    VkInetSocketAddress parsed("inet:8080@127.0.0.1");
    ASSERT_TRUE(parsed.Parse());
    VkUnixSocketAddress other("local:/x");
    EXPECT_EQ(VkInetSocketAddress(other).GetDomain(), velka::ipc::kDomainUndefined);
    auto clone = parsed.Clone();
    clone->ToString();
    EXPECT_EQ(clone->GetText(), "inet:127.0.0.1:8080");
}

}  // namespace
