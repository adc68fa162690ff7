// zem-publish pack: a game folder becomes a release. Both archives carry
// the same entries for the same files (each compressed once), in name
// order, with fixed times and attributes, so the same folder always gives
// the same bytes and the update archive's SHA-256 stays the same across
// rebuilds.
//
// 1. List the game folder; refuse names the programs would pass over.
// 2. List the base release (folder or full archive): names, sizes, CRC-32.
// 3. Work out the update's files and the removal list.
// 4. Compress in batches on every core: each file stored or deflated,
//    whichever measurement says; write each batch to both archives.
// 5. Write ZEM/removed.txt and ZEM/release.json last, so that an update
//    stopped half way leaves the old version in place and is fetched again.
// 6. With the publisher's key, sign: the full archive's manifest (each
//    file's SHA-256, hashed while it was read) and the update archive's
//    SHA-256 (hashed while it was written). A rooted release also carries
//    the keys text that delegates the signing key (common/key_chain.h).
// 7. Put the archives, the signed texts and release.json in place, then
//    check them.
#include "publish/publish.h"

#include "common/entry_paths.h"
#include "common/key_chain.h"
#include "common/name_rules.h"
#include "common/release_signing.h"
#include "common/removal_lines.h"
#include "common/state_files.h"
#include "common/versions.h"
#include "common/zip_reader.h"
#include "platform/platform.h"
#include "publish/publish_platform.h"
#include "publish/zip_writer.h"

#include <miniz.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace zem {

// Deflate is kept only when it saves at least 1/32 (about 3%) of a file:
// stored entries install fastest, and a smaller saving is not worth it.
constexpr uint64_t deflate_saving_divisor = 32;
// A file this large is first judged by deflating a sample from its middle.
constexpr size_t sample_from = 4u * 1024 * 1024;
constexpr size_t sample_size = 1024u * 1024;
// Files up to this size are read whole; larger ones are stored and copied
// through a buffer (their content is measured by the sample only).
constexpr uint64_t whole_file_limit = 1024ull * 1024 * 1024;
// A batch holds at most this much file data in memory at once.
constexpr uint64_t batch_byte_limit = 256ull * 1024 * 1024;
constexpr size_t copy_buffer_size = 1024 * 1024;
// Put into OUT_DIR while the game folder is listed: meeting it there means
// OUT_DIR lies inside GAME_DIR, and pack would pack its own output.
constexpr const char* output_marker_name = ".zem-publish-output";

struct SourceFile {
    std::string name;     // the entry name, '/' separated
    std::string path;     // on disk, through the platform seam
    uint64_t size = 0;
    // Filled by the compression step.
    uint32_t crc = 0;
    uint16_t method = method_stored;
    std::vector<unsigned char> data;  // what goes into the archive, unless copied
    bool copied = false;              // stored, copied from disk by the writer
    bool failed = false;
    bool in_update = true;
    unsigned char digest[sha256_digest_size] = {};  // of the content, when signing
};

struct BaseFile {
    uint64_t size;
    uint32_t crc;
};


static std::string join_path(const std::string& folder, const std::string& name) {
    return folder + "\\" + name;
}

static bool is_state_folder(const std::string& relative) {
    return folding_key(relative) == folding_key(state_folder);
}

// Lists every file under folder (relative names, '/' separated). The
// state folder "ZEM" at the top is left out: pack writes what belongs
// there. Links and names that cannot be entry names are refused.
static bool list_game_files(const std::string& folder, const std::string& relative, std::vector<SourceFile>* files,
                            std::vector<std::string>* refused, std::vector<std::string>* empty_folders) {
    std::vector<FolderEntry> entries;
    const std::string path = relative.empty() ? folder : join_path(folder, relative);
    if (!list_folder(path.c_str(), &entries)) return false;
    if (entries.empty() && !relative.empty()) empty_folders->push_back(relative);
    for (const FolderEntry& entry : entries) {
        const std::string name = relative.empty() ? entry.name : relative + "/" + entry.name;
        if (entry.name.find('\\') != std::string::npos) {
            refused->push_back(name + ": holds '\\', which Windows reads as a separator");
            continue;
        }
        if (entry.name == output_marker_name) {
            refused->push_back((relative.empty() ? std::string(".") : relative) +
                               ": this is OUT_DIR; put OUT_DIR outside GAME_DIR");
            continue;
        }
        if (entry.kind == PathKind::link) {
            refused->push_back(name + ": a symbolic link (pack stores files only; copy the target in)");
            continue;
        }
        if (entry.kind == PathKind::folder) {
            if (relative.empty() && is_state_folder(name)) continue;
            if (!list_game_files(folder, name, files, refused, empty_folders)) {
                refused->push_back(name + ": cannot be listed");
            }
            continue;
        }
        SourceFile file;
        file.name = name;
        file.path = join_path(folder, name);
        file.size = file_size_on_disk(file.path.c_str());
        if (file.size == unknown_file_size) {
            refused->push_back(name + ": its size cannot be read");
            continue;
        }
        files->push_back(std::move(file));
    }
    return true;
}

