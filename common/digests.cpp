#include "common/digests.h"

namespace zem {

constexpr size_t file_hashing_piece = 65536;

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decode_hex(const char* text, size_t length, unsigned char* bytes) {
    if (length % 2 != 0) return false;
    for (size_t i = 0; i < length; i += 2) {
        const int high = hex_value(text[i]);
        const int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i / 2] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

std::string encode_hex(const unsigned char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * count, '0');
    for (size_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    return text;
}

bool sha256_of_bytes(const void* data, size_t size, unsigned char digest[sha256_digest_size]) {
    Sha256 hash = sha256_begin();
    return hash.is_open() && sha256_add(hash.get(), data, size) && sha256_finish(hash.get(), digest);
}

bool sha256_of_file(const char* path, unsigned char digest[sha256_digest_size], uint64_t* file_size) {
    // Static: the programs hash one file at a time, and 64 KiB stays off the stack.
    static unsigned char buffer[file_hashing_piece];
    FileStream file(open_file(path, "rb"));
    Sha256 hash = sha256_begin();
    if (!file.is_open() || !hash.is_open()) return false;
    uint64_t total = 0;
    for (;;) {
        const size_t got = fread(buffer, 1, sizeof buffer, file.get());
        if (got == 0) break;
        if (!sha256_add(hash.get(), buffer, got)) return false;
        total += got;
    }
    if (ferror(file.get()) != 0 || !sha256_finish(hash.get(), digest)) return false;
    if (file_size != nullptr) *file_size = total;
    return true;
}

}  // namespace zem
