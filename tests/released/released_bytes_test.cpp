// Secrets leave no copies in memory given back: this program replaces the
// global operator delete and OpenSSL's free, and looks into every block as
// it is released for the bytes of a PIN (in hex and raw) and of private
// keys. A VERIFY command goes from our remote client to vexa-rpcscd's
// server loop in this process, in plain and over TLS, and the certificate
// tool makes the keys both ends load. (Blocks released with free() by the C
// library itself, such as stdio buffers, are not seen here.)
#include <malloc.h>
#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "../unit/temp_files.h"
#include "cardaccess/tls_connector.h"
#include "platform/wake_signal.h"
#include "rpcsc/certificate_fingerprint.h"
#include "rpcsc/client_connection.h"
#include "rpcsc/tls_stream.h"
#include "server/cert_tool.h"
#include "server/rpcsc_server.h"
#include "server/tls_clients.h"
#include "server/tls_serving.h"

namespace {

// What released memory must not hold. Fixed storage: the hooks must not
// allocate, and the markers must not be released themselves.
struct Marker {
    char bytes[64];
    std::size_t size;
};
constexpr std::size_t kMaxMarkers = 8;
std::array<Marker, kMaxMarkers> markers;
std::atomic<std::size_t> markerCount{0};
std::atomic<bool> watching{false};

// The first releases that held a marker: which one, and the block's size.
struct Hit {
    std::size_t marker;
    std::size_t size;
};
constexpr std::size_t kMaxHits = 16;
std::array<Hit, kMaxHits> hits;
std::atomic<std::size_t> hitCount{0};

void addMarker(std::string_view bytes) {
    const std::size_t i = markerCount.load();
    ASSERT_LT(i, kMaxMarkers);
    ASSERT_LE(bytes.size(), sizeof markers[i].bytes);
    std::memcpy(markers[i].bytes, bytes.data(), bytes.size());
    markers[i].size = bytes.size();
    markerCount.store(i + 1);
}

void inspect(const void* block, std::size_t size) {
    if (!block || !watching.load(std::memory_order_relaxed)) return;
    for (std::size_t m = 0; m < markerCount.load(); ++m) {
        if (!::memmem(block, size, markers[m].bytes, markers[m].size)) continue;
        const std::size_t n = hitCount.fetch_add(1);
        if (n < kMaxHits) hits[n] = {m, size};
    }
}

void* openSslMalloc(std::size_t size, const char*, int) {
    return std::malloc(size);
}
void* openSslRealloc(void* block, std::size_t size, const char*, int) {
    return std::realloc(block, size);
}
void openSslFree(void* block, const char*, int) {
    if (block) inspect(block, ::malloc_usable_size(block));
    std::free(block);
}

// Before OpenSSL allocates anything.
const bool openSslHooked = CRYPTO_set_mem_functions(openSslMalloc, openSslRealloc, openSslFree) == 1;

} // namespace

void* operator new(std::size_t size) {
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    if (block) inspect(block, ::malloc_usable_size(block));
    std::free(block);
}
void operator delete(void* block, std::size_t size) noexcept {
    inspect(block, size);
    std::free(block);
}

namespace vexa::rpcsc {
namespace {

// A PIN block: no other bytes of this test look like it.
constexpr std::array<std::uint8_t, 8> kPin{0x5A, 0x17, 0xC3, 0x9E, 0x42, 0xB8, 0x6D, 0xF1};
constexpr std::array<std::uint8_t, 13> kVerify{0x00, 0x20, 0x00, 0x81, 0x08, 0x5A, 0x17,
                                               0xC3, 0x9E, 0x42, 0xB8, 0x6D, 0xF1};

// The middle of a key file's first base64 line (read while nothing is
// watched).
std::string keyBody(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    return std::getline(in, line) && std::getline(in, line) && line.size() >= 40 ? line.substr(8, 32) : std::string();
}

class ReleasedBytesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(openSslHooked) << "OpenSSL allocated before its hooks were set";
        markerCount = 0;
        hitCount = 0;
        addMarker({reinterpret_cast<const char*>(kPin.data()), kPin.size()});
        addMarker("5A17C39E42B86DF1");
        // A PEM key text with its body (PKCS#8 starts "MI"); OpenSSL's
        // parser gives back its line buffer holding a bare header line.
        addMarker("PRIVATE KEY-----\nMI");
    }
    void TearDown() override { watching = false; }