// The reason the programs would not write the file under its name; empty
// when they would.
static std::string entry_name_problem(const std::string& name) {
    char local_path[local_path_capacity];
    if (name.size() >= local_path_capacity) return "longer than 259 bytes";
    if (!is_valid_utf8(name)) return "not UTF-8: the Windows programs would write it under another name";
    if (!local_path_for_entry(name.c_str(), local_path)) {
        return "a name the programs pass over (name rules, '..', ':' or a working file's name)";
    }
    return std::string();
}

// The file's size and CRC-32, and its SHA-256 when digest is not null.
static bool crc_of_file(const char* path, uint64_t* size, uint32_t* crc, unsigned char* digest = nullptr) {
    FileStream file(open_file(path, "rb"));
    if (!file.is_open()) return false;
    Sha256 hash = digest != nullptr ? sha256_begin() : Sha256();
    if (digest != nullptr && !hash.is_open()) return false;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[copy_buffer_size]);
    mz_ulong value = MZ_CRC32_INIT;
    uint64_t total = 0;
    for (;;) {
        const size_t got = fread(buffer.get(), 1, copy_buffer_size, file.get());
        if (got == 0) break;
        value = mz_crc32(value, buffer.get(), got);
        if (digest != nullptr && !sha256_add(hash.get(), buffer.get(), got)) return false;
        total += got;
    }
    if (ferror(file.get())) return false;
    if (digest != nullptr && !sha256_finish(hash.get(), digest)) return false;
    *size = total;
    *crc = static_cast<uint32_t>(value);
    return true;
}

// The version a release description's text names; empty for none.
static std::string version_in(const char* release_text) {
    char version[version_capacity] = "";
    extract_version(release_text, version);
    return version;
}

// What pack needs of the base release.
struct BaseRelease {
    // Its files by entry name (as the clients write them: an archive's
    // leading "./" components dropped), its own state entries left out.
    std::map<std::string, BaseFile> files;
    std::string version;       // its ZEM/release.json's; a game folder may have none
    std::string removal_list;  // its ZEM/removed.txt; empty for none
};

