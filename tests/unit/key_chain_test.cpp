// The walk of a rooted build's keys text: from the root the programs trust
// to the release key, and every way a server could try to make them trust
// another key (an older delegation, a retired root, a link or delegation
// another key signed).
#include "common/digests.h"
#include "common/key_chain.h"
#include "common/release_signing.h"
#include "publish/publish.h"

#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

zem::PublisherKey made_key() {
    zem::PublisherKey key;
    std::string error;
    EXPECT_TRUE(zem::ecdsa_p256_generate(key.private_key, key.public_key, &error)) << error;
    return key;
}

// Roots r0 to r2, one root nobody delegated to, two release keys.
struct TestKeys {
    zem::PublisherKey r0 = made_key(), r1 = made_key(), r2 = made_key(), stranger = made_key();
    zem::PublisherKey k1 = made_key(), k2 = made_key();
};

const TestKeys& test_keys() {
    static const TestKeys keys;
    return keys;
}

std::string link(const zem::PublisherKey& old_root, const zem::PublisherKey& new_root, uint64_t number) {
    std::string text, error;
    EXPECT_TRUE(zem::make_root_link(old_root, new_root, number, &text, &error)) << error;
    return text;
}

std::string delegation(const zem::PublisherKey& root, uint64_t number, const zem::PublisherKey& release) {
    std::string text, error;
    EXPECT_TRUE(zem::make_delegation(root, number, release.public_key, &text, &error)) << error;
    return text;
}

// A link whose new root's signature is made by signer instead.
std::string link_signed_by(const zem::PublisherKey& old_root, const zem::PublisherKey& new_root,
                           const zem::PublisherKey& signer, uint64_t number) {
    const std::string body = zem::root_link_body(number, new_root.public_key);
    std::string by_old, by_signer, error;
    EXPECT_TRUE(zem::sign_text(old_root, body, &by_old, &error) && zem::sign_text(signer, body, &by_signer, &error));
    return by_old + by_signer.substr(body.size());
}

zem::AcceptedKeys at(const zem::PublisherKey& root, uint64_t root_number, uint64_t delegation_number) {
    zem::AcceptedKeys keys;
    memcpy(keys.root_key, root.public_key, sizeof keys.root_key);
    keys.root_number = root_number;
    keys.delegation_number = delegation_number;
    return keys;
}

struct WalkCase {
    const char* name;
    zem::AcceptedKeys start;
    std::string text;
    zem::KeysVerdict verdict;
    const zem::PublisherKey* reached_root;  // and the delegated key, when accepted
    uint64_t reached_root_number;
    const zem::PublisherKey* release;
};

TEST(KeyChain, WalkReachesTheDelegatedKeyOnlyThroughTheTrustedRoot) {
    using zem::KeysVerdict;
    const auto& [r0, r1, r2, stranger, k1, k2] = test_keys();
    const std::string chain = link(r0, r1, 1) + link(r1, r2, 2);
    const WalkCase cases[] = {
        {"release key rotated", at(r0, 0, 1), delegation(r0, 2, k2), KeysVerdict::accepted, &r0, 0, &k2},
        {"the accepted delegation again", at(r0, 0, 2), delegation(r0, 2, k2), KeysVerdict::accepted, &r0, 0, &k2},
        {"older delegation replayed", at(r0, 0, 2), delegation(r0, 1, k1), KeysVerdict::delegation_replayed, nullptr, 0, nullptr},
        {"two links, both skipped by the player", at(r0, 0, 1), chain + delegation(r2, 3, k2), KeysVerdict::accepted,
         &r2, 2, &k2},
        {"the remembered root passes over the links to it", at(r2, 2, 3), chain + delegation(r2, 3, k2),
         KeysVerdict::accepted, &r2, 2, &k2},
        {"a later build's built-in root", at(r1, 0, 0), chain + delegation(r2, 3, k1), KeysVerdict::accepted, &r2, 2,
         &k1},
        {"delegation by the wrong root", at(r0, 0, 0), delegation(stranger, 1, k1), KeysVerdict::delegation_not_signed, nullptr, 0, nullptr},
        {"delegation by the root a link replaced", at(r0, 0, 0), link(r0, r1, 1) + delegation(r0, 2, k1),
         KeysVerdict::delegation_not_signed, nullptr, 0, nullptr},
        {"link by another root", at(r0, 0, 0), link(stranger, r1, 1) + delegation(r1, 1, k1),
         KeysVerdict::link_not_signed, nullptr, 0, nullptr},
        {"link the new root did not sign", at(r0, 0, 0), link_signed_by(r0, r1, stranger, 1) + delegation(r1, 1, k1),
         KeysVerdict::link_not_signed, nullptr, 0, nullptr},
        {"a retired root's chain", at(r2, 2, 3), link(r0, r1, 1) + delegation(r1, 4, k1),
         KeysVerdict::link_not_signed, nullptr, 0, nullptr},
        {"link numbered below the remembered root", at(r1, 5, 0), link(r1, r2, 3) + delegation(r2, 1, k1),
         KeysVerdict::link_not_above, nullptr, 0, nullptr},
    };
    for (const WalkCase& c : cases) {
        zem::KeysText keys;
        ASSERT_TRUE(zem::parse_keys_text(c.text.data(), c.text.size(), &keys)) << c.name;
        zem::AcceptedKeys reached = at(stranger, 99, 99);
        unsigned char release_key[zem::ecdsa_public_key_size] = {};
        EXPECT_EQ(c.verdict, zem::walk_keys(c.start, keys, &reached, release_key)) << c.name;
        if (c.verdict != KeysVerdict::accepted) {
            EXPECT_EQ(99u, reached.root_number) << c.name;
            continue;
        }
        EXPECT_EQ(0, memcmp(c.reached_root->public_key, reached.root_key, sizeof reached.root_key)) << c.name;
        EXPECT_EQ(c.reached_root_number, reached.root_number) << c.name;
        EXPECT_EQ(keys.delegation.number, reached.delegation_number) << c.name;
        EXPECT_EQ(0, memcmp(c.release->public_key, release_key, sizeof release_key)) << c.name;
    }
}

