// zem-publish's signing against the programs' check (ecdsa_p256_verify):
// r and s zero-padded to 32 bytes each, a wrong digest or key refused, and
// the private key file read back only in its exact form with a public part
// that belongs to it.
#include "common/release_signing.h"
#include "publish/publish.h"
#include "publish/publish_platform.h"

#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

namespace {

zem::PublisherKey new_key() {
    zem::PublisherKey key;
    std::string error;
    EXPECT_TRUE(zem::ecdsa_p256_generate(key.private_key, key.public_key, &error)) << error;
    return key;
}

TEST(PublishSigning, SignaturesVerifyAndAreZeroPaddedAndBoundToDigestAndKey) {
    const zem::PublisherKey key = new_key();
    const zem::PublisherKey other = new_key();
    ASSERT_EQ(key.public_key[0], 0x04);
    // About one signature in 128 has an r or s below 2^248: sign until
    // both have been seen, each verifying as the programs check it.
    bool short_r = false, short_s = false;
    unsigned char digest[zem::sha256_digest_size] = {};
    for (uint32_t round = 0; round < 20000 && !(short_r && short_s); ++round) {
        memcpy(digest, &round, sizeof round);
        unsigned char signature[zem::ecdsa_signature_size];
        std::string error;
        ASSERT_TRUE(zem::ecdsa_p256_sign(key.private_key, key.public_key, digest, signature, &error)) << error;
        ASSERT_TRUE(zem::ecdsa_p256_verify(key.public_key, digest, signature)) << "round " << round;
        short_r = short_r || signature[0] == 0;
        short_s = short_s || signature[32] == 0;
        if (round % 64 != 0) continue;
        ASSERT_FALSE(zem::ecdsa_p256_verify(other.public_key, digest, signature));
        unsigned char wrong_digest[zem::sha256_digest_size];
        memcpy(wrong_digest, digest, sizeof wrong_digest);
        wrong_digest[31] ^= 1;
        ASSERT_FALSE(zem::ecdsa_p256_verify(key.public_key, wrong_digest, signature));
    }
    EXPECT_TRUE(short_r && short_s) << "no signature with a leading zero byte in r and in s";
}

TEST(PublishSigning, PrivateKeyFileReadsBackOnlyInItsFormWithItsOwnPublicPart) {
    zem_test::TempFolder folder;
    zem::PublisherKey made;
    std::string error;
    ASSERT_TRUE(zem::make_key_files("publisher", &made, &error)) << error;
    struct stat info;
    ASSERT_EQ(stat("publisher", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(zem_test::read_file("publisher.public"), zem::encode_hex(made.public_key, 65) + "\n");
    // Never overwritten: nor the private key, nor a public file alone.
    const std::string text = zem_test::read_file("publisher");
    EXPECT_FALSE(zem::make_key_files("publisher", &made, &error));
    zem_test::write_file("lonely.public", "x");
    EXPECT_FALSE(zem::make_key_files("lonely", &made, &error));
    EXPECT_EQ(zem_test::read_file("lonely"), "<missing>");
    EXPECT_EQ(zem_test::read_file("publisher"), text);

    zem::PublisherKey read;
    ASSERT_TRUE(zem::read_private_key_file("publisher", &read, &error)) << error;
    EXPECT_EQ(memcmp(&read, &made, sizeof read), 0);

    const zem::PublisherKey other = new_key();
    const std::string other_public = zem::encode_hex(other.public_key, 65);
    const size_t private_at = text.find("private ") + 8, public_at = text.find("public ") + 7;
    std::string upper = text;
    const size_t letter = upper.find_first_of("abcdef", private_at);
    upper[letter] = static_cast<char>(upper[letter] - 'a' + 'A');
    const struct {
        const char* label;
        std::string text;
    } refused[] = {
        {"public part of another key", text.substr(0, public_at) + other_public + "\n"},
        {"private scalar changed", text.substr(0, private_at) + (text[private_at] == '1' ? "2" : "1") +
                                       text.substr(private_at + 1)},
        {"zero scalar", text.substr(0, private_at) + std::string(64, '0') + text.substr(private_at + 64)},
        {"upper-case hex", upper},
        {"CRLF line ends", "ZEM publisher private key 1\r\n" + text.substr(text.find('\n') + 1)},
        {"no final line end", text.substr(0, text.size() - 1)},
        {"a line more", text + "comment\n"},
        {"public key file", zem_test::read_file("publisher.public")},
        {"empty", ""},
    };
    for (const auto& c : refused) {
        zem_test::write_file("bad", c.text);
        EXPECT_FALSE(zem::read_private_key_file("bad", &read, &error)) << c.label;
    }
}

}  // namespace