    // The hits so far, one line each.
    static std::string hitText() {
        std::string text;
        for (std::size_t i = 0; i < std::min(hitCount.load(), kMaxHits); ++i)
            text += "marker " + std::to_string(hits[i].marker) + " in a released block of " +
                    std::to_string(hits[i].size) + " bytes\n";
        return text;
    }

    // Sends the VERIFY to a server on a free port, answered without a card.
    static void verifyThrough(ServerOptions options, StreamConnector connector) {
        options.port = 0;
        std::ostream sink(nullptr);
        ServerLog log(false, false, sink);
        RpcscServer server(options, log);
        ASSERT_TRUE(server.listen());
        platform::WakeSignal stop;
        std::thread serving([&] { server.run(stop.handle()); });
        {
            ClientConnection client(std::move(connector));
            ASSERT_EQ(client.open("127.0.0.1", server.boundPort(), "server"), 0);
            ByteBuffer answer;
            std::uint32_t protocol = 0;
            // No card was connected: the server refuses the handle itself.
            EXPECT_EQ(client.transmit(2, kVerify, answer, 258, protocol), static_cast<std::int32_t>(0x80100003));
            client.close();
        }
        stop.signal();
        serving.join();
    }

    test_support::TempDir dir_;
};

TEST_F(ReleasedBytesTest, APinOnThePlainRemotePathIsWipedOnBothEnds) {
    watching = true;
    verifyThrough({}, TcpStream::connect);
    watching = false;
    EXPECT_EQ(hitCount.load(), 0u) << hitText();
}

TEST_F(ReleasedBytesTest, KeysAndAPinOverTlsAreWipedOnBothEnds) {
    const std::string pki = dir_.path + "/pki";
    watching = true;
    {
        const std::vector<std::string_view> init{"init", pki, "--address", "127.0.0.1"};
        const std::vector<std::string_view> client{"client", pki, "alice"};
        ASSERT_EQ(runCertTool(init), 0);
        ASSERT_EQ(runCertTool(client), 0);
    }
    watching = false;
    EXPECT_EQ(hitCount.load(), 0u) << "certificate tool:\n" << hitText();
    for (const char* key : {"/alice.key", "/server-127.0.0.1.key"}) {
        const std::string body = keyBody(pki + key);
        ASSERT_FALSE(body.empty()) << key;
        addMarker(body);
    }
    std::string failure;
    const auto alice = readCertificateFile(pki + "/alice.pem", failure);
    ASSERT_TRUE(alice) << failure;
    { std::ofstream(pki + "/clients") << fingerprintLine(alice->fingerprintHex) << "\n"; }
    auto clients = std::make_shared<TlsClientsFile>(pki + "/clients");
    ClientsFileError error;
    ASSERT_TRUE(clients->load(error)) << error.text();

    hitCount = 0;
    watching = true;
    ServerOptions options;
    ASSERT_TRUE(serveTls({pki + "/server-127.0.0.1.pem", pki + "/server-127.0.0.1.key", pki + "/ca.pem"}, clients,
                         options, failure))
        << failure;
    auto connector = makeTlsConnector({pki + "/ca.pem", pki + "/alice.pem", pki + "/alice.key"}, failure);
    ASSERT_TRUE(connector) << failure;
    verifyThrough(options, [connector = *connector](std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                                                    std::unique_ptr<ByteStream>& stream) {
        std::string why;
        return connector(host, port, timeoutMs, stream, why);
    });
    watching = false;
    EXPECT_EQ(hitCount.load(), 0u) << hitText();
}

} // namespace
} // namespace vexa::rpcsc
