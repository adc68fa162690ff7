// Reading and checking the publisher's signed texts (see the header for
// their form). Parsing is strict: anything that is not exactly the form
// is refused, so no two readings of one signed text are possible.
#include "common/release_signing.h"

#include "common/state_files.h"

#include <algorithm>
#include <cstring>

#ifndef ZEM_PUBLISHER_KEY
#define ZEM_PUBLISHER_KEY ""
#endif
#ifndef ZEM_ROOT_KEY
#define ZEM_ROOT_KEY ""
#endif

namespace zem {

static const char built_in_key_text[] = ZEM_PUBLISHER_KEY;
static const char built_in_root_key_text[] = ZEM_ROOT_KEY;
static const char signature_prefix[] = "signature ";
static_assert(signature_line_length == sizeof signature_prefix - 1 + 2 * ecdsa_signature_size + 1,
              "the signature line's length");

bool built_in_publisher_key(unsigned char public_key[ecdsa_public_key_size]) {
    return built_in_key_text[0] != '\0' && parse_public_key(built_in_key_text, public_key);
}

bool built_in_root_key(unsigned char public_key[ecdsa_public_key_size]) {
    return built_in_root_key_text[0] != '\0' && parse_public_key(built_in_root_key_text, public_key);
}

bool release_signing_is_built_in() {
    unsigned char public_key[ecdsa_public_key_size];
    return built_in_publisher_key(public_key) || built_in_root_key(public_key);
}

static bool is_blank_or_line_end(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool parse_public_key(const char* text, unsigned char public_key[ecdsa_public_key_size]) {
    const char* begin = text;
    while (is_blank_or_line_end(*begin)) ++begin;
    const char* end = begin + strlen(begin);
    while (end > begin && is_blank_or_line_end(end[-1])) --end;
    unsigned char decoded[ecdsa_public_key_size];
    if (static_cast<size_t>(end - begin) != public_key_text_length || !decode_hex(begin, public_key_text_length, decoded) ||
        decoded[0] != 0x04) {
        return false;
    }
    memcpy(public_key, decoded, sizeof decoded);
    return true;
}

// Only lower-case hex digits: one text, one spelling.
bool decode_lower_hex(const char* text, size_t length, unsigned char* bytes) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] >= 'A' && text[i] <= 'F') return false;
    }
    return decode_hex(text, length, bytes);
}

bool signed_text_verifies(const unsigned char public_key[ecdsa_public_key_size], const char* text, size_t length,
                          size_t* signed_length) {
    if (length < signature_line_length) return false;
    const size_t body_length = length - signature_line_length;
    const char* line = text + body_length;
    // The signature line starts a line of its own and ends the text.
    if (body_length > 0 && text[body_length - 1] != '\n') return false;
    unsigned char signature[ecdsa_signature_size];
    if (!read_signature_line(line, text + length, signature)) return false;

    unsigned char digest[sha256_digest_size];
    if (!sha256_of_bytes(text, body_length, digest)) return false;
    if (!ecdsa_p256_verify(public_key, digest, signature)) return false;
    *signed_length = body_length;
    return true;
}

bool read_signature_line(const char* line, const char* end, unsigned char signature[ecdsa_signature_size]) {
    if (static_cast<size_t>(end - line) < signature_line_length) return false;
    if (memcmp(line, signature_prefix, sizeof signature_prefix - 1) != 0 || line[signature_line_length - 1] != '\n') {
        return false;
    }
    return decode_lower_hex(line + sizeof signature_prefix - 1, 2 * ecdsa_signature_size, signature);
}

bool read_text_line(const char** cursor, const char* end, const char* prefix, std::string* value) {
    const size_t prefix_length = strlen(prefix);
    const char* line = *cursor;
    if (static_cast<size_t>(end - line) < prefix_length || memcmp(line, prefix, prefix_length) != 0) return false;
    const char* line_end = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (line_end == nullptr) return false;
    for (const char* p = line + prefix_length; p < line_end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) return false;
    }
    value->assign(line + prefix_length, line_end);
    *cursor = line_end + 1;
    return true;
}

static bool read_digest(const std::string& text, unsigned char digest[sha256_digest_size]) {
    return text.size() == 2 * sha256_digest_size && decode_lower_hex(text.data(), text.size(), digest);
}

