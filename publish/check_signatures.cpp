// zem-publish check --public-key: the signed texts beside the archives,
// judged as programs built with that key judge them (common/
// release_signing.h reads them), and their content against the archive.
//
// Full archive: ARCHIVE.manifest is signed by the key and well formed;
// every manifest entry is a file entry of that size whose bytes have that
// SHA-256; every file entry of the archive is in the manifest.
// Update archive: ARCHIVE.sig is signed by the key and well formed; its
// digest is the archive's SHA-256 and its version the archive's own
// ZEM/release.json version.
#include "publish/publish.h"

#include "common/key_chain.h"
#include "common/release_signing.h"
#include "common/state_files.h"
#include "common/zip_reader.h"
#include "platform/platform.h"

#include <miniz.h>

#include <cstring>
#include <memory>
#include <set>

namespace zem {

// An update signature is three short lines and the signature line.
constexpr size_t update_signature_size_limit = 64 * 1024;

static size_t hash_extracted(void* opaque, mz_uint64, const void* data, size_t size) {
    return sha256_add(static_cast<Sha256State*>(opaque), data, size) ? size : 0;
}

// The SHA-256 of the entry's extracted bytes. False when it cannot be
// extracted (damaged data, a CRC-32 that does not match).
static bool sha256_of_entry(mz_zip_archive* zip, mz_uint index, unsigned char digest[sha256_digest_size]) {
    Sha256 hash = sha256_begin();
    return hash.is_open() && mz_zip_reader_extract_to_callback(zip, index, hash_extracted, hash.get(), 0) &&
           sha256_finish(hash.get(), digest);
}

// Reads the signed text beside the archive. False after adding the
// finding that says why there is none to judge.
static bool read_signed_text(const std::string& subject, const std::string& path, size_t limit, const char* rule_prefix,
                             const char* what_programs_do, std::vector<Finding>* findings, std::string* text,
                             const char* remedy = "Pack with --key, and upload it") {
    const ReadOutcome outcome = read_file_bytes(path, limit, text);
    if (outcome == ReadOutcome::read) return true;
    const std::string prefix(rule_prefix);
    if (outcome == ReadOutcome::missing) {
        findings->push_back({subject, "", prefix + "-missing",
                             "no " + path + " beside it: " + what_programs_do + ". " + remedy});
    } else if (outcome == ReadOutcome::too_large) {
        findings->push_back({subject, "", prefix + "-too-large",
                             path + " is larger than the programs read (" + std::to_string(limit) + " bytes): " +
                                 what_programs_do});
    } else {
        findings->push_back({subject, "", prefix + "-unreadable", path + " cannot be read"});
    }
    return false;
}

// Adds the finding for a signed text that read_manifest or
// read_update_signature refused: another key's (or damaged), or signed
// but not in its form.
static void add_refused_text_finding(const std::string& subject, const std::string& path, const std::string& text,
                                     const unsigned char public_key[ecdsa_public_key_size], const char* rule_prefix,
                                     const char* what_programs_do, std::vector<Finding>* findings) {
    size_t signed_length = 0;
    const std::string prefix(rule_prefix);
    if (!signed_text_verifies(public_key, text.data(), text.size(), &signed_length)) {
        findings->push_back({subject, "", prefix + "-bad-signature",
                             path + " is not signed by this key (another key, or changed since it was signed): " +
                                 what_programs_do});
    } else {
        findings->push_back({subject, "", prefix + "-malformed",
                             path + " is signed by this key but not in the form the programs read: " +
                                 what_programs_do});
    }
}

static void check_manifest(const std::string& subject, mz_zip_archive* zip,
                           const unsigned char public_key[ecdsa_public_key_size], std::vector<Finding>* findings) {
    const std::string path = subject + manifest_suffix;
    const char* refusal = "the launcher of a build with this key installs nothing from the archive";
    std::string text;
    if (!read_signed_text(subject, path, manifest_size_limit, "manifest", refusal, findings, &text)) return;
    Manifest manifest;
    if (!read_manifest(public_key, text.data(), text.size(), &manifest)) {
        add_refused_text_finding(subject, path, text, public_key, "manifest", refusal, findings);
        return;
    }
    std::set<std::string> found;
    const mz_uint count = mz_zip_reader_get_num_files(zip);
    for (mz_uint index = 0; index < count; ++index) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(zip, index, &entry) || entry.m_is_directory) continue;
        const std::string name(entry.m_filename);
        const ManifestEntry* listed = find_manifest_entry(manifest, name.c_str());
        if (listed == nullptr) {
            findings->push_back({subject, name, "entry-not-in-manifest",
                                 "the manifest does not list it: the launcher of a build with this key passes it "
                                 "over"});
            continue;
        }
        found.insert(name);
        if (listed->size != entry.m_uncomp_size) {
            findings->push_back({subject, name, "manifest-size-differs",
                                 "the manifest gives " + std::to_string(listed->size) + " bytes, the archive " +
                                     std::to_string(entry.m_uncomp_size) + ": the launcher refuses the file"});
            continue;
        }
        unsigned char digest[sha256_digest_size];
        if (!sha256_of_entry(zip, index, digest)) {
            findings->push_back({subject, name, "entry-damaged",
                                 "the entry cannot be extracted (damaged data or a wrong CRC-32)"});
        } else if (memcmp(digest, listed->digest, sizeof digest) != 0) {
            findings->push_back({subject, name, "manifest-digest-differs",
                                 "its bytes are not the ones the manifest's SHA-256 names: the launcher refuses "
                                 "the file"});
        }
    }
    for (const ManifestEntry& listed : manifest.entries) {
        if (found.count(listed.name) != 0) continue;
        findings->push_back({subject, listed.name, "manifest-entry-missing",
                             "the manifest lists it, but the archive has no such file entry"});
    }
}

