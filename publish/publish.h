// zem-publish: the publisher's tool. It makes a release from a game folder
// (pack), checks archives against the rules the two programs apply (check)
// and tries a deployed server the way the programs use it (probe). Every
// rule it checks is the clients' own, from common/ and launcher/.
#pragma once

#include "publish/publish_platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zem {

// ---------------------------------------------------------------- command line

// The exit statuses of every subcommand.
enum class PublishStatus { ok = 0, findings = 1, usage_or_io_error = 2 };

int run_publish(int argc, char** argv);

// ---------------------------------------------------------------- release layout

constexpr const char* full_archive_name = "frolix-rewrite.zip";
constexpr const char* update_archive_name = "frolix-rewrite-update.zip";
constexpr const char* release_description_name = "release.json";
constexpr const char* release_files_folder = "files";
// Entry names inside both archives (zip names, '/' separated).
constexpr const char* release_entry_name = "ZEM/release.json";
constexpr const char* removal_list_entry_name = "ZEM/removed.txt";
constexpr const char* game_executable_entry_name =
    "Frolix_Multiplayer/Binaries/Win64/Frolix_Multiplayer-Win64-Shipping.exe";
constexpr const char* batch_file_entry_name = "ZEM-Play.bat";

// One thing the clients would not do as the publisher expects, or one
// thing the server does wrong. rule is a short stable name for CI.
struct Finding {
    std::string subject;  // archive path or URL
    std::string entry;    // entry name, removal-list line or request; may be empty
    std::string rule;
    std::string message;
};

// Prints findings as lines for a person ("subject: entry: message [rule]"),
// each after prefix (pack's notices: "notice: ").
void print_findings(const std::vector<Finding>& findings, const char* prefix = "");

// JSON string literal of text (quotes included). Bytes that are not valid
// UTF-8 come out as \u00XX, so the output is always valid JSON.
std::string json_string(const std::string& text);

// The findings as a JSON array of objects {subject, entry, rule, message}.
std::string json_findings(const std::vector<Finding>& findings);

// A progress line on standard error, rewritten in place; ended by
// progress_done. Nothing is shown when quiet.
void show_progress(const char* what, uint64_t done, uint64_t total, bool quiet);
void progress_done(bool quiet);

// ---------------------------------------------------------------- check

// True for well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF): the Windows programs read entry names as UTF-8.
bool is_valid_utf8(const std::string& text);

// The key under which Windows sees one file: ASCII letters in one case,
// one kind of separator.
std::string folding_key(const std::string& name);

enum class ArchiveKind { full, update };

// "update" when the file name ends in "-update.zip" (any case), else "full".
ArchiveKind archive_kind_from_name(const char* path);

// Adds a finding for every rule of the clients the archive breaks. False
// (error set) only when the archive cannot be read at all; findings then
// hold nothing for it.
bool check_archive(const char* path, ArchiveKind kind, std::vector<Finding>* findings, std::string* error);

// The removal list's text checked line by line with the updater's own
// rules; comments and blank lines are fine.
void check_removal_list(const std::string& subject, const char* text, size_t length,
                        std::vector<Finding>* findings);

// Why the updater refuses a removal-list line, in words (the shared
// parse_removal_line decides; this only names the rule).
const char* removal_line_refusal_reason(const char* line, size_t length);

// ---------------------------------------------------------------- pack

struct PublisherKey;

struct PackOptions {
    std::string game_folder;
    std::string version;
    std::string base;  // a previous release's folder or full archive; may be empty
    std::string out_folder;
    unsigned threads = 0;  // 0: one per core
    bool quiet = false;
    // With a key, pack also signs the release: the full archive's manifest
    // and the update archive's signature (common/release_signing.h).
    const PublisherKey* key = nullptr;
    // A rooted release: the keys text that delegates to key, put beside
    // the archives as frolix-rewrite.keys (empty: none, and one left by an
    // earlier pack is deleted).
    std::string keys_text;
};

struct PackReport {
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t deflated_files = 0;
    uint64_t full_archive_size = 0;
    uint64_t update_archive_size = 0;
    uint64_t update_files = 0;
    uint64_t removed_lines = 0;
    // What the release cannot carry or the removal list cannot express, a
    // signed version that players of the base would refuse, and the
    // archives' check: findings.
    std::vector<Finding> notes;
    // What leaves the release as the publisher meant (an empty folder:
    // the programs make folders only for files), printed but no finding
    // unless the command line asks for --strict.
    std::vector<Finding> notices;
};

// Writes files/frolix-rewrite.zip, files/frolix-rewrite-update.zip and
// files/release.json under out_folder (with a key, also
// frolix-rewrite.zip.manifest and frolix-rewrite-update.zip.sig; without
// one, it deletes such files left from an earlier pack, which would not
// match the new archives). False (error set) on bad input or
// an I/O failure; nothing half-written is left under the final names.
bool pack_release(const PackOptions& options, PackReport* report, std::string* error);