// Reads the base release. False (error set) when it cannot be read.
static bool read_base(const std::string& given, BaseRelease* release, std::string* error) {
    // A release folder that pack wrote (OUT_DIR) stands for its full archive.
    const std::string release_archive = join_path(join_path(given, release_files_folder), full_archive_name);
    const std::string release_text = join_path(join_path(given, release_files_folder), release_description_name);
    const bool is_release_folder = path_kind(given.c_str()) == PathKind::folder &&
                                   path_kind(release_archive.c_str()) == PathKind::file &&
                                   path_kind(release_text.c_str()) == PathKind::file;
    const std::string base = is_release_folder ? release_archive : given;
    const PathKind kind = path_kind(base.c_str());
    if (kind == PathKind::folder) {
        FileText release_text = read_whole_file(join_path(base, installed_release_path).c_str());
        if (release_text) release->version = version_in(release_text.get());
        FileText removal_text = read_whole_file(join_path(base, removal_list_path).c_str());
        if (removal_text) release->removal_list = removal_text.get();
        std::vector<SourceFile> listed;
        std::vector<std::string> refused, empty;
        if (!list_game_files(base, "", &listed, &refused, &empty)) {
            *error = "the base folder " + base + " cannot be listed";
            return false;
        }
        for (const SourceFile& file : listed) {
            BaseFile found{0, 0};
            if (!crc_of_file(file.path.c_str(), &found.size, &found.crc)) {
                *error = "cannot read " + file.path + " in the base folder";
                return false;
            }
            release->files[file.name] = found;
        }
        return true;
    }
    if (kind != PathKind::file) {
        *error = "the base " + base + " is neither a folder nor a file";
        return false;
    }
    mz_zip_archive record;
    memset(&record, 0, sizeof record);
    if (!mz_zip_reader_init_file(&record, system_path(base.c_str()).c_str(), 0)) {
        *error = "the base " + base + " is not a zip archive miniz can read";
        return false;
    }
    ZipReader zip(&record);
    const mz_uint count = mz_zip_reader_get_num_files(zip.get());
    for (mz_uint index = 0; index < count; ++index) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(zip.get(), index, &entry)) {
            *error = "the base archive's entry " + std::to_string(index) + " cannot be read";
            return false;
        }
        const std::string name(entry_name_without_leading_dots(entry.m_filename));
        if (entry.m_is_directory) continue;
        if (name == release_entry_name || name == removal_list_entry_name) {
            size_t size = 0;
            void* data = mz_zip_reader_extract_to_heap(zip.get(), index, &size, 0);
            // Read as the clients read them: up to a first NUL.
            const std::string text = data != nullptr ? std::string(static_cast<const char*>(data), size).c_str() : "";
            mz_free(data);
            if (name == release_entry_name) {
                release->version = version_in(text.c_str());
            } else {
                release->removal_list = text;
            }
        }
        const size_t slash = name.find('/');
        if (slash != std::string::npos && is_state_folder(name.substr(0, slash))) continue;
        release->files[name] = BaseFile{entry.m_uncomp_size, entry.m_crc32};
    }
    return true;
}

// True when deflate saves enough to be worth it.
static bool deflate_pays(uint64_t size, uint64_t deflated) {
    return deflated < size && size - deflated >= size / deflate_saving_divisor && size - deflated > 0;
}

// Reads the file whole, or only its CRC-32 and a sample for one too large
// to hold; then keeps whichever of stored and deflated the measurement
// favours. When signing, hashes the content on the way.
static void compress_file(SourceFile* file, bool signing) {
    if (file->size > whole_file_limit) {
        uint64_t size = 0;
        uint32_t crc = 0;
        if (!crc_of_file(file->path.c_str(), &size, &crc, signing ? file->digest : nullptr) || size != file->size) {
            file->failed = true;
            return;
        }
        file->crc = crc;
        file->method = method_stored;
        file->copied = true;
        return;
    }
    FileStream stream(open_file(file->path.c_str(), "rb"));
    if (!stream.is_open()) {
        file->failed = true;
        return;
    }
    std::vector<unsigned char> content(static_cast<size_t>(file->size));
    if (!content.empty() && fread(content.data(), 1, content.size(), stream.get()) != content.size()) {
        file->failed = true;
        return;
    }
    if (fgetc(stream.get()) != EOF) {  // the file grew while it was packed
        file->failed = true;
        return;
    }
    file->crc = static_cast<uint32_t>(mz_crc32(MZ_CRC32_INIT, content.data(), content.size()));
    if (signing && !sha256_of_bytes(content.data(), content.size(), file->digest)) {
        file->failed = true;
        return;
    }
    if (content.size() >= sample_from) {
        std::vector<unsigned char> sample;
        const size_t start = content.size() / 2 - sample_size / 2;
        if (deflate_quick(content.data() + start, sample_size, &sample) && !deflate_pays(sample_size, sample.size())) {
            file->method = method_stored;
            file->data = std::move(content);
            return;
        }
    }
    std::vector<unsigned char> deflated;
    if (!content.empty() && deflate_best(content.data(), content.size(), &deflated) &&
        deflate_pays(content.size(), deflated.size())) {
        file->method = method_deflate;
        file->data = std::move(deflated);
        return;
    }
    file->method = method_stored;
    file->data = std::move(content);
}

struct BatchWork {
    std::vector<SourceFile>* files;
    size_t first, end;
    std::atomic<size_t> next;
    bool signing;
};

static void compress_batch(void* context) {
    BatchWork* work = static_cast<BatchWork*>(context);
    for (;;) {
        const size_t index = work->next.fetch_add(1);
        if (work->first + index >= work->end) return;
        compress_file(&(*work->files)[work->first + index], work->signing);
    }
}

