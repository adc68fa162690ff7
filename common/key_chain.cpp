// The keys text of a rooted build and the walk from the trusted root (see
// the header). Parsing is strict, as for every signed text: one text, one
// reading.
#include "common/key_chain.h"

#include "common/digests.h"
#include "common/release_signing.h"
#include "common/state_files.h"

#include <cstring>

namespace zem {

static bool read_key_line(const char** cursor, const char* end, const char* prefix,
                          unsigned char key[ecdsa_public_key_size]) {
    std::string value;
    return read_text_line(cursor, end, prefix, &value) && value.size() == 2 * ecdsa_public_key_size &&
           decode_lower_hex(value.data(), value.size(), key) && key[0] == 0x04;
}

static bool read_number_line(const char** cursor, const char* end, const char* prefix, uint64_t* number) {
    std::string value;
    return read_text_line(cursor, end, prefix, &value) && parse_decimal(value, number);
}

// Moves *cursor past one signature line.
static bool take_signature_line(const char** cursor, const char* end, unsigned char signature[ecdsa_signature_size]) {
    if (!read_signature_line(*cursor, end, signature)) return false;
    *cursor += signature_line_length;
    return true;
}

static bool starts_with_line(const char* cursor, const char* end, const char* heading) {
    const size_t length = strlen(heading);
    return static_cast<size_t>(end - cursor) > length && memcmp(cursor, heading, length) == 0 && cursor[length] == '\n';
}

// One text of heading, number line and key line: its body's digest, and
// the cursor after the body.
static bool read_keys_body(const char** cursor, const char* end, const char* heading, const char* key_prefix,
                           uint64_t* number, unsigned char key[ecdsa_public_key_size],
                           unsigned char body_digest[sha256_digest_size]) {
    const char* body = *cursor;
    std::string rest;
    if (!read_text_line(cursor, end, heading, &rest) || !rest.empty() ||
        !read_number_line(cursor, end, "number ", number) || *number == 0 ||
        !read_key_line(cursor, end, key_prefix, key)) {
        return false;
    }
    return sha256_of_bytes(body, static_cast<size_t>(*cursor - body), body_digest);
}

bool parse_keys_text(const char* text, size_t length, KeysText* keys) {
    const char* cursor = text;
    const char* end = text + length;
    KeysText read;
    while (starts_with_line(cursor, end, root_link_heading)) {
        const char* start = cursor;
        RootLink link;
        if (!read_keys_body(&cursor, end, root_link_heading, "root-key ", &link.number, link.root_key,
                            link.body_digest) ||
            !take_signature_line(&cursor, end, link.old_root_signature) ||
            !take_signature_line(&cursor, end, link.new_root_signature)) {
            return false;
        }
        if (!read.links.empty() && link.number <= read.links.back().number) return false;
        link.text.assign(start, cursor);
        read.links.push_back(std::move(link));
    }
    const char* start = cursor;
    Delegation& delegation = read.delegation;
    if (!read_keys_body(&cursor, end, delegation_heading, "release-key ", &delegation.number, delegation.release_key,
                        delegation.body_digest) ||
        !take_signature_line(&cursor, end, delegation.signature) || cursor != end) {
        return false;
    }
    delegation.text.assign(start, cursor);
    *keys = std::move(read);
    return true;
}

KeysVerdict walk_keys(const AcceptedKeys& start, const KeysText& keys, AcceptedKeys* reached,
                      unsigned char release_key[ecdsa_public_key_size]) {
    AcceptedKeys current = start;
    // The links up to the last one naming the starting root led to it.
    size_t first = 0;
    for (size_t i = 0; i < keys.links.size(); ++i) {
        if (memcmp(keys.links[i].root_key, start.root_key, ecdsa_public_key_size) == 0) first = i + 1;
    }
    for (size_t i = first; i < keys.links.size(); ++i) {
        const RootLink& link = keys.links[i];
        if (!ecdsa_p256_verify(current.root_key, link.body_digest, link.old_root_signature) ||
            !ecdsa_p256_verify(link.root_key, link.body_digest, link.new_root_signature)) {
            return KeysVerdict::link_not_signed;
        }
        if (link.number <= current.root_number) return KeysVerdict::link_not_above;
        memcpy(current.root_key, link.root_key, ecdsa_public_key_size);
        current.root_number = link.number;
    }
    const Delegation& delegation = keys.delegation;
    if (!ecdsa_p256_verify(current.root_key, delegation.body_digest, delegation.signature)) {
        return KeysVerdict::delegation_not_signed;
    }
    if (delegation.number < start.delegation_number) return KeysVerdict::delegation_replayed;
    current.delegation_number = delegation.number;
    *reached = current;
    memcpy(release_key, delegation.release_key, ecdsa_public_key_size);
    return KeysVerdict::accepted;
}

std::string root_link_body(uint64_t number, const unsigned char root_key[ecdsa_public_key_size]) {
    return std::string(root_link_heading) + "\nnumber " + std::to_string(number) + "\nroot-key " +
           encode_hex(root_key, ecdsa_public_key_size) + "\n";
}

std::string delegation_body(uint64_t number, const unsigned char release_key[ecdsa_public_key_size]) {
    return std::string(delegation_heading) + "\nnumber " + std::to_string(number) + "\nrelease-key " +
           encode_hex(release_key, ecdsa_public_key_size) + "\n";
}

std::string accepted_keys_text(const AcceptedKeys& keys) {
    return std::string(accepted_keys_heading) + "\nroot-key " + encode_hex(keys.root_key, ecdsa_public_key_size) +
           "\nroot-number " + std::to_string(keys.root_number) + "\ndelegation-number " +
           std::to_string(keys.delegation_number) + "\n";
}

bool parse_accepted_keys(const char* text, size_t length, AcceptedKeys* keys) {
    const char* cursor = text;
    const char* end = text + length;
    AcceptedKeys read;
    std::string rest;
    if (!read_text_line(&cursor, end, accepted_keys_heading, &rest) || !rest.empty() ||
        !read_key_line(&cursor, end, "root-key ", read.root_key) ||
        !read_number_line(&cursor, end, "root-number ", &read.root_number) ||
        !read_number_line(&cursor, end, "delegation-number ", &read.delegation_number) || cursor != end) {
        return false;
    }
    *keys = read;
    return true;
}

bool starting_keys(AcceptedKeys* keys) {
    AcceptedKeys start;
    if (!built_in_root_key(start.root_key)) return false;
    FileText text = read_whole_file(accepted_keys_path);
    AcceptedKeys remembered;
    if (text && parse_accepted_keys(text.get(), strlen(text.get()), &remembered)) start = remembered;
    *keys = start;
    return true;
}

bool remember_accepted_keys(const AcceptedKeys& keys) {
    create_state_folder();
    const std::string text = accepted_keys_text(keys);
    FileStream file(open_file(accepted_keys_temporary_path, "wb"));
    if (!file.is_open()) return false;
    const bool written = fwrite(text.data(), 1, text.size(), file.get()) == text.size() && flush_file_data(file.get());
    const bool closed = fclose(file.release()) == 0;
    if (!written || !closed || !move_replacing(accepted_keys_temporary_path, accepted_keys_path)) {
        delete_file(accepted_keys_temporary_path);
        return false;
    }
    flush_folder_entries(state_folder);
    return true;
}

static bool same_keys(const AcceptedKeys& a, const AcceptedKeys& b) {
    return memcmp(a.root_key, b.root_key, ecdsa_public_key_size) == 0 && a.root_number == b.root_number &&
           a.delegation_number == b.delegation_number;
}

bool release_key_of_this_build(const char* keys_text, size_t length,
                               unsigned char release_key[ecdsa_public_key_size]) {
    if (built_in_publisher_key(release_key)) return true;
    AcceptedKeys start;
    KeysText keys;
    if (!starting_keys(&start) || keys_text == nullptr || length > keys_text_size_limit ||
        !parse_keys_text(keys_text, length, &keys)) {
        return false;
    }
    AcceptedKeys reached;
    unsigned char delegated[ecdsa_public_key_size];
    if (walk_keys(start, keys, &reached, delegated) != KeysVerdict::accepted) return false;
    // Remembered as soon as the root's word is read: the release key it
    // retired is refused from now on, whatever this release turns out to be.
    if (!same_keys(start, reached)) remember_accepted_keys(reached);
    memcpy(release_key, delegated, ecdsa_public_key_size);
    return true;
}

}  // namespace zem