TEST(KeyChain, KeysTextIsReadInExactlyOneForm) {
    const auto& [r0, r1, r2, stranger, k1, k2] = test_keys();
    const std::string good_link = link(r0, r1, 1);
    const std::string good_delegation = delegation(r1, 1, k1);
    const std::string key_hex = zem::encode_hex(k1.public_key, zem::ecdsa_public_key_size);
    auto signed_delegation = [&r0 = r0](const std::string& body) {
        std::string text, error;
        EXPECT_TRUE(zem::sign_text(r0, body, &text, &error)) << error;
        return text;
    };
    const struct {
        const char* name;
        std::string text;
        bool accepted;
    } cases[] = {
        {"links then the delegation", good_link + link(r1, r2, 2) + good_delegation, true},
        {"link numbers that do not rise", good_link + link(r1, r2, 1) + good_delegation, false},
        {"no delegation", good_link, false},
        {"two delegations", good_delegation + good_delegation, false},
        {"a link after the delegation", good_delegation + good_link, false},
        {"a link with one signature", good_link.substr(0, good_link.size() - zem::signature_line_length) +
                                          good_delegation, false},
        {"text after the delegation", good_delegation + "\n", false},
        {"number 0", signed_delegation("ZEM delegation 1\nnumber 0\nrelease-key " + key_hex + "\n"), false},
        {"leading zero", signed_delegation("ZEM delegation 1\nnumber 01\nrelease-key " + key_hex + "\n"), false},
        {"upper-case key", signed_delegation("ZEM delegation 1\nnumber 1\nrelease-key 04" +
                                             std::string(128, 'A') + "\n"), false},
        {"carriage return", signed_delegation("ZEM delegation 1\r\nnumber 1\nrelease-key " + key_hex + "\n"), false},
    };
    for (const auto& c : cases) {
        zem::KeysText keys;
        EXPECT_EQ(c.accepted, zem::parse_keys_text(c.text.data(), c.text.size(), &keys)) << c.name;
    }
}

TEST(KeyChain, RememberedKeysReadBackAndNothingElseIs) {
    const zem::PublisherKey& r2 = test_keys().r2;
    const zem::AcceptedKeys keys = at(r2, 2, 18446744073709551615u);
    const std::string text = zem::accepted_keys_text(keys);
    zem::AcceptedKeys read;
    ASSERT_TRUE(zem::parse_accepted_keys(text.data(), text.size(), &read));
    EXPECT_EQ(0, memcmp(keys.root_key, read.root_key, sizeof read.root_key));
    EXPECT_EQ(2u, read.root_number);
    EXPECT_EQ(18446744073709551615u, read.delegation_number);
    std::string leading_zero = zem::accepted_keys_text(at(r2, 2, 1));
    leading_zero.insert(leading_zero.size() - 2, "0");
    for (const std::string& spoilt : {text.substr(0, text.size() - 1), text + "x\n", text.substr(1),
                                      leading_zero}) {
        EXPECT_FALSE(zem::parse_accepted_keys(spoilt.data(), spoilt.size(), &read)) << spoilt;
    }
}

TEST(KeyChain, KeyFilesOfOneKindAreRefusedAsTheOther) {
    zem_test::TempFolder folder;
    zem::PublisherKey made, read;
    std::string error;
    ASSERT_TRUE(zem::make_key_files("root", &made, &error, zem::KeyKind::root)) << error;
    ASSERT_TRUE(zem::make_key_files("release", &made, &error)) << error;
    EXPECT_TRUE(zem::read_private_key_file("root", &read, &error, zem::KeyKind::root)) << error;
    EXPECT_FALSE(zem::read_private_key_file("root", &read, &error));
    EXPECT_NE(std::string::npos, error.find("is a root key")) << error;
    EXPECT_FALSE(zem::read_private_key_file("release", &read, &error, zem::KeyKind::root));
    EXPECT_NE(std::string::npos, error.find("not a root key")) << error;
}

}  // namespace
