// vexa-rpcscd's server loop over TLS, in this process on an ephemeral
// loopback port, with certificates made by the openssl tool for the test and
// driven by Python's ssl module as a client independent of ours, and by our
// own TLS stream. Only requests that never reach pcscd are sent.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "platform/ip_address.h"
#include "platform/socket.h"
#include "platform/wake_signal.h"
#include "rpcsc/line_channel.h"
#include "rpcsc/tcp_client.h"
#include "rpcsc/tls_stream.h"
#include "rpcsc/winsock_error.h"
#include "rpcsc/wire_message.h"
#include "server/rpcsc_server.h"
#include "server/tls_serving.h"
#include "temp_files.h"

namespace vexa::rpcsc {
namespace {

const std::string kRequest = "0100080200010103000163"; // an unknown operation
const std::string kUnsupported =
    "0100080200010103000163040004"
    "8010001F";

// The output of a shell command, its trailing line end dropped.
std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        ::pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// A CA, certificates it issued and one from another CA, made once.
class Certificates {
public:
    Certificates() {
        ca("ca");
        ca("other-ca");
        issue("server", "ca", "-extfile <(printf 'subjectAltName=IP:127.0.0.1')", "365");
        issue("far-server", "ca", "-extfile <(printf 'subjectAltName=IP:10.0.0.1')", "365");
        issue("alice", "ca", "", "365");
        issue("bob", "ca", "", "365");
        issue("mallory", "other-ca", "", "365");
        expired("old", "ca");
    }
    std::string operator()(const std::string& name) const { return dir_.path + "/" + name; }
    // `sha256 Fingerprint=AB:...` as the openssl tool prints it.
    std::string fingerprintLine(const std::string& name) const {
        return run("openssl x509 -noout -fingerprint -sha256 -in " + (*this)(name + ".pem"));
    }

private:
    void ca(const std::string& name) {
        shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=" + name +
              " -keyout " + (*this)(name + ".key") + " -out " + (*this)(name + ".pem"));
    }
    void issue(const std::string& name, const std::string& by, const std::string& extensions, const std::string& days) {
        const std::string base = (*this)(name);
        shell("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=" + name + " -keyout " + base +
              ".key -out " + base + ".csr && openssl x509 -req -in " + base + ".csr -CA " + (*this)(by) +
              ".pem -CAkey " + (*this)(by) + ".key -days " + days + " " + extensions + " -out " + base + ".pem");
    }
    // Valid only in January 2000. `openssl ca` sets both dates on every
    // OpenSSL release; x509 -days no longer takes a negative count.
    void expired(const std::string& name, const std::string& by) {
        const std::string base = (*this)(name);
        shell("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=" + name + " -keyout " + base +
              ".key -out " + base + ".csr && : >" + base + ".index && openssl ca -batch -notext -rand_serial -config " +
              "<(printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=" + base + ".index\\nserial=" + base +
              ".serial\\nnew_certs_dir=" + dir_.path +
              "\\ndefault_md=sha256\\npolicy=p\\n[p]\\ncommonName=supplied\\n') -cert " + (*this)(by) +
              ".pem -keyfile " + (*this)(by) + ".key -startdate 20000101000000Z -enddate 20000102000000Z -in " + base +
              ".csr -out " + base + ".pem");
    }
    // Throws, so that a certificate not made fails the test that needs it.
    static void shell(const std::string& command) {
        if (std::system(("bash -c \"" + command + "\" >/dev/null 2>&1").c_str()) != 0)
            throw std::runtime_error("failed: " + command);
    }

    test_support::TempDir dir_;
};

// Log text written by the server's threads and read by the test's.
class LockedLog : public std::streambuf {
public:
    std::string text() const {
        std::lock_guard guard(lock_);
        return text_;
    }
    // Whether a line holding part comes within 10 s (`times` such lines).
    bool waitFor(const std::string& part, std::size_t times = 1) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (count(part) < times) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    std::size_t count(const std::string& part) const {
        const std::string all = text();
        std::size_t n = 0;
        for (auto at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) ++n;
        return n;
    }

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            std::lock_guard guard(lock_);
            text_ += traits_type::to_char_type(c);
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard guard(lock_);
        text_.append(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    mutable std::mutex lock_;
    std::string text_;
};

class TlsServerTest : public ::testing::Test {
protected:
    // Made by the first test rather than in SetUpTestSuite: a failure there
    // would show every test of the suite as skipped, not failed.
    void SetUp() override {
        if (!certs_) {
            ASSERT_NO_THROW(certs_ = std::make_unique<Certificates>());
        }
    }
    static void TearDownTestSuite() { certs_.reset(); }