// The version of the archive's own ZEM/release.json; empty when it has
// none the programs read (check_archive reports that).
static std::string archive_release_version(mz_zip_archive* zip) {
    const int index = mz_zip_reader_locate_file(zip, release_entry_name, nullptr, MZ_ZIP_FLAG_CASE_SENSITIVE);
    if (index < 0) return std::string();
    size_t size = 0;
    void* data = mz_zip_reader_extract_to_heap(zip, static_cast<mz_uint>(index), &size, 0);
    if (data == nullptr) return std::string();
    const std::string text(static_cast<const char*>(data), size);
    mz_free(data);
    char version[version_capacity] = "";
    extract_version(text.c_str(), version);
    return version;
}

static void check_update_signature(const std::string& subject, mz_zip_archive* zip,
                                   const unsigned char public_key[ecdsa_public_key_size],
                                   std::vector<Finding>* findings) {
    const std::string path = subject + update_signature_suffix;
    const char* refusal = "the updater of a build with this key does not install the update";
    std::string text;
    if (!read_signed_text(subject, path, update_signature_size_limit, "update-signature", refusal, findings, &text)) {
        return;
    }
    UpdateSignature signature;
    if (!read_update_signature(public_key, text.data(), text.size(), &signature)) {
        add_refused_text_finding(subject, path, text, public_key, "update-signature", refusal, findings);
        return;
    }
    unsigned char digest[sha256_digest_size];
    if (!sha256_of_file(subject.c_str(), digest, nullptr)) {
        findings->push_back({subject, "", "update-signature-unchecked", "the archive cannot be read to hash it"});
    } else if (memcmp(digest, signature.archive_digest, sizeof digest) != 0) {
        findings->push_back({subject, "", "update-signature-other-archive",
                             path + " signs another archive (SHA-256 " +
                                 encode_hex(signature.archive_digest, sizeof digest) + ", this one " +
                                 encode_hex(digest, sizeof digest) + "): " + refusal});
    }
    const std::string version = archive_release_version(zip);
    if (!version.empty() && version != signature.version) {
        findings->push_back({subject, release_entry_name, "update-signature-version-differs",
                             path + " signs version \"" + signature.version + "\", the archive's ZEM/release.json "
                                 "says \"" + version + "\""});
    }
}

bool check_keys_text(const std::string& keys_path, const unsigned char root_key[ecdsa_public_key_size],
                     std::vector<Finding>* findings, unsigned char release_key[ecdsa_public_key_size]) {
    const char* refusal = "the programs of a build with this root key install nothing of the release";
    std::string text;
    if (!read_signed_text(keys_path, keys_path, keys_text_size_limit, "keys", refusal, findings, &text,
                          "Pack with --key and --keys, and upload it")) {
        return false;
    }
    KeysText keys;
    if (!parse_keys_text(text.data(), text.size(), &keys)) {
        findings->push_back({keys_path, "", "keys-malformed",
                             "not a keys text in the form the programs read (root links with rising numbers, then "
                             "one delegation): " + std::string(refusal)});
        return false;
    }
    AcceptedKeys start, reached;
    memcpy(start.root_key, root_key, ecdsa_public_key_size);
    struct Refusal {
        KeysVerdict verdict;
        const char* rule;
        const char* why;
    } const refusals[] = {
        {KeysVerdict::link_not_signed, "keys-link-not-signed",
         "a root link is not signed by the root before it (the root key given, or the previous link's) and by "
         "the root it names"},
        {KeysVerdict::link_not_above, "keys-link-not-above", "a root link is numbered at or below the root it replaces"},
        {KeysVerdict::delegation_not_signed, "keys-delegation-not-signed",
         "the delegation is not signed by the root the links end at (another root, or changed since it was "
         "signed)"},
        {KeysVerdict::delegation_replayed, "keys-delegation-replayed", "the delegation is older than one accepted"},
    };
    const KeysVerdict verdict = walk_keys(start, keys, &reached, release_key);
    for (const Refusal& refused : refusals) {
        if (refused.verdict != verdict) continue;
        findings->push_back({keys_path, "", refused.rule, std::string(refused.why) + ": " + refusal});
        return false;
    }
    return true;
}

bool check_archive_signature(const char* path, ArchiveKind kind, const unsigned char public_key[ecdsa_public_key_size],
                             std::vector<Finding>* findings, std::string* error) {
    const std::string subject(path);
    mz_zip_archive zip_record;
    memset(&zip_record, 0, sizeof zip_record);
    if (!mz_zip_reader_init_file(&zip_record, system_path(path).c_str(), 0)) {
        *error = subject + ": not a zip archive the programs can read";
        return false;
    }
    ZipReader zip(&zip_record);
    if (kind == ArchiveKind::full) {
        check_manifest(subject, zip.get(), public_key, findings);
    } else {
        check_update_signature(subject, zip.get(), public_key, findings);
    }
    return true;
}

}  // namespace zem