static void write_entry(ZipOutput* zip, const SourceFile& file) {
    const uint64_t stored_size = file.copied ? file.size : file.data.size();
    zip_begin_entry(zip, file.name, file.crc, file.size, stored_size, file.method);
    if (!file.copied) {
        zip_write_data(zip, file.data.data(), file.data.size());
        return;
    }
    FileStream stream(open_file(file.path.c_str(), "rb"));
    if (!stream.is_open()) {
        zip->failed = true;
        return;
    }
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[copy_buffer_size]);
    uint64_t copied = 0;
    for (;;) {
        const size_t got = fread(buffer.get(), 1, copy_buffer_size, stream.get());
        if (got == 0) break;
        zip_write_data(zip, buffer.get(), got);
        copied += got;
    }
    if (copied != file.size) zip->failed = true;
}

// A release description: the version, and after it the base an update was
// made against (none: "").
static std::string release_description(const std::string& version, const std::string& base) {
    if (base.empty()) return "{\n  \"version\": \"" + version + "\"\n}\n";
    return "{\n  \"version\": \"" + version + "\",\n  \"base\": \"" + base + "\"\n}\n";
}

// A generated text entry (removal list, release description).
static SourceFile text_entry(const std::string& name, const std::string& text) {
    SourceFile file;
    file.name = name;
    file.size = text.size();
    file.data.assign(text.begin(), text.end());
    file.crc = static_cast<uint32_t>(mz_crc32(MZ_CRC32_INIT, file.data.data(), file.data.size()));
    if (!sha256_of_bytes(text.data(), text.size(), file.digest)) file.failed = true;
    return file;
}

bool version_is_publishable(const std::string& version) {
    if (version.empty() || version.size() >= version_capacity) return false;
    for (char c : version) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '"' || c == '\\') return false;
    }
    return true;
}

// The base's removal list carried forward: each line the clients apply,
// in its '/' form, keyed for folding, unless it would delete a file of
// this release (a file line naming one, a folder line holding one).
static void carry_removal_lines(const std::string& list, const std::set<std::string>& keys,
                                std::map<std::string, std::string>* lines) {
    size_t start = 0;
    while (start < list.size()) {
        const size_t end = std::min(list.find_first_of("\r\n", start), list.size());
        char path[local_path_capacity];
        const RemovalEntry entry = parse_removal_line(list.data() + start, end - start, path);
        start = end + 1;
        if (entry == RemovalEntry::refused) continue;
        std::string line(path);
        std::replace(line.begin(), line.end(), '\\', '/');
        const std::string key = folding_key(line);
        if (entry == RemovalEntry::file) {
            if (keys.count(key) == 0) (*lines)[key] = line;
            continue;
        }
        const auto inside = keys.lower_bound(key + "/");
        if (inside == keys.end() || inside->compare(0, key.size() + 1, key + "/") != 0) (*lines)[key] = line + "/";
    }
}

// The removal list: what the base's list retired (so that a player any
// number of releases behind loses every retired file), and every base file
// this release no longer has, as lines the updater applies; what it cannot
// express becomes a note. Sorted, one line each, none naming a file of
// this release.
static std::string make_removal_list(const BaseRelease& base, const std::vector<SourceFile>& files,
                                     PackReport* report) {
    std::set<std::string> names, keys;
    for (const SourceFile& file : files) {
        names.insert(file.name);
        keys.insert(folding_key(file.name));
    }
    std::map<std::string, std::string> lines;
    carry_removal_lines(base.removal_list, keys, &lines);
    for (const auto& entry : base.files) {
        const std::string& name = entry.first;
        if (names.count(name) != 0) continue;
        if (keys.count(folding_key(name)) != 0) {
            report->notes.push_back({"removal list", name, "renamed-in-case-only",
                                     "not listed: on Windows it is the same file as this release's one of another "
                                     "letter case, which the update overwrites"});
            continue;
        }
        char path[local_path_capacity];
        if (parse_removal_line(name.data(), name.size(), path) != RemovalEntry::file) {
            report->notes.push_back({"removal list", name, "removal-not-expressible",
                                     std::string("the base has it and this release does not, but the updater "
                                                 "cannot delete it: ") +
                                         removal_line_refusal_reason(name.data(), name.size()) +
                                         "; players keep the file"});
            continue;
        }
        lines[folding_key(name)] = name;
    }
    std::string list;
    for (const auto& line : lines) list += line.second + "\r\n";
    report->removed_lines = lines.size();
    return list;
}

