// ECDSA P-256 signature checks on Windows: BCrypt, which takes the key as
// an ECC public blob (header, X, Y) and the signature as r || s.
#include "platform/platform.h"

#include <windows.h>
#include <bcrypt.h>
#include <cstring>

namespace zem {

bool ecdsa_p256_verify(const unsigned char public_key[ecdsa_public_key_size],
                       const unsigned char digest[sha256_digest_size],
                       const unsigned char signature[ecdsa_signature_size]) {
    if (public_key[0] != 0x04) return false;  // only the uncompressed form
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = 32;
    memcpy(blob, &header, sizeof header);
    memcpy(blob + sizeof header, public_key + 1, 64);

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    BCRYPT_KEY_HANDLE key = nullptr;
    bool verified = false;
    if (BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob, 0))) {
        verified = BCryptVerifySignature(key, nullptr, const_cast<unsigned char*>(digest), sha256_digest_size,
                                         const_cast<unsigned char*>(signature), ecdsa_signature_size, 0) == 0;
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return verified;
}

}  // namespace zem
