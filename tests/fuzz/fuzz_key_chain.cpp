// A rooted build's keys text and its walk. The input is a template that
// the harness signs, so that inputs reach the walk behind the signatures:
// "@0".."@3" stand for the public keys of root A (the built-in one), roots
// B and C and a release key; a line "sign N" stands for the signature line
// of key N (0-3; any other N: a signature of nobody) over the text's body,
// which is what comes before its first "sign" line since the last heading
// ("ZEM ..."). Besides crashes and sanitizer reports, checks that
// - an accepted text reads back as exactly itself, each body in its one
//   form;
// - a walk accepted from the built-in root is accepted again from where it
//   ended, with the same result (the launcher after the updater agrees),
//   and refused as a replay from one delegation number further;
// - a text with one byte of its delegation changed is never accepted;
// - the remembered keys read back as themselves, and any input that reads
//   as remembered keys is their one text.
#include "common/digests.h"
#include "common/key_chain.h"
#include "common/release_signing.h"
#include "fuzz_text.h"
#include "publish/publish.h"

#include <cstring>
#include <string>

using zem_fuzz::require;

namespace {

constexpr int key_count = 4;

const zem::PublisherKey* fuzzing_keys() {
    static zem::PublisherKey keys[key_count];
    static const bool made = [] {
        std::string error;
        for (zem::PublisherKey& key : keys) {
            require(zem::ecdsa_p256_generate(key.private_key, key.public_key, &error), "no key could be made");
        }
        return true;
    }();
    (void)made;
    return keys;
}

std::string with_keys_spelled_out(const std::string& input) {
    std::string text;
    for (size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '@' && i + 1 < input.size() && input[i + 1] >= '0' && input[i + 1] < '0' + key_count) {
            text += zem::encode_hex(fuzzing_keys()[input[i + 1] - '0'].public_key, zem::ecdsa_public_key_size);
            ++i;
        } else {
            text += input[i];
        }
    }
    return text;
}

// Signs the template's "sign N" lines, piece by piece.
std::string signed_text(const std::string& input) {
    const std::string spelled = with_keys_spelled_out(input);
    std::string text, body;
    bool body_closed = false;
    for (size_t start = 0; start < spelled.size();) {
        const size_t end = spelled.find('\n', start);
        const size_t next = end == std::string::npos ? spelled.size() : end + 1;
        const std::string line = spelled.substr(start, next - start);
        start = next;
        if (line.compare(0, 4, "ZEM ") == 0) {
            body.clear();
            body_closed = false;
        }
        if (line.size() == 7 && line.compare(0, 5, "sign ") == 0 && line[6] == '\n') {
            body_closed = true;
            const int key = line[5] - '0';
            std::string made, error;
            if (key >= 0 && key < key_count) {
                require(zem::sign_text(fuzzing_keys()[key], body, &made, &error), "the body could not be signed");
                text += made.substr(body.size());
            } else {
                text += "signature " + std::string(2 * zem::ecdsa_signature_size, static_cast<char>('0' + key % 10)) +
                        "\n";
            }
            continue;
        }
        if (!body_closed) body += line;
        text += line;
    }
    return text;
}

zem::AcceptedKeys built_in_root() {
    zem::AcceptedKeys start;
    memcpy(start.root_key, fuzzing_keys()[0].public_key, zem::ecdsa_public_key_size);
    return start;
}

bool same(const zem::AcceptedKeys& a, const zem::AcceptedKeys& b) {
    return memcmp(a.root_key, b.root_key, zem::ecdsa_public_key_size) == 0 && a.root_number == b.root_number &&
           a.delegation_number == b.delegation_number;
}

void check_remembered_keys(const std::string& input) {
    zem::AcceptedKeys read;
    if (zem::parse_accepted_keys(input.data(), input.size(), &read)) {
        require(zem::accepted_keys_text(read) == input, "remembered keys read from another text than theirs");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    check_remembered_keys(input);
    const std::string text = signed_text(input);
    zem::KeysText keys;
    if (!zem::parse_keys_text(text.data(), text.size(), &keys)) return 0;

    std::string read_back;
    for (const zem::RootLink& link : keys.links) {
        const std::string body = zem::root_link_body(link.number, link.root_key);
        require(link.text.compare(0, body.size(), body) == 0, "a root link's body is not in its one form");
        read_back += link.text;
    }
    const std::string delegation_body = zem::delegation_body(keys.delegation.number, keys.delegation.release_key);
    require(keys.delegation.text.compare(0, delegation_body.size(), delegation_body) == 0,
            "a delegation's body is not in its one form");
    read_back += keys.delegation.text;
    require(read_back == text, "a keys text reads back as another text");

    const zem::AcceptedKeys start = built_in_root();
    zem::AcceptedKeys reached, again;
    unsigned char release_key[zem::ecdsa_public_key_size], release_key_again[zem::ecdsa_public_key_size];
    const bool accepted = zem::walk_keys(start, keys, &reached, release_key) == zem::KeysVerdict::accepted;
    if (accepted) {
        require(zem::walk_keys(reached, keys, &again, release_key_again) == zem::KeysVerdict::accepted &&
                    same(reached, again) && memcmp(release_key, release_key_again, sizeof release_key) == 0,
                "a walk is not accepted again from where it ended");
        zem::AcceptedKeys remembered;
        const std::string remembered_text = zem::accepted_keys_text(reached);
        require(zem::parse_accepted_keys(remembered_text.data(), remembered_text.size(), &remembered) &&
                    same(remembered, reached),
                "the remembered keys do not read back");
        if (reached.delegation_number != UINT64_MAX) {
            zem::AcceptedKeys later = reached;
            ++later.delegation_number;
            require(zem::walk_keys(later, keys, &again, release_key_again) == zem::KeysVerdict::delegation_replayed,
                    "an older delegation is not refused");
        }
    }

    // One byte of the delegation changed, where and how the input says.
    uint32_t seed = 2166136261u;
    for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
    std::string changed = text;
    const size_t delegation_start = text.size() - keys.delegation.text.size();
    changed[delegation_start + seed % keys.delegation.text.size()] ^= static_cast<char>(1 + (seed >> 16) % 255);
    zem::KeysText changed_keys;
    require(!zem::parse_keys_text(changed.data(), changed.size(), &changed_keys) ||
                zem::walk_keys(start, changed_keys, &again, release_key_again) != zem::KeysVerdict::accepted,
            "a keys text with its delegation changed is accepted");
    return 0;
}