// Makes the folder unless it exists.
static bool ensure_folder(const std::string& path) {
    if (path_kind(path.c_str()) == PathKind::folder) return true;
    return make_folder(path.c_str());
}

bool write_text_file(const std::string& path, const std::string& text) {
    FileStream file(open_file(path.c_str(), "wb"));
    if (!file.is_open()) return false;
    if (fwrite(text.data(), 1, text.size(), file.get()) != text.size()) return false;
    return fclose(file.release()) == 0;
}

static bool remove_if_present(const std::string& path) {
    return path_kind(path.c_str()) == PathKind::missing || delete_file(path.c_str());
}

// Moves the new signed texts into place; without them, deletes those of
// an earlier pack.
static bool put_signed_texts_in_place(bool signed_release, const std::string& manifest_path,
                                      const std::string& signature_path) {
    for (const std::string* path : {&manifest_path, &signature_path}) {
        const bool done = signed_release ? move_replacing((*path + ".part").c_str(), path->c_str())
                                         : remove_if_present(*path);
        if (!done) return false;
    }
    return true;
}

// Signs the release: the full archive's manifest (one line per file
// entry, in archive order) and the update archive's signature, each
// written to its path and read back as the programs read it. False (error
// set) when signing or writing fails.
static bool write_signed_texts(const PublisherKey& key, const std::string& version,
                               const std::vector<const SourceFile*>& entries,
                               const unsigned char update_digest[sha256_digest_size], const std::string& manifest_path,
                               const std::string& signature_path, std::string* error) {
    std::string manifest_body = std::string(manifest_heading) + "\nversion " + version + "\n";
    for (const SourceFile* file : entries) {
        if (file->failed) {
            *error = "SHA-256 is not available";
            return false;
        }
        ManifestEntry entry;
        entry.name = file->name;
        entry.size = file->size;
        memcpy(entry.digest, file->digest, sizeof entry.digest);
        manifest_body += manifest_entry_line(entry);
    }
    std::string manifest_text, signature_text;
    if (!sign_text(key, manifest_body, &manifest_text, error) ||
        !sign_text(key, update_signature_body(version, update_digest), &signature_text, error)) {
        *error = "cannot sign the release: " + *error;
        return false;
    }
    if (manifest_text.size() > manifest_size_limit) {
        *error = "the manifest would be " + std::to_string(manifest_text.size()) +
                 " bytes; the launcher reads at most " + std::to_string(manifest_size_limit) +
                 ": the release has too many files or too long names";
        return false;
    }
    // Read back as the programs will: a signature that does not verify
    // must stop pack here, not every player's install.
    Manifest manifest;
    UpdateSignature signature;
    if (!read_manifest(key.public_key, manifest_text.data(), manifest_text.size(), &manifest) ||
        !read_update_signature(key.public_key, signature_text.data(), signature_text.size(), &signature)) {
        *error = "the signed texts do not verify with the key's public part";
        return false;
    }
    if (!write_text_file(manifest_path, manifest_text) || !write_text_file(signature_path, signature_text)) {
        delete_file(manifest_path.c_str());
        delete_file(signature_path.c_str());
        *error = "cannot write the signed texts " + manifest_path + " and " + signature_path;
        return false;
    }
    return true;
}

// Deletes the output marker on every path out of pack_release.
struct OutputMarker {
    explicit OutputMarker(const char* path) : path(path) {}
    OutputMarker(const OutputMarker&) = delete;
    OutputMarker& operator=(const OutputMarker&) = delete;
    ~OutputMarker() { delete_file(path.c_str()); }
    std::string path;
};

