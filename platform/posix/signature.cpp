// ECDSA P-256 signature checks on POSIX: OpenSSL 3's EVP interface. The
// signature comes as r || s; OpenSSL takes it DER-encoded.
#include "platform/platform.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace zem {

static EVP_PKEY* import_public_key(const unsigned char public_key[ecdsa_public_key_size]) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    if (context == nullptr) return nullptr;
    char group[] = "prime256v1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<unsigned char*>(public_key),
                                          ecdsa_public_key_size),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(context) != 1 || EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        key = nullptr;
    }
    EVP_PKEY_CTX_free(context);
    return key;
}

// r || s as DER; 0 on failure.
static int encode_signature(const unsigned char signature[ecdsa_signature_size], unsigned char** der) {
    ECDSA_SIG* parts = ECDSA_SIG_new();
    if (parts == nullptr) return 0;
    BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
    if (r == nullptr || s == nullptr || ECDSA_SIG_set0(parts, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(parts);
        return 0;
    }
    const int length = i2d_ECDSA_SIG(parts, der);
    ECDSA_SIG_free(parts);
    return length > 0 ? length : 0;
}

bool ecdsa_p256_verify(const unsigned char public_key[ecdsa_public_key_size],
                       const unsigned char digest[sha256_digest_size],
                       const unsigned char signature[ecdsa_signature_size]) {
    EVP_PKEY* key = import_public_key(public_key);
    if (key == nullptr) return false;
    unsigned char* der = nullptr;
    const int der_length = encode_signature(signature, &der);
    EVP_PKEY_CTX* context = der_length > 0 ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
    const bool verified = context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
                          EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
                          EVP_PKEY_verify(context, der, static_cast<size_t>(der_length), digest,
                                          sha256_digest_size) == 1;
    EVP_PKEY_CTX_free(context);
    OPENSSL_free(der);
    EVP_PKEY_free(key);
    return verified;
}

}  // namespace zem
