// SHA-256 on Windows: BCrypt's hash interface, fed piece by piece.
#include "platform/platform.h"

#include <windows.h>
#include <bcrypt.h>
#include <new>

namespace zem {

struct Sha256State {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
};

void close_sha256(Sha256State* state) {
    BCryptDestroyHash(state->hash);
    BCryptCloseAlgorithmProvider(state->algorithm, 0);
    delete state;
}

// Null owner when the provider or the hash object cannot be made. The hash
// object's memory is left to the provider (no buffer passed).
Sha256 sha256_begin() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, L"SHA256", nullptr, 0))) return Sha256();
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
        return Sha256();
    }
    Sha256State* state = new (std::nothrow) Sha256State{algorithm, hash};
    if (state == nullptr) {
        BCryptDestroyHash(hash);
        BCryptCloseAlgorithmProvider(algorithm, 0);
        return Sha256();
    }
    return Sha256(state);
}

// False when BCrypt refuses the data. BCryptHashData takes a ULONG count,
// so larger pieces go in several calls.
bool sha256_add(Sha256State* state, const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), piece, 0))) return false;
        bytes += piece;
        size -= piece;
    }
    return true;
}

// False when BCrypt cannot finish; digest is then left untouched.
bool sha256_finish(Sha256State* state, unsigned char digest[sha256_digest_size]) {
    unsigned char result[sha256_digest_size];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(state->hash, result, sha256_digest_size, 0))) return false;
    for (size_t i = 0; i < sha256_digest_size; ++i) digest[i] = result[i];
    return true;
}

}  // namespace zem