bool pack_release(const PackOptions& options, PackReport* report, std::string* error) {
    if (!version_is_publishable(options.version)) {
        *error = "the version must be 1 to 63 characters without '\"', '\\' or control characters: the programs "
                 "read it with a plain text search";
        return false;
    }
    if (path_kind(options.game_folder.c_str()) != PathKind::folder) {
        *error = "no game folder at " + options.game_folder;
        return false;
    }
    // A rooted release's keys text must name the key that signs it.
    if (!options.keys_text.empty()) {
        KeysText keys;
        if (options.key == nullptr) {
            *error = "a keys text goes with the release key that it delegates (--key)";
            return false;
        }
        if (!parse_keys_text(options.keys_text.data(), options.keys_text.size(), &keys)) {
            *error = "the keys text is not in the form the programs read (zem-publish delegate writes it)";
            return false;
        }
        if (memcmp(keys.delegation.release_key, options.key->public_key, ecdsa_public_key_size) != 0) {
            *error = "the keys text delegates another release key (" +
                     encode_hex(keys.delegation.release_key, ecdsa_public_key_size) +
                     "), not this one: the programs would refuse the release";
            return false;
        }
    }

    const std::string files_folder = join_path(options.out_folder, release_files_folder);
    if (!ensure_folder(options.out_folder) || !ensure_folder(files_folder)) {
        *error = "cannot create " + files_folder;
        return false;
    }
    const std::string marker = join_path(options.out_folder, output_marker_name);
    if (!write_text_file(marker, "")) {
        *error = "cannot write in " + options.out_folder;
        return false;
    }
    OutputMarker marker_owner(marker.c_str());

    // 1. The game folder.
    std::vector<SourceFile> files;
    std::vector<std::string> refused, empty_folders;
    if (!list_game_files(options.game_folder, "", &files, &refused, &empty_folders)) {
        *error = "the game folder " + options.game_folder + " cannot be listed";
        return false;
    }
    std::sort(files.begin(), files.end(), [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
    std::map<std::string, std::string> keys;
    for (const SourceFile& file : files) {
        const std::string problem = entry_name_problem(file.name);
        if (!problem.empty()) refused.push_back(file.name + ": " + problem);
        if (options.key != nullptr && file.name.find('\x7f') != std::string::npos) {
            refused.push_back(file.name + ": holds a DEL character, which a manifest line cannot carry");
        }
        const auto earlier = keys.emplace(folding_key(file.name), file.name);
        if (!earlier.second) {
            refused.push_back(file.name + ": the same file on Windows as " + earlier.first->second);
        }
    }
    if (!refused.empty()) {
        *error = "the game folder holds what the programs cannot install:";
        for (const std::string& line : refused) *error += "\n  " + line;
        return false;
    }
    // The release is still as meant: a notice, not a finding.
    for (const std::string& folder : empty_folders) {
        report->notices.push_back({options.game_folder, folder, "empty-folder-not-delivered",
                                   "an empty folder: the programs create folders only for the files in them"});
    }

    // 2. and 3. The base release, the update's files, the removal list.
    BaseRelease base_release;
    const std::map<std::string, BaseFile>& base = base_release.files;
    const std::string& base_version = base_release.version;
    if (!options.base.empty() && !read_base(options.base, &base_release, error)) return false;
    if (options.key != nullptr && !base_version.empty() &&
        !release_may_replace(options.version.c_str(), base_version.c_str())) {
        report->notes.push_back(
            {options.base, "--version " + options.version, "version-before-base",
             "signed for " + options.version + ", which does not come after the base's " + base_version +
                 " in the order of releases the updater checks (docs/publishing.md, \"Signing releases\"): "
                 "every updater with " + base_version + " installed refuses this update as going back. "
                 "Give the release a later version"});
    }

    // 4. The archives, under temporary names first.
    const std::string full_path = join_path(files_folder, full_archive_name);
    const std::string update_path = join_path(files_folder, update_archive_name);
    const std::string release_path = join_path(files_folder, release_description_name);
    const std::string full_temporary = full_path + ".part", update_temporary = update_path + ".part";
    ZipOutput full, update;
    if (!zip_open(&full, full_temporary.c_str()) || !zip_open(&update, update_temporary.c_str())) {
        *error = "cannot create the archives in " + files_folder;
        return false;
    }
    if (options.key != nullptr) update.hash = sha256_begin();

    uint64_t total_bytes = 0;
    for (const SourceFile& file : files) total_bytes += file.size;
    const unsigned threads = options.threads ? options.threads : processor_count();
    uint64_t done_bytes = 0;
    size_t first = 0;
    while (first < files.size()) {
        size_t end = first;
        uint64_t batch_bytes = 0;
        while (end < files.size() && (end == first || batch_bytes + files[end].size <= batch_byte_limit)) {
            batch_bytes += files[end].size;
            ++end;
        }
        BatchWork work{&files, first, end, {0}, options.key != nullptr};
        run_in_parallel(std::min<size_t>(threads, end - first), compress_batch, &work);
        for (size_t i = first; i < end; ++i) {
            SourceFile& file = files[i];
            if (file.failed) {
                *error = "cannot read " + file.path + " (or it changed while it was packed)";
                return false;
            }
            const auto previous = base.find(file.name);
            file.in_update = options.base.empty() || previous == base.end() || previous->second.size != file.size ||
                             previous->second.crc != file.crc;
            write_entry(&full, file);
            if (file.in_update) {
                write_entry(&update, file);
                ++report->update_files;
            }
            if (file.method == method_deflate) ++report->deflated_files;
            done_bytes += file.size;
            std::vector<unsigned char>().swap(file.data);
        }
        show_progress("pack: compressing", done_bytes, total_bytes, options.quiet);
        first = end;
    }
    progress_done(options.quiet);
    report->files = files.size();
    report->bytes = total_bytes;

    // 5. The removal list and the release description, last.
    const std::string removal_list = make_removal_list(base_release, files, report);
    // The update says what it was made against, after the version: the
    // updater of a player who is further behind installs the release
    // through the full archive instead (docs/updater.md).
    const std::string release_text = release_description(options.version, "");
    const std::string update_release_text =
        release_description(options.version, version_is_publishable(base_version) ? base_version : "");
    const SourceFile removal_entry = text_entry(removal_list_entry_name, removal_list);
    const SourceFile release_entry = text_entry(release_entry_name, release_text);
    const SourceFile update_release_entry = text_entry(release_entry_name, update_release_text);
    write_entry(&full, removal_entry);
    write_entry(&full, release_entry);
    write_entry(&update, removal_entry);
    write_entry(&update, update_release_entry);
    const bool full_written = zip_finish(&full);
    const bool update_written = zip_finish(&update);
    if (!full_written || !update_written) {
        delete_file(full_temporary.c_str());
        delete_file(update_temporary.c_str());
        *error = "writing the archives in " + files_folder + " failed (disk full?)";
        return false;
    }

    // 6. The signed texts, beside the archives' temporary files.
    const std::string manifest_path = full_path + manifest_suffix;
    const std::string signature_path = update_path + update_signature_suffix;
    const std::string keys_path = join_path(files_folder, keys_file_name);
    if (!options.keys_text.empty() && !write_text_file(keys_path + ".part", options.keys_text)) {
        delete_file(full_temporary.c_str());
        delete_file(update_temporary.c_str());
        *error = "cannot write " + keys_path;
        return false;
    }
    if (options.key != nullptr) {
        std::vector<const SourceFile*> entries;
        for (const SourceFile& file : files) entries.push_back(&file);
        entries.push_back(&removal_entry);
        entries.push_back(&release_entry);
        const bool signed_ok = write_signed_texts(*options.key, options.version, entries, update.digest,
                                                  manifest_path + ".part", signature_path + ".part", error);
        if (!signed_ok) {
            delete_file(full_temporary.c_str());
            delete_file(update_temporary.c_str());
            return false;
        }
    }

    // 7. Into place: release.json last, so that a server syncing the folder
    // never announces a version whose archives are not there yet. Without
    // a key, signed texts of an earlier pack go: they sign other archives.
    if (!move_replacing(full_temporary.c_str(), full_path.c_str()) ||
        !move_replacing(update_temporary.c_str(), update_path.c_str()) ||
        !put_signed_texts_in_place(options.key != nullptr, manifest_path, signature_path) ||
        !(options.keys_text.empty() ? remove_if_present(keys_path)
                                    : move_replacing((keys_path + ".part").c_str(), keys_path.c_str())) ||
        !write_text_file(release_path + ".part", update_release_text) ||
        !move_replacing((release_path + ".part").c_str(), release_path.c_str())) {
        *error = "cannot put the release files in place in " + files_folder;
        return false;
    }
    report->update_archive_size = file_size_on_disk(update_path.c_str());
    report->full_archive_size = file_size_on_disk(full_path.c_str());
    report->update_files += 2;

    for (const std::string* archive : {&full_path, &update_path}) {
        const ArchiveKind kind = archive == &full_path ? ArchiveKind::full : ArchiveKind::update;
        if (!check_archive(archive->c_str(), kind, &report->notes, error)) return false;
    }
    return true;
}

}  // namespace zem
