// Reading the publisher's signed texts: each is accepted in exactly one
// form, signed by the one key, and anything else is refused, since the
// programs act on what they read (a version, digests, names).
#include "common/release_signing.h"
#include "publish/publish.h"
#include "publish/publish_platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const zem::PublisherKey& signing_key() {
    static const zem::PublisherKey key = [] {
        zem::PublisherKey made;
        std::string error;
        EXPECT_TRUE(zem::ecdsa_p256_generate(made.private_key, made.public_key, &error)) << error;
        return made;
    }();
    return key;
}

std::string signed_text(const std::string& body) {
    std::string text, error;
    EXPECT_TRUE(zem::sign_text(signing_key(), body, &text, &error)) << error;
    return text;
}

const std::string digest_a(64, 'a');
const std::string digest_b(64, 'b');

struct TextCase {
    const char* name;
    std::string text;  // whole text; "" stands for the signed body below
    std::string body;
    bool accepted;
};

std::string manifest_body(const std::string& lines) {
    return std::string(zem::manifest_heading) + "\nversion 1.4\n" + lines;
}

TEST(ReleaseSigning, ManifestIsReadInExactlyOneForm) {
    const std::string good_lines = digest_a + " 10 Frolix_Multiplayer/Content/a b.txt\n" + digest_b + " 0 ZEM-Play.bat\n";
    const std::string good = signed_text(manifest_body(good_lines));
    const TextCase cases[] = {
        {"as made", good, "", true},
        {"no entries", "", manifest_body(""), true},
        {"body changed after signing", good.substr(0, 70) + "c" + good.substr(71), "", false},
        {"text after the signature line", good + "x\n", "", false},
        {"no line end after the signature", good.substr(0, good.size() - 1), "", false},
        {"upper-case digest", "", manifest_body(std::string(64, 'A') + " 10 a.txt\n"), false},
        {"short digest", "", manifest_body(std::string(63, 'a') + " 10 a.txt\n"), false},
        {"size with a leading zero", "", manifest_body(digest_a + " 010 a.txt\n"), false},
        {"size over 64 bits", "", manifest_body(digest_a + " 18446744073709551616 a.txt\n"), false},
        {"no name", "", manifest_body(digest_a + " 10 \n"), false},
        {"a name twice", "", manifest_body(digest_a + " 1 a.txt\n" + digest_b + " 2 a.txt\n"), false},
        {"control character in a name", "", manifest_body(digest_a + " 1 a\x7f.txt\n"), false},
        {"carriage return line ends", "", std::string(zem::manifest_heading) + "\r\nversion 1.4\n", false},
        {"the update signature's heading", "",
         std::string(zem::update_signature_heading) + "\nversion 1.4\n" + digest_a + " 1 a.txt\n", false},
        {"version of 64 characters", "", std::string(zem::manifest_heading) + "\nversion " + std::string(64, '1') + "\n",
         false},
    };
    for (const TextCase& c : cases) {
        const std::string text = c.text.empty() ? signed_text(c.body) : c.text;
        zem::Manifest manifest;
        EXPECT_EQ(c.accepted, zem::read_manifest(signing_key().public_key, text.data(), text.size(), &manifest))
            << c.name;
    }
    zem::Manifest manifest;
    ASSERT_TRUE(zem::read_manifest(signing_key().public_key, good.data(), good.size(), &manifest));
    EXPECT_EQ("1.4", manifest.version);
    const zem::ManifestEntry* entry = zem::find_manifest_entry(manifest, "Frolix_Multiplayer/Content/a b.txt");
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(10u, entry->size);
    EXPECT_EQ(nullptr, zem::find_manifest_entry(manifest, "frolix_multiplayer/content/a b.txt"));
}

TEST(ReleaseSigning, UpdateSignatureIsReadInExactlyOneForm) {
    const std::string heading = std::string(zem::update_signature_heading) + "\n";
    const TextCase cases[] = {
        {"as made", "", heading + "version 2.0\nsha256 " + digest_a + "\n", true},
        {"lines swapped", "", heading + "sha256 " + digest_a + "\nversion 2.0\n", false},
        {"an extra line", "", heading + "version 2.0\nsha256 " + digest_a + "\nnote x\n", false},
        {"empty version", "", heading + "version \nsha256 " + digest_a + "\n", false},
        {"the manifest's heading", "", manifest_body(""), false},
    };
    for (const TextCase& c : cases) {
        const std::string text = signed_text(c.body);
        zem::UpdateSignature signature;
        EXPECT_EQ(c.accepted,
                  zem::read_update_signature(signing_key().public_key, text.data(), text.size(), &signature))
            << c.name;
    }
    // Another key's signature of the very same body.
    zem::PublisherKey other;
    std::string error, text;
    ASSERT_TRUE(zem::ecdsa_p256_generate(other.private_key, other.public_key, &error)) << error;
    ASSERT_TRUE(zem::sign_text(other, heading + "version 2.0\nsha256 " + digest_a + "\n", &text, &error)) << error;
    zem::UpdateSignature signature;
    EXPECT_FALSE(zem::read_update_signature(signing_key().public_key, text.data(), text.size(), &signature));
}

TEST(ReleaseSigning, TextsTravelBesideTheArchiveBeforeAnyQuery) {
    EXPECT_EQ("https://cdn.example/f/game.zip.manifest?token=a.zip#x",
              zem::url_with_suffix("https://cdn.example/f/game.zip?token=a.zip#x", zem::manifest_suffix));
    EXPECT_EQ("https://cdn.example/game.zip.sig", zem::url_with_suffix("https://cdn.example/game.zip", ".sig"));
}

}  // namespace
