// The server's allow list: the addresses and CIDR blocks of --allow, read
// from the command line, and which peers they admit.
#include <gtest/gtest.h>

#include <string>

#include "platform/ip_address.h"
#include "server/allow_list.h"

namespace vexa::rpcsc {
namespace {

PeerAddress peer(const char* text) {
    if (const auto v4 = platform::parseIpv4(text)) return *v4;
    const auto v6 = platform::parseIpv6(text);
    EXPECT_TRUE(v6) << text;
    return v6.value_or(PeerAddress{});
}

// The peers below are built by the parsers the list uses itself, so these
// pin them to the bytes of the wire.
TEST(AllowListTest, PeerAddressesAreInNetworkOrderWithIpv4Mapped) {
    EXPECT_EQ(peer("192.0.2.7"), (PeerAddress{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 7}));
    EXPECT_EQ(peer("::ffff:192.0.2.7"), peer("192.0.2.7"));
    EXPECT_EQ(peer("::1"), (PeerAddress{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(peer("2001:db8:ffff::1"),
              (PeerAddress{0x20, 0x01, 0x0D, 0xB8, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(peer("fe80::1:2"), (PeerAddress{0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2}));
}

TEST(AllowListTest, ReadsAddressesAndBlocksAndRejectsEverythingElse) {
    struct Row {
        const char* text;
        bool valid;
    };
    const Row rows[] = {
        {"127.0.0.1", true},
        {"10.0.0.0/8", true},
        {"10.1.2.3/8", true}, // host bits ignored
        {"0.0.0.0/0", true},
        {"192.0.2.7/32", true},
        {"::1", true},
        {"fe80::/10", true},
        {"::/0", true},
        {"::ffff:10.0.0.0/104", true},
        {"2001:db8::1/128", true},
        {"", false},
        {"/8", false},
        {"10.0.0.0/", false},
        {"10.0.0.0/33", false},
        {"::/129", false},
        {"10.0.0.0/+8", false},
        {"10.0.0.0/-1", false},
        {"10.0.0.0/ 8", false},
        {"10.0.0.0/0008", false},
        {"10.0.0.0/8/8", false},
        {"10.0.0", false},
        {"010.0.0.1", false},
        {"256.0.0.1", false},
        {"[::1]", false},
        {"fe80::1%lo", false},
        {"localhost", false},
        {"10.0.0.1 ", false},
    };
    for (const Row& row : rows) EXPECT_EQ(parseAddressBlock(row.text).has_value(), row.valid) << row.text;
    EXPECT_FALSE(parseAddressBlock(std::string_view("10.0.0.1\0/8", 11)));
    EXPECT_FALSE(parseAddressBlock(std::string(100, '1')));
}

TEST(AllowListTest, AdmitsThePeersInItsBlocksOnly) {
    struct Row {
        const char* list;
        const char* peer;
        bool allowed;
    };
    const Row rows[] = {
        {"127.0.0.0/8,::1", "127.0.0.1", true},   {"127.0.0.0/8,::1", "127.255.1.2", true},
        {"127.0.0.0/8,::1", "::1", true},         {"127.0.0.0/8,::1", "128.0.0.1", false},
        {"127.0.0.0/8,::1", "::2", false},        {"192.168.1.5/24", "192.168.1.200", true},
        {"192.168.1.5/24", "192.168.2.1", false}, {"10.0.0.0/9", "10.127.255.255", true},
        {"10.0.0.0/9", "10.128.0.0", false},      {"192.0.2.7", "192.0.2.7", true},
        {"192.0.2.7", "192.0.2.8", false},        {" 192.0.2.7 , 2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},  {"2001:db8::/32", "192.0.2.7", false},
        {"0.0.0.0/0", "203.0.113.9", true},       {"0.0.0.0/0", "2001:db8::1", false}, // all of IPv4 is not all of IPv6
        {"::ffff:0:0/96", "198.51.100.1", true},
    };
    for (const Row& row : rows) {
        AllowList list;
        std::string error;
        ASSERT_TRUE(list.add(row.list, error)) << row.list << ": " << error;
        EXPECT_EQ(list.allows(peer(row.peer)), row.allowed) << row.list << " / " << row.peer;
    }
    EXPECT_TRUE(AllowList::loopback().allows(peer("127.0.0.9")));
    EXPECT_FALSE(AllowList::loopback().allows(peer("192.0.2.1")));
}

TEST(AllowListTest, ABadEntryAddsNothingAndIsNamed) {
    AllowList list;
    std::string error;
    EXPECT_FALSE(list.add("127.0.0.1,10.0.0.0/99", error));
    EXPECT_NE(error.find("\"10.0.0.0/99\""), std::string::npos) << error;
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(list.add("127.0.0.1,", error));
    EXPECT_FALSE(list.add("", error));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(addressText(peer("127.0.0.2")), "127.0.0.2");
    EXPECT_EQ(addressText(peer("::1")), "::1");
}

} // namespace
} // namespace vexa::rpcsc
