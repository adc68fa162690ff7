// Rooted builds: the key built into the programs (ZEM_ROOT_KEY) is a root
// key that signs nothing but delegations, kept offline. Releases are signed
// by a release key that the root delegates, so a release key can be
// rotated or retired, and the root itself replaced, without new programs.
//
// The server serves one keys text beside the release ("files/" +
// keys_file_name): every root link in order, then one delegation. Each is
// lines ending in '\n', numbers decimal without leading zeros and at least
// 1, keys 130 lower-case hex digits, signatures as in release_signing.h:
//
//   root link (a new root):         delegation (the release key):
//     ZEM root 1                      ZEM delegation 1
//     number <N>                      number <N>
//     root-key <130 hex digits>       release-key <130 hex digits>
//     signature <by the old root>     signature <by the current root>
//     signature <by the new root>
//
// Both signatures of a link sign the same body (its first three lines); the
// new root's proves that the key it names is held. Link numbers rise from
// link to link.
//
// The walk starts from the root the programs trust: the one they remember
// in accepted_keys_path, or the built-in one (number 0) when nothing is
// remembered. The links up to and including the last one that names that
// root brought the programs to it and are passed over; every later link
// must be signed by the root before it, numbered above it, and becomes the
// root. The delegation must be signed by the root the walk ends at and be
// numbered at or above the highest delegation number remembered: a server
// cannot bring back a retired release key or root.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zem {

constexpr const char* root_link_heading = "ZEM root 1";
constexpr const char* delegation_heading = "ZEM delegation 1";
// In the server's files/ folder, for both programs.
constexpr const char* keys_file_name = "frolix-rewrite.keys";
// Where the updater keeps the keys text while it checks an update.
constexpr const char* keys_download_path = "ZEM\\update-download.keys";
// What the programs remember of the keys they accepted, and the file it is
// written to first.
constexpr const char* accepted_keys_path = "ZEM\\keys-accepted";
constexpr const char* accepted_keys_temporary_path = "ZEM\\keys-accepted.new";
constexpr const char* accepted_keys_heading = "ZEM keys accepted 1";
// The largest keys text the programs read (over a hundred root links).
constexpr size_t keys_text_size_limit = 64 * 1024;

struct RootLink {
    uint64_t number = 0;
    unsigned char root_key[ecdsa_public_key_size];
    unsigned char body_digest[sha256_digest_size];
    unsigned char old_root_signature[ecdsa_signature_size];
    unsigned char new_root_signature[ecdsa_signature_size];
    std::string text;  // the whole link, signatures included
};

struct Delegation {
    uint64_t number = 0;
    unsigned char release_key[ecdsa_public_key_size];
    unsigned char body_digest[sha256_digest_size];
    unsigned char signature[ecdsa_signature_size];
    std::string text;
};

struct KeysText {
    std::vector<RootLink> links;
    Delegation delegation;
};

// Reads a keys text in exactly the form above; no signature is checked
// yet. False for anything else (link numbers that do not rise included).
bool parse_keys_text(const char* text, size_t length, KeysText* keys);

// The root a walk starts from, or has reached, and the highest delegation
// number accepted.
struct AcceptedKeys {
    unsigned char root_key[ecdsa_public_key_size];
    uint64_t root_number = 0;
    uint64_t delegation_number = 0;
};

enum class KeysVerdict {
    accepted,
    link_not_signed,          // a link lacks the previous root's or its own new root's signature
    link_not_above,           // a link numbered at or below the root it would replace
    delegation_not_signed,    // the delegation is not signed by the root the walk ends at
    delegation_replayed,      // the delegation is numbered below the one accepted before
};

// Walks the keys from start (above); on acceptance *reached holds the root
// the walk ended at and the delegation's number, and release_key the
// delegated key. Nothing is written otherwise.
KeysVerdict walk_keys(const AcceptedKeys& start, const KeysText& keys, AcceptedKeys* reached,
                      unsigned char release_key[ecdsa_public_key_size]);

// The bodies the publisher signs.
std::string root_link_body(uint64_t number, const unsigned char root_key[ecdsa_public_key_size]);
std::string delegation_body(uint64_t number, const unsigned char release_key[ecdsa_public_key_size]);

// The remembered keys' text and its reading (exactly this form):
//   ZEM keys accepted 1 / root-key <130 hex> / root-number <N> /
//   delegation-number <N>
std::string accepted_keys_text(const AcceptedKeys& keys);
bool parse_accepted_keys(const char* text, size_t length, AcceptedKeys* keys);

// Where this build's walk starts: the remembered keys, or the built-in root
// with both numbers 0 when the file is missing or not in its form. False
// when the build has no root key.
bool starting_keys(AcceptedKeys* keys);

// Writes the remembered keys: to the temporary file, flushed, then moved
// over the file, so that a power cut leaves the old or the new one whole.
// False when that fails (the walk then starts from the older one again).
bool remember_accepted_keys(const AcceptedKeys& keys);

// The key that must have signed a release's texts, for a build that checks
// signatures. An old-style build: its publisher key, whatever the keys text
// (which may be null). A rooted build: the release key the keys text
// delegates, walked from starting_keys, and the walk remembered when it
// moved on. False when the build checks nothing, the keys text is null or
// not in its form, or the walk refuses it.
bool release_key_of_this_build(const char* keys_text, size_t length,
                               unsigned char release_key[ecdsa_public_key_size]);

}  // namespace zem
