// The publisher's signing on POSIX: OpenSSL 3's EVP interface. OpenSSL
// gives and takes ECDSA signatures DER-encoded; the releases carry r || s.
#include "publish/publish_platform.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <unistd.h>

namespace zem {

static char group_name[] = "prime256v1";

bool ecdsa_p256_generate(unsigned char private_key[ecdsa_private_key_size],
                         unsigned char public_key[ecdsa_public_key_size], std::string* error) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (key == nullptr) {
        *error = "OpenSSL cannot make a P-256 key";
        return false;
    }
    BIGNUM* scalar = nullptr;
    size_t public_length = 0;
    // The public point comes in the key's point format, uncompressed by
    // default; anything else is refused below rather than converted.
    const bool exported =
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &scalar) == 1 &&
        BN_bn2binpad(scalar, private_key, ecdsa_private_key_size) == static_cast<int>(ecdsa_private_key_size) &&
        EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, public_key, ecdsa_public_key_size,
                                        &public_length) == 1 &&
        public_length == ecdsa_public_key_size && public_key[0] == 0x04;
    BN_clear_free(scalar);
    EVP_PKEY_free(key);
    if (!exported) {
        OPENSSL_cleanse(private_key, ecdsa_private_key_size);
        *error = "OpenSSL made a P-256 key but cannot export it";
    }
    return exported;
}

// The key pair as an EVP key; null when OpenSSL refuses it.
static EVP_PKEY* import_key_pair(const unsigned char private_key[ecdsa_private_key_size],
                                 const unsigned char public_key[ecdsa_public_key_size]) {
    BIGNUM* scalar = BN_secure_new();
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    EVP_PKEY_CTX* context = nullptr;
    EVP_PKEY* key = nullptr;
    if (scalar != nullptr && builder != nullptr && BN_bin2bn(private_key, ecdsa_private_key_size, scalar) != nullptr &&
        OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, group_name, 0) == 1 &&
        OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PRIV_KEY, scalar) == 1 &&
        OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, public_key, ecdsa_public_key_size) == 1) {
        params = OSSL_PARAM_BLD_to_param(builder);
    }
    if (params != nullptr) context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    if (context != nullptr &&
        (EVP_PKEY_fromdata_init(context) != 1 || EVP_PKEY_fromdata(context, &key, EVP_PKEY_KEYPAIR, params) != 1)) {
        key = nullptr;
    }
    EVP_PKEY_CTX_free(context);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    BN_clear_free(scalar);
    return key;
}

// DER to r || s, each zero-padded to 32 bytes.
static bool decode_signature(const unsigned char* der, size_t length, unsigned char signature[ecdsa_signature_size]) {
    const unsigned char* cursor = der;
    ECDSA_SIG* parts = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length));
    if (parts == nullptr) return false;
    const BIGNUM* r = ECDSA_SIG_get0_r(parts);
    const BIGNUM* s = ECDSA_SIG_get0_s(parts);
    const bool decoded = BN_bn2binpad(r, signature, 32) == 32 && BN_bn2binpad(s, signature + 32, 32) == 32;
    ECDSA_SIG_free(parts);
    return decoded;
}

bool ecdsa_p256_sign(const unsigned char private_key[ecdsa_private_key_size],
                     const unsigned char public_key[ecdsa_public_key_size],
                     const unsigned char digest[sha256_digest_size], unsigned char signature[ecdsa_signature_size],
                     std::string* error) {
    EVP_PKEY* key = import_key_pair(private_key, public_key);
    if (key == nullptr) {
        *error = "OpenSSL does not take the private key as a P-256 key";
        return false;
    }
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    unsigned char der[80];  // the longest DER form of two 32-byte numbers is 72 bytes
    size_t der_length = sizeof der;
    const bool signed_ok = context != nullptr && EVP_PKEY_sign_init(context) == 1 &&
                           EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
                           EVP_PKEY_sign(context, der, &der_length, digest, sha256_digest_size) == 1 &&
                           decode_signature(der, der_length, signature);
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(key);
    if (!signed_ok) *error = "OpenSSL cannot sign with the private key";
    return signed_ok;
}

FILE* create_new_file(const char* path, bool owner_only) {
    const std::string local = system_path(path);
    const int descriptor = open(local.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, owner_only ? 0600 : 0644);
    if (descriptor < 0) return nullptr;
    FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr) close(descriptor);
    return file;
}

}  // namespace zem
