// The publisher's key: keygen's two files, reading the private one back,
// and signing a text the way common/release_signing.h reads it.
#include "publish/publish.h"

#include "common/key_chain.h"
#include "common/release_signing.h"
#include "platform/platform.h"
#include "publish/publish_platform.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace zem {

static const char* key_heading(KeyKind kind) {
    return kind == KeyKind::root ? root_private_key_heading : private_key_heading;
}

// A private key file is exactly this long: heading, two lines, line ends.
static size_t private_key_file_size(KeyKind kind) {
    return strlen(key_heading(kind)) + 1 + strlen("private \n") + 2 * ecdsa_private_key_size + strlen("public \n") +
           2 * ecdsa_public_key_size;
}
// A NAME.public file: the digits, maybe a line end, maybe blanks.
constexpr size_t public_key_file_limit = 4096;

// Overwrites key material before its memory is given back.
static void wipe(void* data, size_t size) {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

ReadOutcome read_file_bytes(const std::string& path, size_t limit, std::string* bytes) {
    FileStream file(open_file(path.c_str(), "rb"));
    if (!file.is_open()) {
        return path_kind(path.c_str()) == PathKind::missing ? ReadOutcome::missing : ReadOutcome::unreadable;
    }
    // Read up to one byte past the limit: no size query, so a link to the
    // file (a key on removable media) reads like the file.
    std::string read;
    char buffer[64 * 1024];
    for (;;) {
        const size_t got = fread(buffer, 1, sizeof buffer, file.get());
        if (got == 0) break;
        if (read.size() + got > limit) return ReadOutcome::too_large;
        read.append(buffer, got);
    }
    if (ferror(file.get())) return ReadOutcome::unreadable;  // a folder, among others
    bytes->swap(read);
    return ReadOutcome::read;
}

bool sign_text(const PublisherKey& key, const std::string& body, std::string* text, std::string* error) {
    unsigned char digest[sha256_digest_size];
    if (!sha256_of_bytes(body.data(), body.size(), digest)) {
        *error = "SHA-256 is not available";
        return false;
    }
    unsigned char signature[ecdsa_signature_size];
    if (!ecdsa_p256_sign(key.private_key, key.public_key, digest, signature, error)) return false;
    *text = body + "signature " + encode_hex(signature, sizeof signature) + "\n";
    return true;
}

// True when the public part belongs to the private part: a signature made
// with the pair verifies with the public key alone, as the programs check.
static bool key_pair_matches(const PublisherKey& key, std::string* error) {
    std::string text;
    size_t signed_length = 0;
    if (!sign_text(key, "ZEM publisher key check\n", &text, error)) return false;
    if (!signed_text_verifies(key.public_key, text.data(), text.size(), &signed_length)) {
        *error = "a signature made with it does not verify with its public part";
        return false;
    }
    return true;
}

static std::string private_key_text(const PublisherKey& key, KeyKind kind) {
    return std::string(key_heading(kind)) + "\nprivate " + encode_hex(key.private_key, ecdsa_private_key_size) +
           "\npublic " + encode_hex(key.public_key, ecdsa_public_key_size) + "\n";
}

// Writes text to a file that must not exist; the close's result counts.
static bool write_new_file(const std::string& path, const std::string& text, bool owner_only) {
    FileStream file(create_new_file(path.c_str(), owner_only));
    if (!file.is_open()) return false;
    if (fwrite(text.data(), 1, text.size(), file.get()) != text.size()) return false;
    FILE* stream = file.release();
    const bool flushed = flush_file_data(stream);
    return fclose(stream) == 0 && flushed;
}

bool make_key_files(const std::string& name, PublisherKey* key, std::string* error, KeyKind kind) {
    const std::string public_name = name + public_key_file_suffix;
    for (const std::string* path : {&name, &public_name}) {
        if (path_kind(path->c_str()) != PathKind::missing) {
            *error = *path + " exists: keygen never overwrites a key (choose another NAME)";
            return false;
        }
    }
    PublisherKey made;
    if (!ecdsa_p256_generate(made.private_key, made.public_key, error)) return false;
    if (!key_pair_matches(made, error)) {
        wipe(&made, sizeof made);
        *error = "the new key does not work: " + *error;
        return false;
    }
    std::string text = private_key_text(made, kind);
    const bool written = write_new_file(name, text, true);
    wipe(&text[0], text.size());
    if (!written) {
        // Ours alone when it was created (it did not exist a moment ago).
        if (path_kind(name.c_str()) == PathKind::file) delete_file(name.c_str());
        wipe(&made, sizeof made);
        *error = "cannot write " + name;
        return false;
    }
    if (!write_new_file(public_name, encode_hex(made.public_key, ecdsa_public_key_size) + "\n", false)) {
        if (path_kind(public_name.c_str()) == PathKind::file) delete_file(public_name.c_str());
        delete_file(name.c_str());
        wipe(&made, sizeof made);
        *error = "cannot write " + public_name;
        return false;
    }
    *key = made;
    wipe(&made, sizeof made);
    return true;
}

// Moves *cursor past "<prefix><length lower-case hex digits>\n" and
// decodes the digits. False when the text is not so.
static bool read_hex_line(const char** cursor, const char* end, const char* prefix, size_t length,
                          unsigned char* bytes) {
    const size_t prefix_length = strlen(prefix);
    const char* line = *cursor;
    if (static_cast<size_t>(end - line) < prefix_length + length + 1) return false;
    if (memcmp(line, prefix, prefix_length) != 0 || line[prefix_length + length] != '\n') return false;
    for (size_t i = 0; i < length; ++i) {
        const char c = line[prefix_length + i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    if (!decode_hex(line + prefix_length, length, bytes)) return false;
    *cursor = line + prefix_length + length + 1;
    return true;
}

// The private key file's text, exactly in its form.
static bool parse_private_key_text(const std::string& text, KeyKind kind, PublisherKey* key) {
    const std::string heading = std::string(key_heading(kind)) + "\n";
    if (text.size() != private_key_file_size(kind) || text.compare(0, heading.size(), heading) != 0) return false;
    const char* cursor = text.data() + heading.size();
    const char* end = text.data() + text.size();
    return read_hex_line(&cursor, end, "private ", 2 * ecdsa_private_key_size, key->private_key) &&
           read_hex_line(&cursor, end, "public ", 2 * ecdsa_public_key_size, key->public_key) && cursor == end &&
           key->public_key[0] == 0x04;
}

// The heading line of the other kind of key file: said so in the error.
static bool starts_as_other_kind(const std::string& text, KeyKind kind) {
    const std::string other = std::string(key_heading(kind == KeyKind::root ? KeyKind::release : KeyKind::root)) + "\n";
    return text.compare(0, other.size(), other) == 0;
}

bool read_private_key_file(const std::string& path, PublisherKey* key, std::string* error, KeyKind kind) {
    std::string text;
    const size_t limit = std::max(private_key_file_size(KeyKind::root), private_key_file_size(KeyKind::release));
    const ReadOutcome outcome = read_file_bytes(path, limit, &text);
    if (outcome == ReadOutcome::missing) {
        *error = "no private key file at " + path;
        return false;
    }
    if (outcome == ReadOutcome::unreadable) {
        *error = "cannot read the private key file " + path;
        return false;
    }
    PublisherKey read;
    const bool formed = outcome == ReadOutcome::read && parse_private_key_text(text, kind, &read);
    const bool other_kind = !formed && outcome == ReadOutcome::read && starts_as_other_kind(text, kind);
    if (!text.empty()) wipe(&text[0], text.size());
    if (other_kind) {
        wipe(&read, sizeof read);
        *error = kind == KeyKind::root ? path + " is a release key, not a root key (keygen NAME --root makes one)"
                                       : path + " is a root key: it signs only delegations and root links, never a "
                                                "release (sign with a release key that the root delegates)";
        return false;
    }
    if (!formed) {
        wipe(&read, sizeof read);
        *error = path + " is not a private key file of zem-publish keygen (\"" + key_heading(kind) +
                 "\", a \"private\" and a \"public\" line)";
        return false;
    }
    if (!key_pair_matches(read, error)) {
        wipe(&read, sizeof read);
        *error = "the private key file " + path + " is damaged: " + *error;
        return false;
    }
    *key = read;
    wipe(&read, sizeof read);
    return true;
}

bool make_delegation(const PublisherKey& root, uint64_t number, const unsigned char release_key[ecdsa_public_key_size],
                     std::string* text, std::string* error) {
    std::string made;
    if (!sign_text(root, delegation_body(number, release_key), &made, error)) return false;
    KeysText keys;
    AcceptedKeys start, reached;
    memcpy(start.root_key, root.public_key, ecdsa_public_key_size);
    unsigned char delegated[ecdsa_public_key_size];
    if (!parse_keys_text(made.data(), made.size(), &keys) ||
        walk_keys(start, keys, &reached, delegated) != KeysVerdict::accepted) {
        *error = "the delegation does not verify with the root's public part";
        return false;
    }
    text->swap(made);
    return true;
}

bool make_root_link(const PublisherKey& old_root, const PublisherKey& new_root, uint64_t number, std::string* text,
                    std::string* error) {
    const std::string body = root_link_body(number, new_root.public_key);
    std::string by_old, by_new;
    if (!sign_text(old_root, body, &by_old, error) || !sign_text(new_root, body, &by_new, error)) return false;
    std::string made = by_old + by_new.substr(body.size());
    // Read back with a delegation after it, as the programs read a link.
    std::string delegation;
    if (!make_delegation(new_root, 1, new_root.public_key, &delegation, error)) return false;
    KeysText keys;
    AcceptedKeys start, reached;
    memcpy(start.root_key, old_root.public_key, ecdsa_public_key_size);
    unsigned char delegated[ecdsa_public_key_size];
    const std::string whole = made + delegation;
    if (!parse_keys_text(whole.data(), whole.size(), &keys) ||
        walk_keys(start, keys, &reached, delegated) != KeysVerdict::accepted) {
        *error = "the root link does not verify with the two roots' public parts";
        return false;
    }
    text->swap(made);
    return true;
}

bool read_public_key_argument(const std::string& argument, unsigned char public_key[ecdsa_public_key_size]) {
    if (parse_public_key(argument.c_str(), public_key)) return true;
    std::string text;
    if (read_file_bytes(argument, public_key_file_limit, &text) != ReadOutcome::read) return false;
    if (text.find('\0') != std::string::npos) return false;
    return parse_public_key(text.c_str(), public_key);
}

}  // namespace zem
