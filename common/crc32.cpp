// CRC-32 for the zip library (built with USE_EXTERNAL_MZCRC). miniz's own
// routine takes one byte per step and was the largest cost of an
// installation; this one takes eight bytes per step (slicing-by-8) and
// gives the same values.
#include <miniz.h>

#include <cstdint>
#include <cstring>

namespace {

struct Crc32Tables {
    uint32_t slice[8][256];
};

constexpr Crc32Tables make_tables() {
    Crc32Tables tables{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        tables.slice[0][byte] = crc;
    }
    for (uint32_t byte = 0; byte < 256; ++byte) {
        for (int k = 1; k < 8; ++k) {
            const uint32_t previous = tables.slice[k - 1][byte];
            tables.slice[k][byte] = (previous >> 8) ^ tables.slice[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr Crc32Tables tables = make_tables();

uint32_t load_little_endian32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" mz_ulong mz_crc32(mz_ulong crc, const mz_uint8* data, size_t length) {
    if (data == nullptr) return MZ_CRC32_INIT;
    uint32_t value = ~static_cast<uint32_t>(crc);
    const auto& t = tables.slice;
    while (length >= 8) {
        const uint32_t low = load_little_endian32(data) ^ value;
        const uint32_t high = load_little_endian32(data + 4);
        value = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
                t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
        data += 8;
        length -= 8;
    }
    while (length-- > 0) value = (value >> 8) ^ t[0][(value ^ *data++) & 0xFF];
    return ~value;
}
