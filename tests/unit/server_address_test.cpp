#include <gtest/gtest.h>

#include "cardaccess/remote_pcsc_client.h"
#include "cardaccess/server_address.h"

namespace vexa {
namespace {

TEST(ServerAddressTest, ParsesTheTextForms) {
    struct Case {
        const char* text;
        std::uint32_t address, port;
        const char* normal;
    };
    for (const Case& c : {Case{"", 0, 0, "0.0.0.0:0"}, Case{"10.1.2.3", 0x0A010203, 0, "10.1.2.3:0"},
                          Case{"192.168.0.1:35965", 0xC0A80001, 35965, "192.168.0.1:35965"},
                          Case{"1.2.3.4:", 0x01020304, 0, "1.2.3.4:0"},
                          Case{"001.02.255.0:065535", 0x0102FF00, 65535, "1.2.255.0:65535"}}) {
        const auto parsed = ServerAddress::parse(c.text);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(parsed->address, c.address) << c.text;
        EXPECT_EQ(parsed->port, c.port) << c.text;
        EXPECT_EQ(parsed->text(), c.normal);
    }
}

TEST(ServerAddressTest, RefusesHostNamesBadOctetsAndPortsBeyondSixteenBits) {
    for (const char* text :
         {"localhost:80", "1.2.3:80", "1.2.3.4.5", "256.1.1.1", "1.2.3.-4", "1..3.4", "1.2.3.4:x",
          "1.2.3.4:80:", "1.2.3.4: 80", "1.2.3.4:+80", "1.2.3.4:65536", "1.2.3.4:99999999999", " 1.2.3.4"})
        EXPECT_FALSE(ServerAddress::parse(text)) << text;
}

TEST(ServerAddressTest, SplitsRemoteReaderNamesAtTheSecondColon) {
    RemoteReaderName n;
    EXPECT_EQ(RemoteReaderName::split("127.0.0.1:35965:Virtual PCD 00 00", n), 0);
    EXPECT_EQ(n.server.text(), "127.0.0.1:35965");
    EXPECT_EQ(n.reader, "Virtual PCD 00 00");
    EXPECT_EQ(RemoteReaderName::split("10.0.0.1:1:a:b::c", n), 0);
    EXPECT_EQ(n.reader, "a:b::c"); // colons of the reader name survive
    EXPECT_EQ(RemoteReaderName::split("010.0.0.1:01:", n), 0);
    EXPECT_EQ(n.serverPart, "10.0.0.1:1"); // normalised once parsed
    EXPECT_EQ(n.reader, "");

    EXPECT_EQ(RemoteReaderName::split("Virtual PCD 00 00", n), 992401);
    EXPECT_EQ(n.serverPart, "");
    EXPECT_EQ(RemoteReaderName::split("1.2.3.4:Reader", n), 992401);
    EXPECT_EQ(n.serverPart, "");
    EXPECT_EQ(RemoteReaderName::split("300.1.1.1:80:Reader", n), 992401);
    EXPECT_EQ(n.serverPart, "300.1.1.1:80");
}

TEST(ServerAddressTest, SetServerReadsBlankSeparatedListsUpToTheFirstBadEntry) {
    RemotePcscClient client;
    EXPECT_TRUE(client.setServer("1.2.3.4:5  6.7.8.9"));
    EXPECT_EQ(client.serverText(), "1.2.3.4:5 6.7.8.9:0");
    EXPECT_TRUE(client.setServer(""));
    EXPECT_TRUE(client.servers().empty());
    EXPECT_FALSE(client.setServer("1.2.3.4:5 example.org:80 6.7.8.9:1"));
    EXPECT_EQ(client.serverText(), "1.2.3.4:5");
}

TEST(ServerAddressTest, ErrorTextsAndSuffixes) {
    EXPECT_EQ(RemotePcscClient::errorText(992401), "Serveradresse ungueltig formatiert oder nicht angegeben");
    EXPECT_EQ(RemotePcscClient::errorText(992402), "Server ist nicht verbunden");
    EXPECT_EQ(RemotePcscClient::errorText(992403), "Empfangene Antwortdaten haben ein ungueltiges Format");
    EXPECT_EQ(RemotePcscClient::errorSuffix(0), "");
    EXPECT_EQ(RemotePcscClient::errorSuffix(10061),
              " (return code 10061: No connection could be made because the target machine actively refused it.)");
    EXPECT_TRUE(RemotePcscClient::errorSuffix(static_cast<std::int32_t>(0x8010000A))
                    .starts_with(" (return code -2146435062: "));
}

} // namespace
} // namespace vexa