    // Serves with the clients file holding `clients` (every certificate of
    // the CA when empty); reload() re-reads it.
    void start(ServerOptions options, const std::string& server = "server", std::string clients = "",
               const std::string& ca = "") {
        options.port = 0;
        if (clients.empty())
            for (const char* name : {"alice", "bob", "old"}) clients += certs_->fingerprintLine(name) + "\n";
        writeClients(clients);
        std::string failure;
        auto clientsFile = std::make_shared<TlsClientsFile>(clientsPath());
        ClientsFileError error;
        ASSERT_TRUE(clientsFile->load(error)) << error.text();
        TlsFiles tls = files(server, "ca");
        if (!ca.empty()) tls.ca = ca;
        ASSERT_TRUE(serveTls(tls, clientsFile, options, failure)) << failure;
        options.reloadSignal = reload_.handle();
        options.reload = [this, files = options.reload](ServerLog& log) {
            reload_.clear();
            files(log);
        };
        server_ = std::make_unique<RpcscServer>(options, log_);
        ASSERT_TRUE(server_->listen());
        thread_ = std::thread([this] { server_->run(stop_.handle()); });
    }
    void TearDown() override {
        if (!thread_.joinable()) return;
        stop_.signal();
        thread_.join();
    }
    std::string clientsPath() const { return clientsDir_.path + "/clients"; }
    void writeClients(const std::string& text) const { std::ofstream(clientsPath()) << text; }
    // The fingerprint's 64 hex digits, as the server keys it.
    static std::string hex(const std::string& name) {
        std::string digits;
        for (char c : certs_->fingerprintLine(name).substr(19))
            if (c != ':') digits += c;
        return digits;
    }
    static TlsFiles files(const std::string& name, const std::string& ca) {
        const Certificates& c = *certs_;
        return {c(name + ".pem"), c(name + ".key"), c(ca + ".pem")};
    }
    // Python's answer to kRequest with the given certificate (none for ""),
    // offering TLS `version` only: the answer line, "closed", or "refused"
    // and the exception's class.
    std::string pythonAsks(const std::string& certificate, const std::string& version = "1.3") const {
        static const char* const kClient = R"(
import socket, ssl, sys
port, ca, cert, version, line = sys.argv[1:]
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.load_verify_locations(ca)
if cert: ctx.load_cert_chain(cert + '.pem', cert + '.key')
ctx.minimum_version = ctx.maximum_version = getattr(ssl.TLSVersion, 'TLSv' + version.replace('.', '_'))
try:
    with ctx.wrap_socket(socket.create_connection(('127.0.0.1', int(port)), timeout=10),
                         server_hostname='127.0.0.1') as s:
        s.sendall(line.encode() + b'\n')
        data = b''
        while not data.endswith(b'\n'):
            chunk = s.recv(4096)
            if not chunk: break
            data += chunk
        print(data.decode().strip() or 'closed')
except (OSError, ssl.SSLError) as e:
    print('refused', type(e).__name__)
)";
        const std::string cert = certificate.empty() ? "''" : (*certs_)(certificate);
        return run("python3 -c \"" + std::string(kClient) + "\" " + std::to_string(server_->boundPort()) + " " +
                   (*certs_)("ca.pem") + " " + cert + " " + version + " " + kRequest + " 2>&1");
    }
    // A peer that connects and never starts a handshake.
    platform::Socket silentPeer() const {
        platform::Socket socket;
        const platform::IpEndpoint to{*platform::parseIpv4("127.0.0.1"), server_->boundPort()};
        EXPECT_EQ(platform::Socket::connect(to, 2000, socket), 0);
        return socket;
    }
    // Whether the server has closed the socket (within 5 s).
    static bool closedByServer(platform::Socket& socket) {
        char c = 0;
        std::size_t got = 0;
        const std::int32_t read =
            socket.readSome({&c, 1}, got, std::chrono::steady_clock::now() + std::chrono::seconds(5));
        return read != EWOULDBLOCK && got == 0;
    }
    // A connection of ours with the certificate, answered once.
    std::unique_ptr<TcpClient> served(const std::string& certificate) const {
        auto client = std::make_unique<TcpClient>(ourTls(certificate));
        SecureString answer;
        EXPECT_EQ(client->connect("127.0.0.1", server_->boundPort()), 0);
        EXPECT_EQ(client->sendLine(kRequest, false), 0);
        EXPECT_EQ(client->receiveLine(answer), 0);
        EXPECT_EQ(answer.view(), kUnsupported) << certificate;
        return client;
    }
    // A connector for TcpClient over our own TLS stream.
    static StreamConnector ourTls(const std::string& certificate) {
        std::string failure;
        auto context = TlsContext::client(files(certificate, "ca"), failure);
        EXPECT_TRUE(context) << failure;
        auto shared = std::make_shared<const TlsContext>(std::move(*context));
        return [shared](std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                        std::unique_ptr<ByteStream>& stream) {
            std::string why;
            return TlsStream::connect(*shared, host, port, timeoutMs, stream, why);
        };
    }
    static inline std::unique_ptr<Certificates> certs_;
    LockedLog logText_;
    std::ostream logStream_{&logText_};
    ServerLog log_{false, true, logStream_};
    test_support::TempDir clientsDir_;
    platform::WakeSignal stop_;
    platform::WakeSignal reload_;
    std::unique_ptr<RpcscServer> server_;
    std::thread thread_;
};

TEST_F(TlsServerTest, AnAdmittedCertificateIsServedAndEveryCertificateAudited) {
    const std::string alice = certs_->fingerprintLine("alice");
    ASSERT_EQ(alice.rfind("sha256 Fingerprint=", 0), 0u) << alice;
    const std::string aliceColons = alice.substr(19);
    // Pasted from openssl, and again in lower case with a reader: the later
    // line of one certificate counts.
    std::string lower = hex("old");
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    start({}, "server", "# admitted\n" + alice + "\n\n" + lower + " Reader A\n");
    EXPECT_EQ(pythonAsks("alice"), kUnsupported);
    EXPECT_TRUE(logText_.waitFor(": certificate " + aliceColons + ", subject CN = alice")) << logText_.text();

    // Our own client, over a line channel, on the same terms.
    TcpClient ours(ourTls("alice"));
    ASSERT_EQ(ours.connect("127.0.0.1", server_->boundPort()), 0);
    SecureString answer;
    ASSERT_EQ(ours.sendLine(kRequest, false), 0);
    EXPECT_EQ(ours.receiveLine(answer), 0);
    EXPECT_EQ(answer.view(), kUnsupported);
    // In TLS 1.3 the server judges a client's certificate after the client
    // has finished: ours learns of a refusal at its first read.
    TcpClient expired(ourTls("old"));
    if (expired.connect("127.0.0.1", server_->boundPort()) == 0) {
        EXPECT_EQ(expired.sendLine(kRequest, false), 0);
        EXPECT_EQ(expired.receiveLine(answer), WSAECONNABORTED);
    }

    // A certificate of the right CA that the server does not admit: heard,
    // named, refused.
    EXPECT_NE(pythonAsks("bob"), kUnsupported);
    const std::string bob = certs_->fingerprintLine("bob").substr(19);
    EXPECT_TRUE(logText_.waitFor("subject CN = bob")) << logText_.text();
    EXPECT_TRUE(logText_.waitFor(": certificate " + bob + " not admitted")) << logText_.text();
}

TEST_F(TlsServerTest, RefusesEachBadClientSayingWhy) {
    start({});
    const struct {
        const char* certificate;
        const char* version;
        const char* why;
    } cases[] = {
        {"", "1.3", "no client certificate"},
        {"mallory", "1.3", "certificate refused: unable to get local issuer certificate"},
        {"old", "1.3", "certificate refused: certificate has expired"},
        {"alice", "1.2", "TLS below 1.3"},
    };
    for (const auto& c : cases) {
        const std::string answer = pythonAsks(c.certificate, c.version);
        EXPECT_TRUE(answer == "closed" || answer.rfind("refused", 0) == 0) << c.certificate << ": " << answer;
        EXPECT_TRUE(logText_.waitFor("ERROR Refusing 127.0.0.1:")) << c.why;
        EXPECT_TRUE(logText_.waitFor(": " + std::string(c.why) + "\n")) << c.why << "\n" << logText_.text();
    }
    // Refused in the handshake: no certificate was accepted to audit.
    EXPECT_EQ(logText_.text().find("TLS connection from"), std::string::npos) << logText_.text();
}

TEST_F(TlsServerTest, PlainClientsAndProbesAreClosedAtTheHandshakeDeadline) {
    start({}); // the line time-out stays 10 s, the handshake has 2 s
    const platform::IpEndpoint to{*platform::parseIpv4("127.0.0.1"), server_->boundPort()};
    for (const bool speaks : {true, false}) {
        platform::Socket socket;
        ASSERT_EQ(platform::Socket::connect(to, 2000, socket), 0);
        LineChannel plain(std::make_unique<TcpStream>(std::move(socket)));
        const auto begun = std::chrono::steady_clock::now();
        if (speaks) {
            EXPECT_EQ(plain.sendLine(kRequest, false, 2000), 0);
        }
        SecureString line;
        EXPECT_EQ(plain.receiveLine(line, 10000, wire::kMaxLine), WSAECONNRESET);
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
    }
    {
        platform::Socket probe; // connects, and hangs up at once
        ASSERT_EQ(platform::Socket::connect(to, 2000, probe), 0);
    }
    EXPECT_TRUE(logText_.waitFor("ERROR Refusing 127.0.0.1:")) << logText_.text();
    EXPECT_TRUE(logText_.waitFor(": not TLS (a plain client?)\n")) << logText_.text();
    // Peers that sent nothing are no attack to report.
    EXPECT_TRUE(logText_.waitFor(": it sent nothing (no TLS handshake in time)\n")) << logText_.text();
    EXPECT_TRUE(logText_.waitFor(": it sent nothing (the peer hung up in the TLS handshake)\n")) << logText_.text();
    EXPECT_EQ(logText_.count("INFO  Closing 127.0.0.1:"), 2u) << logText_.text();
    EXPECT_EQ(logText_.count("ERROR"), 1u) << logText_.text();
}

TEST_F(TlsServerTest, OurClientChecksTheServersAddressAndShowsItsCertificate) {
    start({}, "far-server"); // names 10.0.0.1, not 127.0.0.1
    std::string failure;
    auto context = TlsContext::client(files("alice", "ca"), failure);
    ASSERT_TRUE(context) << failure;
    std::unique_ptr<ByteStream> stream;
    EXPECT_EQ(TlsStream::connect(*context, "127.0.0.1", server_->boundPort(), 5000, stream, failure), WSAECONNABORTED);
    EXPECT_EQ(failure, "certificate refused: IP address mismatch");
    EXPECT_FALSE(stream);
    // Files that cannot be used are named.
    EXPECT_FALSE(TlsContext::client({files("alice", "ca").certificate, files("bob", "ca").key, files("alice", "ca").ca},
                                    failure));
    EXPECT_NE(failure.find("bob.key does not belong to the certificate"), std::string::npos) << failure;
    EXPECT_FALSE(TlsContext::server(files("nobody", "ca"), failure));
    EXPECT_NE(failure.find("cannot load the certificate"), std::string::npos) << failure;
}

TEST_F(TlsServerTest, AReloadClosesRevokedCertificatesAndRefusesThemAfter) {
    start({}, "server", hex("alice") + "\n" + hex("bob") + " Reader B*\n");
    TcpClient alice(ourTls("alice")), bob(ourTls("bob"));
    SecureString answer;
    for (TcpClient* client : {&alice, &bob}) {
        ASSERT_EQ(client->connect("127.0.0.1", server_->boundPort()), 0);
        ASSERT_EQ(client->sendLine(kRequest, false), 0);
        ASSERT_EQ(client->receiveLine(answer), 0);
    }
    EXPECT_TRUE(logText_.waitFor(" to every reader\n")) << logText_.text();
    EXPECT_TRUE(logText_.waitFor(" to the readers Reader B*\n")) << logText_.text();
    // A bad file keeps the old list.
    writeClients(hex("alice") + "\nnot a fingerprint\n");
    reload_.signal();
    EXPECT_TRUE(logText_.waitFor("Keeping the client certificates as they were: " + clientsPath() + ": line 2"))
        << logText_.text();
    ASSERT_EQ(alice.sendLine(kRequest, false), 0);
    EXPECT_EQ(alice.receiveLine(answer), 0);

    // Alice removed, bob kept with the same readers: only alice's connection
    // ends, and she is refused from then on.
    writeClients(hex("bob") + "   Reader B*  \n");
    reload_.signal();
    EXPECT_TRUE(logText_.waitFor("its certificate is no longer admitted")) << logText_.text();
    EXPECT_NE(alice.receiveLine(answer), 0);
    ASSERT_EQ(bob.sendLine(kRequest, false), 0);
    EXPECT_EQ(bob.receiveLine(answer), 0);
    EXPECT_EQ(pythonAsks("bob"), kUnsupported);
    EXPECT_NE(pythonAsks("alice"), kUnsupported);
    EXPECT_TRUE(logText_.waitFor(" not admitted\n")) << logText_.text();

    // Bob granted other readers: his open connection ends, to come back
    // with the new grant.
    writeClients(hex("bob") + " Reader C\n");
    reload_.signal();
    EXPECT_TRUE(logText_.waitFor("its certificate was granted other readers")) << logText_.text();
    EXPECT_NE(bob.receiveLine(answer), 0);
}

TEST_F(TlsServerTest, AReloadWithAnotherCaClosesTheConnectionsItNoLongerAccepts) {
    const std::string ca = clientsDir_.path + "/ca.pem";
    std::filesystem::copy_file((*certs_)("ca.pem"), ca);
    start({}, "server", "", ca);
    const auto alice = served("alice");
    // The same CA again: nothing to close.
    reload_.signal();
    EXPECT_TRUE(logText_.waitFor("Re-read the server certificate")) << logText_.text();
    SecureString answer;
    ASSERT_EQ(alice->sendLine(kRequest, false), 0);
    EXPECT_EQ(alice->receiveLine(answer), 0);
    std::filesystem::copy_file((*certs_)("other-ca.pem"), ca, std::filesystem::copy_options::overwrite_existing);
    reload_.signal();
    EXPECT_TRUE(logText_.waitFor("its certificate no longer comes from the CA (")) << logText_.text();
    EXPECT_NE(alice->receiveLine(answer), 0);
    EXPECT_NE(pythonAsks("alice"), kUnsupported);
}

TEST_F(TlsServerTest, ConnectionsAreCountedPerCertificateAndHandshakesPerAddress) {
    ServerOptions options;
    options.maxPerPeer = 2;
    start(options);
    // Two of alice's connections fill her budget; bob, from the same
    // address, still has his.
    const auto alice1 = served("alice"), alice2 = served("alice");
    EXPECT_NE(pythonAsks("alice"), kUnsupported);
    EXPECT_TRUE(logText_.waitFor("2 connections open with certificate")) << logText_.text();
    EXPECT_EQ(pythonAsks("bob"), kUnsupported);

    // Peers that connect and say nothing hold the address's two handshake
    // places; each newcomer takes the oldest one's, so bob is still served.
    // The server takes connections in the order they came.
    std::vector<platform::Socket> silent;
    for (int i = 0; i < 3; ++i) silent.push_back(silentPeer());
    EXPECT_TRUE(logText_.waitFor(": 2 handshakes in progress from this address, 127.0.0.1:")) << logText_.text();
    EXPECT_TRUE(closedByServer(silent[0]));
    EXPECT_EQ(pythonAsks("bob"), kUnsupported);
    EXPECT_TRUE(closedByServer(silent[1]));
}

TEST_F(TlsServerTest, UnfinishedHandshakesGiveWayWhenTheServerIsFullButCertificateHoldersNever) {
    ServerOptions options;
    options.maxPerPeer = 3;
    options.maxConnections = 3;
    start(options);
    const auto alice1 = served("alice"), alice2 = served("alice");
    platform::Socket silent = silentPeer();
    // Full: bob's handshake takes the place of the one that never began.
    EXPECT_EQ(pythonAsks("bob"), kUnsupported);
    EXPECT_TRUE(logText_.waitFor(": 3 connections open, 127.0.0.1:")) << logText_.text();
    EXPECT_TRUE(closedByServer(silent));
    // Full of certificate holders: a peer without one is refused, and they
    // are all still served.
    EXPECT_TRUE(logText_.waitFor(" closed\n", 2)) << logText_.text(); // the silent peer's and bob's
    const auto alice3 = served("alice");
    platform::Socket late = silentPeer();
    EXPECT_TRUE(logText_.waitFor(": 3 connections open, all with a certificate")) << logText_.text();
    EXPECT_TRUE(closedByServer(late));
    SecureString answer;
    for (const auto* client : {&alice1, &alice2, &alice3}) {
        ASSERT_EQ((*client)->sendLine(kRequest, false), 0);
        EXPECT_EQ((*client)->receiveLine(answer), 0);
    }
}

} // namespace
} // namespace vexa::rpcsc
