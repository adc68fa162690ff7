// The signed manifest of the full archive, for a launcher built with the
// publisher's key: fetched before anything is written, checked against the
// archive's central directory, and used to judge every file the installer
// writes or passes over.
#include "launcher/launcher.h"

#include "common/digests.h"
#include "common/zip_reader.h"
#include "launcher/ranged_reader.h"
#include "platform/platform.h"

#include <miniz.h>

#include <cstring>
#include <string>

namespace zem {

constexpr size_t manifest_read_piece = 65536;

ManifestFetch fetch_release_manifest(const unsigned char public_key[ecdsa_public_key_size], Manifest* manifest) {
    const std::string url = url_with_suffix(remote_archive.url, manifest_suffix);
    HttpRequest request = http_open_url(remote_archive.client.get(), url.c_str(), "");
    if (!request.is_open()) return ManifestFetch::unreachable;
    if (http_status_code(request.get()) != 200 || http_content_length(request.get()) > manifest_size_limit) {
        return ManifestFetch::not_signed;
    }
    std::string text;
    for (;;) {
        const size_t old_size = text.size();
        text.resize(old_size + manifest_read_piece);
        size_t got = 0;
        if (!http_read(request.get(), &text[old_size], manifest_read_piece, &got)) return ManifestFetch::unreachable;
        text.resize(old_size + got);
        if (got == 0) break;
        if (text.size() > manifest_size_limit) return ManifestFetch::not_signed;
    }
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
