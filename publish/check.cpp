// zem-publish check: every way an archive would not install or update as
// its publisher expects, judged with the clients' own rules (common/ name
// rules and entry paths, the updater's removal-list parser, the launcher's
// window size).
#include "publish/publish.h"

#include "common/entry_paths.h"
#include "common/name_rules.h"
#include "common/removal_lines.h"
#include "common/state_files.h"
#include "common/zip_reader.h"
#include "common/content_range.h"
#include "platform/platform.h"

#include <miniz.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace zem {

constexpr uint32_t end_record_signature = 0x06054b50;
constexpr uint32_t zip64_locator_signature = 0x07064b50;
constexpr uint32_t zip64_end_record_signature = 0x06064b50;
constexpr size_t end_record_size = 22;
constexpr size_t zip64_locator_size = 20;
constexpr size_t zip64_end_record_size = 56;
constexpr size_t end_search_span = 65535 + end_record_size;  // the longest comment, and the record

static char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string folding_key(const std::string& name) {
    std::string key(name);
    for (char& c : key) c = c == '\\' ? '/' : ascii_lower(c);
    return key;
}

static uint32_t read_le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

static uint64_t read_le64(const unsigned char* p) {
    return read_le32(p) | (static_cast<uint64_t>(read_le32(p + 4)) << 32);
}

static uint16_t read_le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The central directory's size from the end records in the file's last
// 64 KiB (zip64 end record included, when it lies right before its
// locator as every writer puts it). False when no end record is found.
static bool central_directory_size(const char* path, uint64_t* size) {
    FileStream file(open_file(path, "rb"));
    if (!file.is_open()) return false;
    if (fseek(file.get(), 0, SEEK_END) != 0) return false;
    // Only the tail is needed: a seek back from the end fits a long.
    std::vector<unsigned char> tail(end_search_span);
    size_t tail_length = 0;
    for (size_t want = end_search_span; want >= end_record_size; want /= 2) {
        if (fseek(file.get(), -static_cast<long>(want), SEEK_END) == 0) {
            tail_length = fread(tail.data(), 1, want, file.get());
            break;
        }
    }
    if (tail_length < end_record_size) {
        // A file shorter than the span: read it whole from the start.
        if (fseek(file.get(), 0, SEEK_SET) != 0) return false;
        tail_length = fread(tail.data(), 1, tail.size(), file.get());
    }
    if (tail_length < end_record_size) return false;
    for (size_t at = tail_length - end_record_size + 1; at-- > 0;) {
        if (read_le32(&tail[at]) != end_record_signature) continue;
        uint64_t found = read_le32(&tail[at + 12]);
        const bool zip64 = found == 0xFFFFFFFFu || read_le16(&tail[at + 10]) == 0xFFFF;
        if (zip64 && at >= zip64_locator_size + zip64_end_record_size &&
            read_le32(&tail[at - zip64_locator_size]) == zip64_locator_signature) {
            const size_t record = at - zip64_locator_size - zip64_end_record_size;
            if (read_le32(&tail[record]) == zip64_end_record_signature) found = read_le64(&tail[record + 40]);
        }
        *size = found;
        return true;
    }
    return false;
}

