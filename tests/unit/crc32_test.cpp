// The zip library's CRC-32 (ours, slicing-by-8) against a bit-by-bit
// reference, in one piece and split at every kind of boundary.
#include <miniz.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

uint32_t reference_crc32(const std::vector<unsigned char>& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

TEST(Crc32, KnownValue) {
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(0xCBF43926u, mz_crc32(MZ_CRC32_INIT, digits, 9));
    EXPECT_EQ(0u, mz_crc32(MZ_CRC32_INIT, digits, 0));
    EXPECT_EQ(static_cast<mz_ulong>(MZ_CRC32_INIT), mz_crc32(1234, nullptr, 5));
}

TEST(Crc32, MatchesReferenceForEveryLengthAndSplit) {
    std::mt19937 random(7);
    for (size_t length : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 1000u, 65537u}) {
        std::vector<unsigned char> data(length);
        for (auto& byte : data) byte = static_cast<unsigned char>(random());
        const uint32_t expected = reference_crc32(data);
        EXPECT_EQ(expected, mz_crc32(MZ_CRC32_INIT, data.data(), length)) << length;
        for (size_t split : {size_t{1}, size_t{3}, length / 2, length - 1}) {
            if (split == 0 || split >= length) continue;
            mz_ulong crc = mz_crc32(MZ_CRC32_INIT, data.data(), split);
            crc = mz_crc32(crc, data.data() + split, length - split);
            EXPECT_EQ(expected, crc) << length << " split at " << split;
        }
    }
}

}  // namespace
