// The signed manifest of the full archive, for a launcher built with the
// publisher's key: fetched before anything is written, checked against the
// archive's central directory, and used to judge every file the installer
// writes or passes over.
#include "launcher/launcher.h"

#include "common/digests.h"
#include "common/key_chain.h"
#include "common/server.h"
#include "common/zip_reader.h"
#include "launcher/ranged_reader.h"
#include "platform/platform.h"

#include <miniz.h>

#include <cstring>
#include <string>

namespace zem {

constexpr size_t manifest_read_piece = 65536;

// One small text over the launcher's client, at most limit bytes; verified
// here means read whole (its signature is checked by the caller).
static ManifestFetch fetch_text(const char* url, size_t limit, std::string* text) {
    HttpRequest request = http_open_url(remote_archive.client.get(), url, "");
    if (!request.is_open()) return ManifestFetch::unreachable;
    if (http_status_code(request.get()) != 200 || http_content_length(request.get()) > limit) {
        return ManifestFetch::not_signed;
    }
    std::string read;
    for (;;) {
        const size_t old_size = read.size();
        read.resize(old_size + manifest_read_piece);
        size_t got = 0;
        if (!http_read(request.get(), &read[old_size], manifest_read_piece, &got)) return ManifestFetch::unreachable;
        read.resize(old_size + got);
        if (got == 0) break;
        if (read.size() > limit) return ManifestFetch::not_signed;
    }
    text->swap(read);
    return ManifestFetch::verified;
}

ManifestFetch fetch_release_manifest(Manifest* manifest) {
    unsigned char public_key[ecdsa_public_key_size];
    std::string keys;
    if (built_in_root_key(public_key)) {
        const ManifestFetch fetched = fetch_text(keys_url, keys_text_size_limit, &keys);
        if (fetched != ManifestFetch::verified) return fetched;
    }
    if (!release_key_of_this_build(keys.data(), keys.size(), public_key)) return ManifestFetch::not_signed;
    const std::string url = url_with_suffix(remote_archive.url, manifest_suffix);
    std::string text;
    const ManifestFetch fetched = fetch_text(url.c_str(), manifest_size_limit, &text);
    if (fetched != ManifestFetch::verified) return fetched;
    return read_manifest(public_key, text.data(), text.size(), manifest) ? ManifestFetch::verified
                                                                         : ManifestFetch::not_signed;
}

bool manifest_matches_archive(const Manifest& manifest, mz_zip_archive* zip) {
    std::vector<bool> found(manifest.entries.size(), false);
    const mz_uint entry_count = mz_zip_reader_get_num_files(zip);
    for (mz_uint index = 0; index < entry_count; ++index) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(zip, index, &entry)) return false;
        if (entry.m_is_directory) continue;
        const ManifestEntry* signed_entry = find_manifest_entry(manifest, entry.m_filename);
        if (signed_entry == nullptr) continue;  // passed over when installing
        if (signed_entry->size != entry.m_uncomp_size) return false;
        found[static_cast<size_t>(signed_entry - manifest.entries.data())] = true;
    }
    for (bool entry_found : found) {
        if (!entry_found) return false;
    }
    return true;
}

bool file_matches_manifest_entry(const char* local_path, const ManifestEntry& entry) {
    if (file_size_on_disk(local_path) != entry.size) return false;
    unsigned char digest[sha256_digest_size];
    uint64_t hashed = 0;
    return sha256_of_file(local_path, digest, &hashed) && hashed == entry.size &&
           memcmp(digest, entry.digest, sha256_digest_size) == 0;
}

}  // namespace zem
