#include "server/cert_tool.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/ip_address.h"
#include "rpcsc/certificate_fingerprint.h"
#include "rpcsc/tls_stream.h"
#include "support/option_parser.h"
#include "support/version.h"

namespace vexa::rpcsc {
namespace {

constexpr int kCaDays = 3650;
constexpr int kLeafDays = 730; // server and client certificates
// Backdated a little, so that a peer whose clock is slightly behind does not
// find a new certificate not yet valid.
constexpr long kBackdateSeconds = 3600;
constexpr std::string_view kCaName = "VEXA remote PC/SC CA";
constexpr std::size_t kMaxClientName = 64; // the longest common name

const std::array<OptionSpec, 1> kOptions{{
    {"--address", "IP", "the server's IPv4 address (for init and server)"},
}};

constexpr ProgramText kProgram{"vexa-rpcscd certs", kVersion,
                               "vexa-rpcscd certs init DIR --address IP\n"
                               "vexa-rpcscd certs server DIR --address IP\n"
                               "vexa-rpcscd certs client DIR NAME",
                               "Makes the certificates for vexa-rpcscd over TLS (ECDSA P-256 keys, mode 0600):\n"
                               "  init    a CA (DIR/ca.pem, DIR/ca.key, valid 10 years) and a server\n"
                               "          certificate for IP (DIR/server-IP.pem, DIR/server-IP.key, 2 years)\n"
                               "  server  a further server certificate from the CA in DIR\n"
                               "  client  a client certificate from the CA in DIR (DIR/NAME.pem,\n"
                               "          DIR/NAME.key, 2 years); prints its line for the --tls-clients file\n"
                               "Existing files are never replaced.",
                               3};

// A failure with the text for the user.
class CertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

template <auto Free>
struct Freer {
    template <class T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509_free>>;
using Memory = std::unique_ptr<BIO, Freer<BIO_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION_free>>;
using Number = std::unique_ptr<BIGNUM, Freer<BN_free>>;

// Throws with OpenSSL's reason when ok is false.
void check(bool ok, const std::string& what) {
    if (ok) return;
    std::array<char, 256> reason{};
    ERR_error_string_n(ERR_get_error(), reason.data(), reason.size());
    throw CertError(what + ": " + reason.data());
}

// PEM text; a key's, so it is wiped when it goes (OpenSSL wipes its own).
SecureString pem(int (*write)(BIO*, void*), void* item) {
    const Memory memory(BIO_new(BIO_s_mem()));
    check(memory && write(memory.get(), item) == 1, "PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(memory.get(), &data);
    return SecureString(data, static_cast<std::size_t>(size));
}

SecureString keyPem(EVP_PKEY* key) {
    return pem(
        [](BIO* out, void* k) {
            return PEM_write_bio_PrivateKey(out, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0, nullptr, nullptr);
        },
        key);
}

SecureString certificatePem(X509* certificate) {
    return pem([](BIO* out, void* c) { return PEM_write_bio_X509(out, static_cast<X509*>(c)); }, certificate);
}

// Writes a new file; a key stays the owner's only, a certificate is for all
// to read.
void writeNew(const std::string& path, std::string_view text, bool secret) {
    platform::File file = platform::File::open(path, platform::FileAccess::Write, false);
    if (!file.valid() || !file.writeAll(text) || (!secret && !file.setPermissions(0644)) || file.close() != 0)
        throw CertError("cannot write " + path);
    std::cerr << "Wrote " << path << '\n';
}

void refuseExisting(const std::vector<std::string>& paths) {
    for (const std::string& path : paths)
        if (platform::factsOf(path, false)) throw CertError(path + " exists; not replaced");
}

SecureString readText(const std::string& path) {
    platform::File file = platform::File::open(path, platform::FileAccess::Read);
    if (!file.valid()) throw CertError("cannot read " + path + " (run certs init first)");
    SecureString text;
    if (!file.readAll(text, kMaxPemFile)) throw CertError("cannot read " + path);
    return text;
}

Memory memoryOf(std::string_view text) {
    Memory memory(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    check(memory != nullptr, "memory");
    return memory;
}

Key newKey() {
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    check(extension && X509_add_ext(certificate, extension.get(), -1) == 1, "certificate extension");
}

void setSerial(X509* certificate) {
    std::array<unsigned char, 16> bytes{};
    check(RAND_bytes(bytes.data(), bytes.size()) == 1, "random serial");
    bytes[0] &= 0x7F; // positive
    const Number number(BN_bin2bn(bytes.data(), bytes.size(), nullptr));
    check(number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate)), "serial");
}

// What a certificate is for: its extensions beyond the key identifiers.
struct Profile {
    std::string commonName;
    int days;
    bool authority;
    const char* extendedUsage; // none for the CA
    std::string addressName;   // "IP:a.b.c.d" for a server
};

// A certificate for key, signed by the issuer (itself when there is none).
Certificate issue(EVP_PKEY* key, const Profile& profile, X509* issuer, EVP_PKEY* issuerKey) {
    Certificate certificate(X509_new());
    check(certificate != nullptr, "certificate");
    X509* c = certificate.get();
    check(X509_set_version(c, X509_VERSION_3) == 1, "certificate version");
    setSerial(c);
    check(X509_gmtime_adj(X509_getm_notBefore(c), -kBackdateSeconds) &&
              X509_time_adj_ex(X509_getm_notAfter(c), profile.days, 0, nullptr),
          "validity");
    X509_NAME* subject = X509_get_subject_name(c);
    check(
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(profile.commonName.c_str()), -1, -1, 0) == 1,
        "subject");
    X509* signer = issuer ? issuer : c;
    check(X509_set_issuer_name(c, X509_get_subject_name(signer)) == 1 && X509_set_pubkey(c, key) == 1, "issuer");
    addExtension(c, signer, NID_basic_constraints,
                 profile.authority ? "critical,CA:TRUE,pathlen:0" : "critical,CA:FALSE");
    addExtension(c, signer, NID_key_usage,
                 profile.authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    addExtension(c, signer, NID_subject_key_identifier, "hash");
    addExtension(c, signer, NID_authority_key_identifier, "keyid:always");
    if (profile.extendedUsage) addExtension(c, signer, NID_ext_key_usage, profile.extendedUsage);
    if (!profile.addressName.empty()) addExtension(c, signer, NID_subject_alt_name, profile.addressName.c_str());
    check(X509_sign(c, issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signature");
    return certificate;
}

// The CA of a folder made by init.
struct Authority {
    Certificate certificate;
    Key key;
};

Authority loadAuthority(const std::string& dir) {
    const SecureString certificateText = readText(dir + "/ca.pem");
    const SecureString keyText = readText(dir + "/ca.key");
    Authority ca{Certificate(PEM_read_bio_X509(memoryOf(certificateText).get(), nullptr, nullptr, nullptr)),
                 Key(PEM_read_bio_PrivateKey(memoryOf(keyText).get(), nullptr, nullptr, nullptr))};
    check(ca.certificate != nullptr, dir + "/ca.pem");
    check(ca.key != nullptr, dir + "/ca.key");
    check(X509_check_private_key(ca.certificate.get(), ca.key.get()) == 1, dir + "/ca.key does not fit ca.pem");
    return ca;
}

// A new key and its certificate from the CA, written as stem.pem and stem.key.
Certificate issueFiles(const std::string& stem, const Profile& profile, const Authority& ca) {
    refuseExisting({stem + ".pem", stem + ".key"});
    const Key key = newKey();
    Certificate certificate = issue(key.get(), profile, ca.certificate.get(), ca.key.get());
    writeNew(stem + ".key", keyPem(key.get()), true);
    writeNew(stem + ".pem", certificatePem(certificate.get()), false);
    return certificate;
}

Profile serverProfile(const std::string& address) {
    return {address, kLeafDays, false, "serverAuth", "IP:" + address};
}

void makeServer(const std::string& dir, const std::string& address, const Authority& ca) {
    issueFiles(dir + "/server-" + address, serverProfile(address), ca);
}

void init(const std::string& dir, const std::string& address) {
    if (!platform::factsOf(dir)) {
        if (!platform::makeFolder(dir)) throw CertError("cannot make the folder " + dir);
    }
    refuseExisting(
        {dir + "/ca.pem", dir + "/ca.key", dir + "/server-" + address + ".pem", dir + "/server-" + address + ".key"});
    Authority ca{nullptr, newKey()};
    ca.certificate = issue(ca.key.get(), {std::string(kCaName), kCaDays, true, nullptr, {}}, nullptr, nullptr);
    writeNew(dir + "/ca.key", keyPem(ca.key.get()), true);
    writeNew(dir + "/ca.pem", certificatePem(ca.certificate.get()), false);
    makeServer(dir, address, ca);
}

void client(const std::string& dir, const std::string& name) {
    const Authority ca = loadAuthority(dir);
    issueFiles(dir + "/" + name, {name, kLeafDays, false, "clientAuth", {}}, ca);
    std::string failure;
    const auto written = readCertificateFile(dir + "/" + name + ".pem", failure);
    check(written.has_value(), "fingerprint");
    std::cout << fingerprintLine(written->fingerprintHex) << '\n';
}

// A client name is also a file name: nothing that leaves the folder or
// hides the file.
bool validClientName(std::string_view name) {
    if (name.empty() || name.size() > kMaxClientName || name.front() == '.' || name.front() == '-') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

} // namespace

int runCertTool(std::span<const std::string_view> args) {
    OptionParser parser(kProgram, kOptions);
    const auto parsed = parser.parse(args);
    if (!parsed) return parser.exitStatus();
    const std::vector<std::string_view> operands = parsed->operands();
    if (operands.empty()) return parser.refuse("certs", "needs init, server or client");
    const std::string_view command = operands[0];
    const bool isClient = command == "client";
    if (!isClient && command != "init" && command != "server") return parser.refuse(command, "unknown command");
    if (operands.size() != (isClient ? 3u : 2u))
        return parser.refuse(command, isClient ? "needs a folder and a name" : "needs a folder");
    const std::string dir(operands[1]);
    const std::string address(parsed->value("--address"));
    if (isClient) {
        if (parsed->has("--address")) return parser.refuse("--address", "is for init and server");
        if (!validClientName(operands[2]))
            return parser.refuse(command, "a name of letters, digits, '.', '_' and '-' (up to 64), not '" +
                                              std::string(operands[2]) + "'");
    } else if (!platform::parseIpv4(address)) {
        return parser.refuse("--address", address.empty() ? "needs the server's IPv4 address"
                                                          : "not an IPv4 address: '" + address + "'");
    }
    try {
        if (command == "init")
            init(dir, address);
        else if (command == "server")
            makeServer(dir, address, loadAuthority(dir));
        else
            client(dir, std::string(operands[2]));
        return 0;
    } catch (const CertError& e) {
        std::cerr << "vexa-rpcscd certs: " << e.what() << '\n';
        return 1;
    }
}

} // namespace vexa::rpcsc
