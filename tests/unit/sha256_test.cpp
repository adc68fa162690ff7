// SHA-256 through the platform seam, against the FIPS 180-2 test vectors.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

std::string hex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// Hashes data fed in pieces of the given sizes, cycling through them.
std::string digest_in_pieces(const std::string& data, const std::vector<size_t>& pieces) {
    zem::Sha256 hash = zem::sha256_begin();
    EXPECT_TRUE(hash.is_open());
    if (!hash.is_open()) return "";
    size_t offset = 0;
    for (size_t turn = 0; offset < data.size(); ++turn) {
        size_t size = pieces[turn % pieces.size()];
        if (size > data.size() - offset) size = data.size() - offset;
        EXPECT_TRUE(zem::sha256_add(hash.get(), data.data() + offset, size));
        offset += size;
    }
    unsigned char digest[zem::sha256_digest_size];
    EXPECT_TRUE(zem::sha256_finish(hash.get(), digest));
    return hex(digest, sizeof digest);
}

struct Vector {
    const char* name;
    std::string data;
    std::vector<size_t> pieces;
    const char* digest;
};

void PrintTo(const Vector& v, std::ostream* out) {
    *out << v.name;
}

class Sha256Vector : public testing::TestWithParam<Vector> {};

TEST_P(Sha256Vector, Digest) {
    EXPECT_EQ(GetParam().digest, digest_in_pieces(GetParam().data, GetParam().pieces));
}

const char* const empty_digest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char* const abc_digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char* const two_blocks_digest = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
const char* const million_a_digest = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

INSTANTIATE_TEST_SUITE_P(
    Fips, Sha256Vector,
    testing::Values(Vector{"Empty", "", {1}, empty_digest}, Vector{"Abc", "abc", {3}, abc_digest},
                    Vector{"AbcByteByByte", "abc", {1}, abc_digest},
                    Vector{"TwoBlocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", {56},
                           two_blocks_digest},
                    Vector{"TwoBlocksAcrossTheBoundary",
                           "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                           {13, 50},
                           two_blocks_digest},
                    Vector{"MillionAInOddPieces", std::string(1000000, 'a'), {1, 63, 64, 65, 4097, 99991},
                           million_a_digest},
                    Vector{"MillionAAtOnce", std::string(1000000, 'a'), {1000000}, million_a_digest}),
    [](const testing::TestParamInfo<Vector>& info) { return info.param.name; });

TEST(Sha256, EmptyAddChangesNothing) {
    zem::Sha256 hash = zem::sha256_begin();
    ASSERT_TRUE(hash.is_open());
    EXPECT_TRUE(zem::sha256_add(hash.get(), "", 0));
    EXPECT_TRUE(zem::sha256_add(hash.get(), "abc", 3));
    EXPECT_TRUE(zem::sha256_add(hash.get(), "", 0));
    unsigned char digest[zem::sha256_digest_size];
    ASSERT_TRUE(zem::sha256_finish(hash.get(), digest));
    EXPECT_EQ(abc_digest, hex(digest, sizeof digest));
}

}  // namespace