// True for a version the clients read back whole: 1 to 63 characters, no
// '"', '\' or control characters (DEL included: a signed text refuses it).
bool version_is_publishable(const std::string& version);

// Writes text to path, replacing any file there; false when it cannot be
// opened, written whole or closed.
bool write_text_file(const std::string& path, const std::string& text);

// ---------------------------------------------------------------- signing

// The publisher's private key file (text, lower-case hex):
//   ZEM publisher private key 1
//   private <64 hex digits: the scalar>
//   public <130 hex digits: the uncompressed point>
// keygen writes it beside NAME.public, which holds the public key's 130
// hex digits and a line end: the value of the CMake variable
// ZEM_PUBLISHER_KEY.
// A root key's file (keygen NAME --root) has the same form under its own
// heading, so that neither kind is ever used for the other: a root key
// signs only delegations and root links, a release key only releases.
// An old-style publisher key is a release key.
constexpr const char* private_key_heading = "ZEM publisher private key 1";
constexpr const char* root_private_key_heading = "ZEM root private key 1";
constexpr const char* public_key_file_suffix = ".public";

enum class KeyKind { release, root };

struct PublisherKey {
    unsigned char private_key[ecdsa_private_key_size];
    unsigned char public_key[ecdsa_public_key_size];
};

// Makes a key pair and writes it to name (mode 0600 on POSIX) and
// name.public. False (error set) when either file exists (a key is never
// overwritten), the system cannot make a key, or a write fails; a failed
// write leaves neither file behind.
bool make_key_files(const std::string& name, PublisherKey* key, std::string* error,
                    KeyKind kind = KeyKind::release);

// Reads a private key file: exactly the form above, with a public part
// that belongs to the private one (a test signature verifies), of the
// kind asked for. False (error set) otherwise.
bool read_private_key_file(const std::string& path, PublisherKey* key, std::string* error,
                           KeyKind kind = KeyKind::release);

// The public key for check: its 130 hex digits, or a file holding them
// (NAME.public). False when it is neither.
bool read_public_key_argument(const std::string& argument, unsigned char public_key[ecdsa_public_key_size]);

// body followed by its signature line, "signature <128 hex digits>\n",
// the key's signature of the SHA-256 of body. False (error set) when the
// system cannot sign.
bool sign_text(const PublisherKey& key, const std::string& body, std::string* text, std::string* error);

// The texts of a rooted release's keys (common/key_chain.h), each read back
// as the programs read it before it is handed out. False (error set) when
// the system cannot sign.
// A delegation of release_key, signed by the root.
bool make_delegation(const PublisherKey& root, uint64_t number, const unsigned char release_key[ecdsa_public_key_size],
                     std::string* text, std::string* error);
// A root link to new_root, signed by old_root and then by new_root.
bool make_root_link(const PublisherKey& old_root, const PublisherKey& new_root, uint64_t number, std::string* text,
                    std::string* error);

enum class ReadOutcome { read, missing, too_large, unreadable };

// The whole file as bytes, when it holds at most limit of them.
ReadOutcome read_file_bytes(const std::string& path, size_t limit, std::string* bytes);

// The signature checks of check --public-key: for a full archive its
// manifest (ARCHIVE.manifest) against every entry; for an update archive
// its signature (ARCHIVE.sig) against the archive's SHA-256 and version.
// Adds findings; false (error set) only when the archive cannot be read.
bool check_archive_signature(const char* path, ArchiveKind kind, const unsigned char public_key[ecdsa_public_key_size],
                             std::vector<Finding>* findings, std::string* error);

// The keys text beside the archives (KEYS_FOLDER/frolix-rewrite.keys),
// walked from root_key as a rooted build that remembers nothing walks it.
// Adds findings (under the keys text's path) and returns false when it
// cannot be used; otherwise release_key is the key it delegates.
bool check_keys_text(const std::string& keys_path, const unsigned char root_key[ecdsa_public_key_size],
                     std::vector<Finding>* findings, unsigned char release_key[ecdsa_public_key_size]);

// ---------------------------------------------------------------- probe

struct ProbeOptions {
    std::string base_url;     // https://..., no trailing slash needed
    std::string local_folder; // pack's OUT_DIR, to compare bytes; may be empty
    bool quiet = false;       // no progress line for the update archive's download
};

// Tries the server as the clients would. False (error set) for a bad URL
// or an unreadable local folder; everything the server does wrong is a
// finding.
bool probe_release(const ProbeOptions& options, std::vector<Finding>* findings, std::vector<std::string>* passed,
                   std::string* error);

}  // namespace zem
