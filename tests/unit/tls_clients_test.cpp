// The clients file of a TLS server: which certificates it admits and which
// readers each may use.
#include "server/tls_clients.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "temp_files.h"

namespace vexa::rpcsc {
namespace {

const std::string kLower = "3f4c0a2b9d8e7f6a5b4c3d2e1f0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a";
const std::string kUpper = "3F4C0A2B9D8E7F6A5B4C3D2E1F0A9B8C7D6E5F4A3B2C1D0E9F8A7B6C5D4E3F2A";
const std::string kColons =
    "3F:4C:0A:2B:9D:8E:7F:6A:5B:4C:3D:2E:1F:0A:9B:8C:7D:6E:5F:4A:3B:2C:1D:0E:9F:8A:7B:6C:5D:4E:3F:2A";
const std::string kOther = "00000000000000000000000000000000000000000000000000000000000000ff";

struct GoodFile {
    std::string text;
    // One fingerprint's expected grant: readers admitted and refused.
    std::vector<std::string> admitted;
    std::vector<std::string> refused;
};

TEST(TlsClientsTest, ReadsEachFormOfAnEntry) {
    const GoodFile files[] = {
        {kLower, {"Any Reader 00", ""}, {}},
        {"sha256 Fingerprint=" + kColons, {"Any Reader 00"}, {}},
        {"SHA256 FINGERPRINT=" + kUpper + "  \r", {"Any Reader 00"}, {}},
        {"# users of thin client 7\n\n  \t\n" + kColons + "\tReader A", {"Reader A"}, {"Reader", "Reader AB"}},
        {kLower + " Gemalto PC Twin Reader 00 , Virtual PCD* ,X",
         {"Gemalto PC Twin Reader 00", "Virtual PCD", "Virtual PCD 00 01", "X"},
         {"Gemalto PC Twin Reader 01", "Virtual", " X", "Gemalto  PC Twin Reader 00"}},
        {kLower + " *", {"anything", ""}, {}},
        {"  " + kLower + " A*B", {"A*B"}, {"A", "AxB"}},
    };
    for (const GoodFile& file : files) {
        SCOPED_TRACE(file.text);
        ClientsFileError error;
        const auto clients = TlsClients::parse(file.text, error);
        ASSERT_TRUE(clients) << error.text();
        EXPECT_EQ(clients->size(), 1u);
        const auto grant = clients->grantFor(kColons);
        ASSERT_TRUE(grant);
        EXPECT_EQ(grant, clients->grantFor(kUpper));
        for (const std::string& reader : file.admitted) EXPECT_TRUE(grant->admits(reader)) << reader;
        for (const std::string& reader : file.refused) EXPECT_FALSE(grant->admits(reader)) << reader;
        EXPECT_FALSE(clients->grantFor(kOther));
    }
}

TEST(TlsClientsTest, RefusesABadLineNamingIt) {
    const struct {
        std::string text;
        std::size_t line;
        std::string reason; // a part of it
    } bad[] = {
        {kLower.substr(1), 1, "not a SHA-256 fingerprint"},
        {kLower + "0", 1, "not a SHA-256 fingerprint"},
        {"# a comment\n" + kLower.substr(0, 63) + "g", 2, "not a SHA-256 fingerprint"},
        {kColons.substr(0, 94) + ":", 1, "not a SHA-256 fingerprint"},
        {kColons.substr(0, 2) + kColons.substr(3) + "0", 1, "not a SHA-256 fingerprint"}, // a colon missing
        {"sha1 Fingerprint=" + kColons, 1, "not a SHA-256 fingerprint"},
        {"sha256 Fingerprint= " + kColons, 1, "not a SHA-256 fingerprint"},
        {kLower + ",Reader", 1, "not a SHA-256 fingerprint"},
        {kOther + "\n\n" + kLower + " A,,B", 3, "an empty reader name"},
        {kLower + " A,", 1, "an empty reader name"},
        {kLower + " , A", 1, "an empty reader name"},
        {kLower + "\n" + kColons + " A", 2, "the fingerprint of line 1 again"},
        {kLower + " A\x01Z", 1, "a control character"},
        {std::string("\n") + '\0', 2, "a control character"},
        {"Reader A", 1, "not a SHA-256 fingerprint"},
    };
    for (const auto& file : bad) {
        SCOPED_TRACE(file.text);
        ClientsFileError error;
        EXPECT_FALSE(TlsClients::parse(file.text, error));
        EXPECT_EQ(error.line, file.line);
        EXPECT_NE(error.reason.find(file.reason), std::string::npos) << error.reason;
        EXPECT_EQ(error.text().rfind("line " + std::to_string(file.line) + ": ", 0), 0u) << error.text();
    }
}

TEST(TlsClientsTest, AnEmptyFileAdmitsNobodyAndTheFingerprintLineReadsBack) {
    ClientsFileError error;
    const auto none = TlsClients::parse("# nobody yet\n", error);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->size(), 0u);
    EXPECT_EQ(fingerprintLine(kLower), "sha256 Fingerprint=" + kColons);
    EXPECT_EQ(canonicalFingerprint(fingerprintLine(kLower).substr(19)), kLower);
}

TEST(TlsClientsTest, AReloadWithABadLineKeepsTheClientsItHad) {
    const test_support::TempDir dir;
    const std::string path = dir.path + "/clients";
    const auto write = [&](const std::string& text) { std::ofstream(path, std::ios::trunc) << text; };
    TlsClientsFile file(path);
    ClientsFileError error;
    EXPECT_FALSE(file.load(error));
    EXPECT_EQ(error.line, 0u);
    EXPECT_FALSE(file.grantFor(kLower));

    write(kLower + " Reader A\n");
    ASSERT_TRUE(file.load(error)) << error.text();
    const std::size_t first = file.generation();
    ASSERT_TRUE(file.grantFor(kLower));
    EXPECT_FALSE(file.grantFor(kLower)->admits("Reader B"));

    write(kLower + "\n" + kOther + " Reader B,\n");
    EXPECT_FALSE(file.load(error));
    EXPECT_EQ(error.line, 2u);
    EXPECT_EQ(file.generation(), first);
    EXPECT_FALSE(file.grantFor(kOther));
    EXPECT_FALSE(file.grantFor(kLower)->admits("Reader B"));

    write(kOther + "\n"); // kLower removed
    ASSERT_TRUE(file.load(error));
    EXPECT_NE(file.generation(), first);
    EXPECT_FALSE(file.grantFor(kLower));
    EXPECT_TRUE(file.grantFor(kOther)->allReaders());
}

#ifndef _WIN32
// A FIFO would hold the reading thread (the server's accepting thread on a
// reload) until something writes to it; a device reads as anything.
TEST(TlsClientsTest, OnlyARegularFileIsRead) {
    const test_support::TempDir dir;
    const std::string fifo = dir.path + "/clients";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/null")}) {
        auto reading = std::async(std::launch::async, [&] {
            ClientsFileError error;
            return TlsClients::read(path, error) ? std::string("read") : error.text();
        });
        if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // Lets the blocked reader go, so that the test ends.
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            reading.wait();
            if (writer >= 0) ::close(writer);
            ADD_FAILURE() << path << ": the read waited";
            continue;
        }
        EXPECT_EQ(reading.get(), path + " is not a regular file");
    }
}
#endif

} // namespace
} // namespace vexa::rpcsc