bool is_valid_utf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t value = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            value = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            value = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            value = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            value = (value << 6) | (next & 0x3F);
        }
        static const uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (value < smallest[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// The entry name's last component.
static std::string last_component(const std::string& name) {
    const size_t slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

const char* removal_line_refusal_reason(const char* line, size_t length) {
    size_t start = 0;
    while (start < length && (line[start] == ' ' || line[start] == '\t')) ++start;
    size_t end = length;
    while (end > start && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
    std::string entry(line + start, end - start);
    if (entry.empty()) return "an empty line";
    if (entry.size() >= local_path_capacity) return "longer than 259 characters: never acted on in a cut-short form";
    if (entry[0] == '#') return "a comment";
    for (char& c : entry) c = c == '\\' ? '/' : c;
    if (entry.back() == '/') entry.pop_back();
    if (entry.find(':') != std::string::npos) return "holds ':'";
    if (!name_is_acceptable(entry.c_str(), entry.size())) {
        return "a name the clients refuse (an empty, '.' or '..' component, a final dot or blank, a device or "
               "short 8.3 name, or one of <>\"|?* or a control character)";
    }
    if (folding_key(entry).compare(0, strlen(removable_root_prefix), folding_key(removable_root_prefix)) != 0) {
        return "not inside Frolix_Multiplayer/";
    }
    int components = 1;
    size_t from = 0;
    for (;;) {
        const size_t slash = entry.find('/', from);
        const std::string component = folding_key(entry.substr(from, slash == std::string::npos ? slash : slash - from));
        if (component == "saved" || component == "paks") return "names a protected folder (Saved or Paks)";
        if (slash == std::string::npos) break;
        ++components;
        from = slash + 1;
    }
    if (components < removable_min_components) return "fewer than 3 components (Frolix_Multiplayer/FOLDER/NAME at least)";
    return "refused by the updater";
}

// Calls visit(line, length, number) for every line the updater reads: the
// text up to its first NUL, lines ended by any mix of CR and LF.
template <typename Visit>
static void for_each_removal_line(const char* text, size_t length, Visit visit) {
    size_t end_of_text = 0;
    while (end_of_text < length && text[end_of_text] != '\0') ++end_of_text;
    size_t line_start = 0;
    int number = 1;
    for (size_t i = 0; i <= end_of_text; ++i) {
        if (i < end_of_text && text[i] != '\r' && text[i] != '\n') continue;
        if (i > line_start) visit(text + line_start, i - line_start, number);
        if (i < end_of_text && text[i] == '\n') ++number;
        if (i < end_of_text && text[i] == '\r' && (i + 1 >= end_of_text || text[i + 1] != '\n')) ++number;
        line_start = i + 1;
    }
}

void check_removal_list(const std::string& subject, const char* text, size_t length, std::vector<Finding>* findings) {
    for_each_removal_line(text, length, [&](const char* line, size_t line_length, int number) {
        char path[local_path_capacity];
        if (parse_removal_line(line, line_length, path) != RemovalEntry::refused) return;
        size_t first = 0;
        while (first < line_length && (line[first] == ' ' || line[first] == '\t')) ++first;
        if (first == line_length || line[first] == '#') return;  // blank or a comment: meant to do nothing
        findings->push_back({subject, "ZEM/removed.txt line " + std::to_string(number), "removal-line-refused",
                             "the updater passes over \"" + std::string(line, line_length) +
                                 "\" without a word: " + removal_line_refusal_reason(line, line_length)});
    });
}

// Lines the updater applies that would delete what the archive brings:
// the list is applied again right after the update is installed.
static void check_removal_against_entries(const std::string& subject, const char* text, size_t length,
                                          const std::set<std::string>& file_keys, std::vector<Finding>* findings) {
    for_each_removal_line(text, length, [&](const char* line, size_t line_length, int number) {
        char path[local_path_capacity];
        const RemovalEntry kind = parse_removal_line(line, line_length, path);
        if (kind == RemovalEntry::refused) return;
        const std::string key = folding_key(path);
        bool hits = false;
        if (kind == RemovalEntry::file) {
            hits = file_keys.count(key) != 0;
        } else {
            const auto next = file_keys.lower_bound(key + "/");
            hits = next != file_keys.end() && next->compare(0, key.size() + 1, key + "/") == 0;
        }
        if (!hits) return;
        findings->push_back({subject, "ZEM/removed.txt line " + std::to_string(number), "removal-deletes-shipped-file",
                             "the updater applies the list again right after installing this archive, so it deletes "
                             "what the archive has just written: \"" + std::string(line, line_length) + "\""});
    });
}

// ZEM/release.json (the entry at index, -1 when there is none): present,
// readable, with a version the programs read.
static void check_release_description(const std::string& subject, mz_zip_archive* zip, int index,
                                      std::vector<Finding>* findings) {
    if (index < 0) {
        findings->push_back({subject, release_entry_name, "release-json-missing",
                             "no ZEM/release.json: an installation from it has no version, so the updater fetches "
                             "the update archive again and reports no version"});
        return;
    }
    size_t size = 0;
    void* data = mz_zip_reader_extract_to_heap(zip, static_cast<mz_uint>(index), &size, 0);
    if (data == nullptr) {
        findings->push_back({subject, release_entry_name, "release-json-unreadable",
                             "ZEM/release.json cannot be extracted (damaged, or an unsupported method)"});
        return;
    }
    std::string text(static_cast<const char*>(data), size);
    mz_free(data);
    char version[version_capacity] = "";
    extract_version(text.c_str(), version);
    if (version[0] != '\0') return;
    const size_t key = text.find("\"version\"");
    const size_t colon = key == std::string::npos ? key : text.find(':', key + 9);
    const size_t opening = colon == std::string::npos ? colon : text.find('"', colon);
    const size_t closing = opening == std::string::npos ? opening : text.find('"', opening + 1);
    if (closing != std::string::npos && closing - opening - 1 >= version_capacity) {
        findings->push_back({subject, release_entry_name, "release-version-too-long",
                             "the version is " + std::to_string(closing - opening - 1) +
                                 " characters long: the programs read at most 63 and take it as no version"});
    } else {
        findings->push_back({subject, release_entry_name, "release-version-missing",
                             "no \"version\": \"...\" value the programs can read (they search the text for "
                             "\"version\", then a colon, then a quoted value)"});
    }
}

bool check_archive(const char* path, ArchiveKind kind, std::vector<Finding>* findings, std::string* error) {
    const std::string subject(path);
    if (path_kind(path) != PathKind::file) {
        *error = subject + ": no such file";
        return false;
    }
    mz_zip_archive zip_record;
    memset(&zip_record, 0, sizeof zip_record);
    if (!mz_zip_reader_init_file(&zip_record, system_path(path).c_str(), 0)) {
        *error = subject + ": not a zip archive the programs can read (" +
                 mz_zip_get_error_string(mz_zip_get_last_error(&zip_record)) + ")";
        return false;
    }
    ZipReader zip(&zip_record);

    uint64_t directory_size = 0;
    if (central_directory_size(path, &directory_size) && directory_size > window_capacity) {
        findings->push_back({subject, "", "central-directory-over-8MiB",
                             "the central directory is " + std::to_string(directory_size) +
                                 " bytes; the installer reads it in one window of at most 8 MiB (8388608 bytes) and "
                                 "fails with \"The game download couldn't be read\". Split the release into fewer, "
                                 "larger files or shorten names"});
    }

    std::map<std::string, std::string> seen;     // folding key -> first name
    std::set<std::string> file_keys, folder_keys;
    std::map<std::string, std::string> folder_names;
    bool has_batch = false, has_game = false, has_removal_list = false;
    int release_index = -1;
    std::string removal_text;
    const mz_uint count = mz_zip_reader_get_num_files(zip.get());
    for (mz_uint index = 0; index < count; ++index) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(zip.get(), index, &entry)) {
            findings->push_back({subject, "entry " + std::to_string(index), "entry-unreadable",
                                 "the central directory record cannot be read"});
            continue;
        }
        // Findings show the archive's own name; the rules judge it as the
        // clients do, without leading "./" components.
        const std::string name(entry.m_filename);
        const std::string meant(entry_name_without_leading_dots(entry.m_filename));
        if (entry.m_is_encrypted) {
            findings->push_back({subject, name, "encrypted", "encrypted: the clients cannot extract it"});
        }
        if (!entry.m_is_directory && entry.m_method != 0 && entry.m_method != MZ_DEFLATED) {
            findings->push_back({subject, name, "unsupported-method",
                                 "compression method " + std::to_string(entry.m_method) +
                                     ": the clients extract only stored (0) and deflate (8) entries"});
        }
        if (!is_valid_utf8(name)) {
            findings->push_back({subject, name, "name-not-utf8",
                                 "the name is not UTF-8: the Windows programs would write it under another name"});
        }
        if (entry.m_is_directory) {
            std::string folder = meant;
            while (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
            folder_keys.insert(folding_key(folder));
            folder_names.emplace(folding_key(folder), name);
            continue;
        }
        char local_path[local_path_capacity];
        if (meant.size() >= local_path_capacity) {
            findings->push_back({subject, name, "name-too-long",
                                 "the name is " + std::to_string(meant.size()) +
                                     " bytes: the clients pass over names over 259 bytes"});
        } else if (!local_path_for_entry(name.c_str(), local_path)) {
            if (!entry_name_is_safe(meant.c_str())) {
                findings->push_back({subject, name, "unsafe-name",
                                     "the clients pass it over: it holds \"..\" or ':' or begins with a separator"});
            } else if (!name_is_acceptable(meant.c_str())) {
                findings->push_back({subject, name, "name-rules",
                                     "the clients pass it over: a component is empty, ends in a dot or blank, holds "
                                     "one of <>\"|?* or a control character, or is a Windows device or short 8.3 name"});
            } else {
                findings->push_back({subject, name, "working-file",
                                     "the clients pass it over: it names one of the programs' own working files"});
            }
        }
        const std::string key = folding_key(meant);
        const auto earlier = seen.emplace(key, name);
        if (!earlier.second) {
            findings->push_back({subject, name, "case-collision",
                                 "\"" + earlier.first->second +
                                     "\" names the same file on Windows (letter case ignored): one overwrites the other"});
        }
        file_keys.insert(key);
        for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
            folder_keys.insert(key.substr(0, slash));
            folder_names.emplace(key.substr(0, slash), meant.substr(0, slash));
        }
        if (kind == ArchiveKind::full && meant == batch_file_entry_name) has_batch = true;
        if (kind == ArchiveKind::full && meant == game_executable_entry_name) has_game = true;
        // The last of several is the one the clients leave on disk.
        if (meant == release_entry_name) release_index = static_cast<int>(index);
        const std::string program = folding_key(last_component(meant));
        if (kind == ArchiveKind::update && key != program &&
            (program == folding_key(launcher_file_name) || program == folding_key(updater_file_name))) {
            findings->push_back({subject, name, "program-in-subfolder",
                                 "the updater delivers new programs only from the archive's top level (as "
                                 "\".new\" copies); this one is written as a plain file in a sub-folder"});
        }
        if (meant == removal_list_entry_name) {
            has_removal_list = true;
            size_t size = 0;
            void* data = mz_zip_reader_extract_to_heap(zip.get(), index, &size, 0);
            if (data == nullptr) {
                findings->push_back({subject, name, "removal-list-unreadable", "ZEM/removed.txt cannot be extracted"});
            } else {
                removal_text.assign(static_cast<const char*>(data), size);
                mz_free(data);
            }
        }
    }
    for (const std::string& key : file_keys) {
        if (folder_keys.count(key) != 0) {
            findings->push_back({subject, folder_names[key], "file-and-folder",
                                 "both a file and a folder (letter case ignored): one of them cannot be written"});
        }
    }
    check_release_description(subject, zip.get(), release_index, findings);
    if (has_removal_list) {
        check_removal_list(subject, removal_text.data(), removal_text.size(), findings);
        check_removal_against_entries(subject, removal_text.data(), removal_text.size(), file_keys, findings);
    } else if (kind == ArchiveKind::update) {
        findings->push_back({subject, removal_list_entry_name, "removal-list-missing",
                             "no ZEM/removed.txt: players keep the previous release's list, which the updater "
                             "applies again after this update; ship one, empty if nothing goes"});
    }
    if (kind == ArchiveKind::full && !has_batch) {
        findings->push_back({subject, batch_file_entry_name, "missing-batch-file",
                             "no ZEM-Play.bat at the top level: the launcher installs, then cannot start the game"});
    }
    if (kind == ArchiveKind::full && !has_game) {
        findings->push_back({subject, game_executable_entry_name, "missing-game-executable",
                             "no game executable: the launcher takes the game for not installed and installs it "
                             "again at every start"});
    }
    return true;
}

ArchiveKind archive_kind_from_name(const char* path) {
    const std::string key = folding_key(path);
    const std::string ending = "-update.zip";
    return key.size() >= ending.size() && key.compare(key.size() - ending.size(), ending.size(), ending) == 0
               ? ArchiveKind::update
               : ArchiveKind::full;
}

}  // namespace zem
