// Signed releases. The publisher signs each release with an ECDSA P-256
// key kept offline; the programs carry its public key, built in from the
// CMake cache variable ZEM_PUBLISHER_KEY. A build without a key signs and
// checks nothing.
//
// Two small signed texts travel beside the archives (same URL plus a
// suffix). Each is lines ending in '\n'; its last line is
// "signature <128 hex digits>\n", the ECDSA signature (r || s) of the
// SHA-256 of every byte before that line.
//
//   update archive + ".sig":        full archive + ".manifest":
//     ZEM update signature 1          ZEM manifest 1
//     version <version>               version <version>
//     sha256 <64 hex digits>          <64 hex digits> <size> <entry name>
//     signature <128 hex digits>      ... one line per file entry
//                                     signature <128 hex digits>
//
// The first line (the heading; below without its '\n') says what the text is, so that a signature of one kind is
// never taken for the other. Hex digits are lower case; sizes are decimal
// without leading zeros; the entry name is the archive's own, to the end
// of the line, and names in a manifest are unique.
#pragma once

#include "common/digests.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zem {

constexpr const char* update_signature_heading = "ZEM update signature 1";
constexpr const char* manifest_heading = "ZEM manifest 1";
constexpr const char* update_signature_suffix = ".sig";
constexpr const char* manifest_suffix = ".manifest";
// Where the updater keeps the update archive's signature while it checks.
constexpr const char* update_signature_path = "ZEM\\update-download.sig";
// The public key as text: 130 hex digits of the uncompressed point.
constexpr size_t public_key_text_length = 2 * ecdsa_public_key_size;
// The largest manifest the launcher reads (about 150,000 entries).
constexpr size_t manifest_size_limit = 16u * 1024 * 1024;

// The publisher's key built into this program (an old-style build, which
// checks every release against that one key). False when the build has
// none.
bool built_in_publisher_key(unsigned char public_key[ecdsa_public_key_size]);

// The root key built into this program (ZEM_ROOT_KEY: a rooted build, whose
// releases are signed by a release key that the root delegates; see
// common/key_chain.h). False when the build has none. A build has at most
// one of the two keys.
bool built_in_root_key(unsigned char public_key[ecdsa_public_key_size]);

// True when the build checks release signatures at all (either key).
bool release_signing_is_built_in();

// Reads a public key in its text form (130 hex digits of an uncompressed
// point, starting "04"); surrounding blanks and line ends are ignored.
bool parse_public_key(const char* text, unsigned char public_key[ecdsa_public_key_size]);

// True when the text ends with a signature line and that signature is the
// key's over everything before it; *signed_length then gives how much that
// is.
bool signed_text_verifies(const unsigned char public_key[ecdsa_public_key_size], const char* text, size_t length,
                          size_t* signed_length);

// "signature <128 hex digits>\n"
constexpr size_t signature_line_length = 10 + 2 * ecdsa_signature_size + 1;

// Reads the signature line that starts at line (it must be exactly
// signature_line_length bytes up to end, or more). False when it is not in
// that form (lower-case hex only).
bool read_signature_line(const char* line, const char* end, unsigned char signature[ecdsa_signature_size]);

// Moves *cursor past one line that starts with prefix; *value receives the
// rest of it, without its '\n'. False when the line does not start so, has
// no '\n' before end, or holds a control character.
bool read_text_line(const char** cursor, const char* end, const char* prefix, std::string* value);

// Reads exactly length lower-case hex digits into length / 2 bytes.
bool decode_lower_hex(const char* text, size_t length, unsigned char* bytes);

// A decimal number without leading zeros that fits 64 bits ("0" itself is
// one).
bool parse_decimal(const std::string& text, uint64_t* number);

// What an update archive's signature says, once verified.
struct UpdateSignature {
    std::string version;
    unsigned char archive_digest[sha256_digest_size];
};

// Verifies the signature text and reads it. False when it is not signed by
// the key, or is not exactly in the form above.
bool read_update_signature(const unsigned char public_key[ecdsa_public_key_size], const char* text, size_t length,
                           UpdateSignature* signature);

// The part of an update signature that is signed.
std::string update_signature_body(const std::string& version, const unsigned char archive_digest[sha256_digest_size]);

struct ManifestEntry {
    std::string name;  // the archive entry's name, as the archive has it
    uint64_t size = 0;
    unsigned char digest[sha256_digest_size];
};

// A verified manifest; entries sorted by name.
struct Manifest {
    std::string version;
    std::vector<ManifestEntry> entries;
};

// Verifies the manifest text and reads it. False when it is not signed by
// the key, is not exactly in the form above, or names an entry twice.
bool read_manifest(const unsigned char public_key[ecdsa_public_key_size], const char* text, size_t length,
                   Manifest* manifest);

// The entry of that name; null when the manifest has none.
const ManifestEntry* find_manifest_entry(const Manifest& manifest, const char* name);

// One entry line of a manifest (the publisher writes these after the
// heading and the version line).
std::string manifest_entry_line(const ManifestEntry& entry);

// The URL of the text that travels beside the archive at url: the suffix
// goes at the end of the path, before any query ("?...") or fragment.
std::string url_with_suffix(const char* url, const char* suffix);

}  // namespace zem
