// The publisher's signing on Windows: BCrypt. Its ECC private blob is a
// header, X, Y and the scalar d, each 32 bytes big-endian for P-256; its
// signatures are r || s already.
#include "platform/win32/wide.h"
#include "publish/publish_platform.h"

#include <windows.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>

#include <cstring>

namespace zem {

constexpr size_t coordinate_size = 32;
constexpr size_t private_blob_size = sizeof(BCRYPT_ECCKEY_BLOB) + 3 * coordinate_size;

static std::string status_text(NTSTATUS status) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(status));
    return text;
}

bool ecdsa_p256_generate(unsigned char private_key[ecdsa_private_key_size],
                         unsigned char public_key[ecdsa_public_key_size], std::string* error) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        *error = "BCrypt has no ECDSA P-256 (status " + status_text(status) + ")";
        return false;
    }
    BCRYPT_KEY_HANDLE key = nullptr;
    unsigned char blob[private_blob_size] = {};
    ULONG exported = 0;
    status = BCryptGenerateKeyPair(algorithm, &key, 256, 0);
    if (BCRYPT_SUCCESS(status)) status = BCryptFinalizeKeyPair(key, 0);
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptExportKey(key, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &exported, 0);
    }
    if (key != nullptr) BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    BCRYPT_ECCKEY_BLOB header;
    memcpy(&header, blob, sizeof header);
    const bool made = BCRYPT_SUCCESS(status) && exported == sizeof blob &&
                      header.dwMagic == BCRYPT_ECDSA_PRIVATE_P256_MAGIC && header.cbKey == coordinate_size;
    if (made) {
        public_key[0] = 0x04;
        memcpy(public_key + 1, blob + sizeof header, 2 * coordinate_size);
        memcpy(private_key, blob + sizeof header + 2 * coordinate_size, coordinate_size);
    } else {
        *error = "BCrypt cannot make and export a P-256 key (status " + status_text(status) + ")";
    }
    SecureZeroMemory(blob, sizeof blob);
    return made;
}

bool ecdsa_p256_sign(const unsigned char private_key[ecdsa_private_key_size],
                     const unsigned char public_key[ecdsa_public_key_size],
                     const unsigned char digest[sha256_digest_size], unsigned char signature[ecdsa_signature_size],
                     std::string* error) {
    if (public_key[0] != 0x04) {
        *error = "the public key is not an uncompressed point";
        return false;
    }
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    header.cbKey = coordinate_size;
    unsigned char blob[private_blob_size];
    memcpy(blob, &header, sizeof header);
    memcpy(blob + sizeof header, public_key + 1, 2 * coordinate_size);
    memcpy(blob + sizeof header + 2 * coordinate_size, private_key, coordinate_size);

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    BCRYPT_KEY_HANDLE key = nullptr;
    ULONG written = 0;
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPRIVATE_BLOB, &key, blob, sizeof blob, 0);
    }
    SecureZeroMemory(blob, sizeof blob);
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptSignHash(key, nullptr, const_cast<unsigned char*>(digest), sha256_digest_size, signature,
                                ecdsa_signature_size, &written, 0);
    }
    if (key != nullptr) BCryptDestroyKey(key);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    const bool signed_ok = BCRYPT_SUCCESS(status) && written == ecdsa_signature_size;
    if (!signed_ok) *error = "BCrypt cannot sign with the private key (status " + status_text(status) + ")";
    return signed_ok;
}

FILE* create_new_file(const char* path, bool) {
    // CREATE_NEW fails when the file exists: a key is never overwritten.
    HANDLE handle = CreateFileW(long_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(descriptor, "wb");
    if (file == nullptr) _close(descriptor);  // closes the handle too
    return file;
}

}  // namespace zem
