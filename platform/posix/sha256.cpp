// SHA-256 on POSIX: OpenSSL's EVP digest interface, fed piece by piece.
#include "platform/platform.h"

#include <new>
#include <openssl/evp.h>

namespace zem {

struct Sha256State {
    EVP_MD_CTX* context;
};

void close_sha256(Sha256State* hash) {
    EVP_MD_CTX_free(hash->context);
    delete hash;
}

// Null owner when OpenSSL cannot make or start the digest context.
Sha256 sha256_begin() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) return Sha256();
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        return Sha256();
    }
    Sha256State* hash = new (std::nothrow) Sha256State{context};
    if (hash == nullptr) {
        EVP_MD_CTX_free(context);
        return Sha256();
    }
    return Sha256(hash);
}

// False when OpenSSL refuses the data (the digest is then unusable).
bool sha256_add(Sha256State* hash, const void* data, size_t size) {
    return EVP_DigestUpdate(hash->context, data, size) == 1;
}

// False when OpenSSL cannot finish; digest is then left untouched.
bool sha256_finish(Sha256State* hash, unsigned char digest[sha256_digest_size]) {
    unsigned char result[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(hash->context, result, &length) != 1) return false;
    if (length != sha256_digest_size) return false;
    for (size_t i = 0; i < sha256_digest_size; ++i) digest[i] = result[i];
    return true;
}

}  // namespace zem
