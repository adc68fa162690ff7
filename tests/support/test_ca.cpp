#include "support/test_ca.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zem_test {

namespace {

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeCertificate {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;
using Certificate = std::unique_ptr<X509, FreeCertificate>;

constexpr long validity_seconds = 2L * 24 * 60 * 60;
// Backdated so that a clock a little behind still accepts it.
constexpr long backdate_seconds = 60 * 60;

// Null when OpenSSL cannot make a P-256 key.
Key make_key() {
    return Key(EVP_EC_gen("P-256"));
}

// Adds one extension in openssl.cnf syntax. False when OpenSSL refuses it.
bool add_extension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A random positive 64-bit serial number.
bool set_random_serial(X509* certificate) {
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    bytes[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    if (number == nullptr) return false;
    const bool set = BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)) != nullptr;
    BN_free(number);
    return set;
}

// The fields every certificate here has: version 3, serial, validity,
// subject common name, public key.
bool set_basics(X509* certificate, const char* common_name, EVP_PKEY* key) {
    if (X509_set_version(certificate, 2) != 1 || !set_random_serial(certificate)) return false;
    if (X509_gmtime_adj(X509_getm_notBefore(certificate), -backdate_seconds) == nullptr) return false;
    if (X509_gmtime_adj(X509_getm_notAfter(certificate), validity_seconds) == nullptr) return false;
    X509_NAME* name = X509_get_subject_name(certificate);
    const unsigned char* text = reinterpret_cast<const unsigned char*>(common_name);
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, text, -1, -1, 0) != 1) return false;
    return X509_set_pubkey(certificate, key) == 1;
}

// A self-signed CA certificate; null on any OpenSSL failure.
Certificate make_ca_certificate(EVP_PKEY* key) {
    Certificate certificate(X509_new());
    if (!certificate || !set_basics(certificate.get(), "ZEM unit test CA", key)) return nullptr;
    X509* self = certificate.get();
    if (X509_set_issuer_name(self, X509_get_subject_name(self)) != 1) return nullptr;
    if (!add_extension(self, self, NID_basic_constraints, "critical,CA:TRUE") ||
        !add_extension(self, self, NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !add_extension(self, self, NID_subject_key_identifier, "hash")) {
        return nullptr;
    }
    if (X509_sign(self, key, EVP_sha256()) == 0) return nullptr;
    return certificate;
}

// A certificate for localhost signed by the CA; null on any OpenSSL
// failure.
Certificate make_server_certificate(EVP_PKEY* key, X509* ca, EVP_PKEY* ca_key) {
    Certificate certificate(X509_new());
    if (!certificate || !set_basics(certificate.get(), "localhost", key)) return nullptr;
    X509* server = certificate.get();
    if (X509_set_issuer_name(server, X509_get_subject_name(ca)) != 1) return nullptr;
    if (!add_extension(server, ca, NID_basic_constraints, "critical,CA:FALSE") ||
        !add_extension(server, ca, NID_key_usage, "critical,digitalSignature,keyEncipherment") ||
        !add_extension(server, ca, NID_ext_key_usage, "serverAuth") ||
        !add_extension(server, ca, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") ||
        !add_extension(server, ca, NID_authority_key_identifier, "keyid:always")) {
        return nullptr;
    }
    if (X509_sign(server, ca_key, EVP_sha256()) == 0) return nullptr;
    return certificate;
}

bool write_certificate(const std::string& path, X509* certificate) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = PEM_write_X509(file, certificate) == 1;
    return fclose(file) == 0 && written;
}

bool write_key(const std::string& path, EVP_PKEY* key) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return fclose(file) == 0 && written;
}

// A new empty folder under $ZEM_TEST_TMP or /tmp; empty string on failure.
std::string make_folder() {
    const char* root = getenv("ZEM_TEST_TMP");
    const std::string base = root != nullptr && *root != '\0' ? root : "/tmp";
    mkdir(base.c_str(), 0777);
    std::string pattern = base + "/zem-ca-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) return std::string();
    return pattern;
}

}  // namespace

bool make_test_ca(TestCa* ca) {
    Key ca_key = make_key();
    Key server_key = make_key();
    if (!ca_key || !server_key) return false;
    Certificate ca_certificate = make_ca_certificate(ca_key.get());
    if (!ca_certificate) return false;
    Certificate server_certificate = make_server_certificate(server_key.get(), ca_certificate.get(), ca_key.get());
    if (!server_certificate) return false;

    TestCa made;
    made.folder = make_folder();
    if (made.folder.empty()) return false;
    made.ca_cert = made.folder + "/ca.pem";
    made.server_cert = made.folder + "/server.pem";
    made.server_key = made.folder + "/server.key";
    if (!write_certificate(made.ca_cert, ca_certificate.get()) ||
        !write_certificate(made.server_cert, server_certificate.get()) ||
        !write_key(made.server_key, server_key.get())) {
        remove_test_ca(made);
        return false;
    }
    *ca = made;
    return true;
}

void remove_test_ca(const TestCa& ca) {
    if (ca.folder.empty()) return;
    unlink(ca.ca_cert.c_str());
    unlink(ca.server_cert.c_str());
    unlink(ca.server_key.c_str());
    rmdir(ca.folder.c_str());
}

}  // namespace zem_test