bool parse_decimal(const std::string& text, uint64_t* number) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *number = value;
    return true;
}

// A version the state files can hold: 1 to 63 characters.
static bool version_is_usable(const std::string& version) {
    return !version.empty() && version.size() < version_capacity;
}

bool read_update_signature(const unsigned char public_key[ecdsa_public_key_size], const char* text, size_t length,
                           UpdateSignature* signature) {
    size_t signed_length = 0;
    if (!signed_text_verifies(public_key, text, length, &signed_length)) return false;
    const char* cursor = text;
    const char* end = text + signed_length;
    std::string heading, version, digest_text;
    UpdateSignature read;
    if (!read_text_line(&cursor, end, update_signature_heading, &heading) || !heading.empty() ||
        !read_text_line(&cursor, end, "version ", &version) || !version_is_usable(version) ||
        !read_text_line(&cursor, end, "sha256 ", &digest_text) || !read_digest(digest_text, read.archive_digest) ||
        cursor != end) {
        return false;
    }
    read.version = version;
    *signature = read;
    return true;
}

std::string update_signature_body(const std::string& version, const unsigned char archive_digest[sha256_digest_size]) {
    return std::string(update_signature_heading) + "\nversion " + version + "\nsha256 " +
           encode_hex(archive_digest, sha256_digest_size) + "\n";
}

// "<digest> <size> <name>": a decimal size without leading zeros that fits
// 64 bits, and a non-empty name.
static bool parse_entry_line(const std::string& line, ManifestEntry* entry) {
    const size_t digest_length = 2 * sha256_digest_size;
    if (line.size() < digest_length + 4 || line[digest_length] != ' ') return false;
    if (!decode_lower_hex(line.data(), digest_length, entry->digest)) return false;
    size_t at = digest_length + 1;
    const size_t size_begin = at;
    uint64_t size = 0;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
        const uint64_t digit = static_cast<uint64_t>(line[at] - '0');
        if (size > (UINT64_MAX - digit) / 10) return false;
        size = size * 10 + digit;
    }
    const size_t size_length = at - size_begin;
    if (size_length == 0 || (size_length > 1 && line[size_begin] == '0')) return false;
    if (at + 1 >= line.size() || line[at] != ' ') return false;
    entry->size = size;
    entry->name = line.substr(at + 1);
    return true;
}

static bool by_name(const ManifestEntry& a, const ManifestEntry& b) {
    return a.name < b.name;
}

bool read_manifest(const unsigned char public_key[ecdsa_public_key_size], const char* text, size_t length,
                   Manifest* manifest) {
    size_t signed_length = 0;
    if (!signed_text_verifies(public_key, text, length, &signed_length)) return false;
    const char* cursor = text;
    const char* end = text + signed_length;
    std::string heading;
    Manifest read;
    if (!read_text_line(&cursor, end, manifest_heading, &heading) || !heading.empty() ||
        !read_text_line(&cursor, end, "version ", &read.version) || !version_is_usable(read.version)) {
        return false;
    }
    std::string line;
    while (cursor != end) {
        ManifestEntry entry;
        if (!read_text_line(&cursor, end, "", &line) || !parse_entry_line(line, &entry)) return false;
        read.entries.push_back(std::move(entry));
    }
    std::sort(read.entries.begin(), read.entries.end(), by_name);
    for (size_t i = 1; i < read.entries.size(); ++i) {
        if (read.entries[i - 1].name == read.entries[i].name) return false;
    }
    *manifest = std::move(read);
    return true;
}

const ManifestEntry* find_manifest_entry(const Manifest& manifest, const char* name) {
    ManifestEntry key;
    key.name = name;
    auto found = std::lower_bound(manifest.entries.begin(), manifest.entries.end(), key, by_name);
    if (found == manifest.entries.end() || found->name != key.name) return nullptr;
    return &*found;
}

std::string manifest_entry_line(const ManifestEntry& entry) {
    return encode_hex(entry.digest, sha256_digest_size) + " " + std::to_string(entry.size) + " " + entry.name + "\n";
}

std::string url_with_suffix(const char* url, const char* suffix) {
    const std::string text = url;
    const size_t path_end = text.find_first_of("?#");
    if (path_end == std::string::npos) return text + suffix;
    return text.substr(0, path_end) + suffix + text.substr(path_end);
}

}  // namespace zem
