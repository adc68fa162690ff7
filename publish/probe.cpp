// zem-publish probe: the requests the programs make, against a deployed
// server or CDN, over HTTP/1.1 and HTTP/2, each answer judged the way the
// installer or updater would take it.
//
// 1. release.json: 200 and a version the updater reads.
// 2. The installer's size probe "Range: bytes=0-0": 206 and a numeric total.
// 3. Windows of up to 8 MiB at the start, middle and end: 206 with exactly
//    the asked bytes (and the local archive's, with --local).
// 4. The update archive: 200 with a Content-Length, whole.
// 5. The ETag or Last-Modified of each file stays the same throughout.
#include "publish/publish.h"

#include "common/digests.h"
#include "common/state_files.h"
#include "common/content_range.h"
#include "platform/platform.h"
#include "publish/publish_platform.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace zem {

struct LocalRelease {
    bool present = false;
    std::string release_text;
    uint64_t archive_size = 0;
    std::string update_sha256;
    uint64_t update_size = 0;
};

struct ProbeWindow {
    uint64_t offset;
    uint64_t length;
    const char* where;
    std::vector<unsigned char> local;  // the local archive's bytes, with --local
};

std::string digest_text(Sha256State* hash) {
    unsigned char digest[sha256_digest_size];
    if (hash == nullptr || !sha256_finish(hash, digest)) return std::string();
    return encode_hex(digest, sha256_digest_size);
}

// SHA-256 and size of a local file. False when it cannot be read.
static bool hash_local_file(const std::string& path, std::string* digest, uint64_t* size) {
    unsigned char bytes[sha256_digest_size];
    if (!sha256_of_file(path.c_str(), bytes, size)) return false;
    *digest = encode_hex(bytes, sha256_digest_size);
    return true;
}

// The bytes of each window from the local archive, read front to back in
// one pass (no 64-bit seek needed).
static bool read_local_windows(const std::string& path, std::vector<ProbeWindow>* windows) {
    FileStream file(open_file(path.c_str(), "rb"));
    if (!file.is_open()) return false;
    std::vector<unsigned char> buffer(1 << 20);
    uint64_t position = 0;
    for (;;) {
        const size_t got = fread(buffer.data(), 1, buffer.size(), file.get());
        if (got == 0) break;
        for (ProbeWindow& window : *windows) {
            const uint64_t from = std::max(position, window.offset);
            const uint64_t to = std::min(position + got, window.offset + window.length);
            if (from < to) {
                window.local.insert(window.local.end(), buffer.data() + (from - position), buffer.data() + (to - position));
            }
        }
        position += got;
    }
    return ferror(file.get()) == 0;
}

static bool read_local_release(const std::string& folder, LocalRelease* local, std::string* error) {
    const std::string files = folder + "\\" + release_files_folder + "\\";
    FileText text = read_whole_file((files + release_description_name).c_str());
    const uint64_t archive_size = file_size_on_disk((files + full_archive_name).c_str());
    if (!text || archive_size == unknown_file_size ||
        !hash_local_file(files + update_archive_name, &local->update_sha256, &local->update_size)) {
        *error = "--local " + folder + ": expected files/release.json, files/" + full_archive_name + " and files/" +
                 update_archive_name + " (what pack writes)";
        return false;
    }
    local->present = true;
    local->release_text = text.get();
    local->archive_size = archive_size;
    return true;
}

// Collects findings and the checks that passed for one HTTP version.
struct ProbeRun {
    std::string label;  // "HTTP/1.1", "HTTP/2"
    ProbeHttpVersion version;
    std::vector<Finding>* findings;
    std::vector<std::string>* passed;
    std::map<std::string, std::string> validators;  // url -> first ETag/Last-Modified

    void fail(const std::string& url, const std::string& request, const std::string& rule, const std::string& message) {
        findings->push_back({url, label + " " + request, rule, message});
    }
    void pass(const std::string& what) { passed->push_back(label + ": " + what); }
};

// A weak ETag names the same content as the strong one of the same tag:
// Apache marks the ETag of a file changed within the last second weak,
// then strong for the same file a moment later.
static std::string validator_of(const ProbeResponse& response) {
    if (!response.etag.empty()) {
        return "ETag " + (response.etag.compare(0, 2, "W/") == 0 ? response.etag.substr(2) : response.etag);
    }
    if (!response.last_modified.empty()) return "Last-Modified " + response.last_modified;
    return std::string();
}

// Step 5: every answer for one file carries the validator of the first.
static void check_validator(ProbeRun* run, const std::string& url, const std::string& request,
                            const ProbeResponse& response) {
    const std::string validator = validator_of(response);
    const auto first = run->validators.emplace(url, validator);
    if (first.second || first.first->second == validator) return;
    run->fail(url, request, "validator-changed",
              "the file changed during the probe (" + first.first->second + ", then " + validator +
                  "): the server or CDN serves two versions at once, and an installation reading windows from both "
                  "writes a damaged game. Publish a release under one name only after every edge has it, or purge "
                  "the CDN in one step");
}

static std::string unreached(const ProbeResponse& response) {
    return "no answer (" + response.failure + ")";
}

// False when the server gave no answer at all: nothing more is asked then.
static bool probe_release_description(ProbeRun* run, const std::string& url, const LocalRelease& local) {
    const ProbeResponse response = probe_get(url, "", run->version, 65536, true);
    if (!response.reached) {
        run->fail(url, "GET", "unreachable",
                  unreached(response) + ": the programs tell players they couldn't reach the ZEM site. Check the "
                                        "address, DNS and the TLS certificate chain");
        return false;
    }
    if (response.status != 200 || !response.body_complete) {
        run->fail(url, "GET", "release-json-status",
                  "status " + std::to_string(response.status) +
                      (response.body_complete ? "" : " (body cut short)") +
                      ": the updater needs 200 and the whole file, or it reports that it cannot check for updates");
        return true;
    }
    const std::string text(response.body.begin(), response.body.end());
    char version[version_capacity] = "";
    extract_version(text.c_str(), version);
    if (version[0] == '\0') {
        run->fail(url, "GET", "release-json-version",
                  "no version the updater can read: it then fetches the update archive at every run");
        return true;
    }
    if (local.present && text != local.release_text) {
        run->fail(url, "GET", "release-json-differs",
                  "not the local release.json: the server announces version \"" + std::string(version) +
                      "\"; upload the release or purge the cache");
        return true;
    }
    run->pass("release.json 200, version " + std::string(version));
    return true;
}

// Step 2; returns the archive size, 0 when the installer would see none.
static uint64_t probe_archive_size_like_installer(ProbeRun* run, const std::string& url, const LocalRelease& local) {
    const std::string request = "Range: bytes=0-0";
    const ProbeResponse response = probe_get(url, request, run->version, 1);
    if (!response.reached) {
        run->fail(url, request, "unreachable",
                  unreached(response) + ": the installer tells players it \"couldn't reach the ZEM site\"");
        return 0;
    }
    check_validator(run, url, request, response);
    const uint64_t size = archive_size_from_content_range(response.content_range.c_str());
    if (response.status == 200) {
        run->fail(url, request, "range-ignored",
                  "answered 200 (the whole file) instead of 206: the installer finds no size, asks six times and "
                  "tells players \"the game download couldn't be read\". Enable byte ranges (nginx: no "
                  "max_ranges 0; a CDN: range requests / partial content on)");
        return 0;
    }
    if (response.status != 206 || size == 0) {
        run->fail(url, request, "size-probe",
                  "status " + std::to_string(response.status) + ", Content-Range \"" + response.content_range +
                      "\": the installer needs 206 with \"bytes 0-0/TOTAL\"; without it, it asks six times when the "
                      "answer is 2xx or 5xx and then tells players \"the game download couldn't be read\", and at "
                      "once that it \"couldn't reach the ZEM site\" for any other");
        return 0;
    }
    if (local.present && size != local.archive_size) {
        run->fail(url, request, "archive-size-differs",
                  "total " + std::to_string(size) + " but the local archive has " + std::to_string(local.archive_size) +
                      " bytes: the server has another archive (upload it, or purge the cache)");
        return size;
    }
    run->pass("size probe 206, total " + std::to_string(size));
    return size;
}

// Step 3.
static void probe_windows(ProbeRun* run, const std::string& url, std::vector<ProbeWindow>* windows) {
    for (ProbeWindow& window : *windows) {
        const std::string request = "Range: bytes=" + std::to_string(window.offset) + "-" +
                                    std::to_string(window.offset + window.length - 1);
        const ProbeResponse response = probe_get(url, request, run->version, static_cast<size_t>(window.length));
        if (!response.reached) {
            run->fail(url, request, "unreachable",
                      unreached(response) + ": the installer retries 6 times over 30 seconds, then stops");
            continue;
        }
        check_validator(run, url, request, response);
        if (response.status != 206) {
            run->fail(url, request, "window-status",
                      "status " + std::to_string(response.status) + " for the " + window.where +
                          " window: the installer counts every answer but 206 as a lost connection, retries 6 times "
                          "over 30 seconds and stops. Make every range request answer 206");
            continue;
        }
        // The range first: a cache that serves one stored range for every
        // range sends a body of that range's length, which is not the
        // storage's fault.
        const std::string expected_range = "bytes " + std::to_string(window.offset) + "-" +
                                           std::to_string(window.offset + window.length - 1) + "/";
        if (response.content_range.compare(0, expected_range.size(), expected_range) != 0) {
            run->fail(url, request, "wrong-range",
                      "206 with Content-Range \"" + response.content_range + "\" for the " + window.where +
                          " window: the installer takes no byte of an answer for another range than it asked for, "
                          "counts it as a lost connection, retries 6 times over 30 seconds and stops. A cache that "
                          "serves one stored range for every range does this: let range requests through to the "
                          "origin, or cache the whole file");
            continue;
        }
        if (response.body.size() != window.length || !response.body_complete) {
            run->fail(url, request, "short-range-body",
                      "206 with " + std::to_string(response.body_bytes) + " of " + std::to_string(window.length) +
                          " bytes for the " + window.where +
                          " window: the installer retries 6 times and stops. A cache whose storage is smaller than "
                          "the archive does this: give it room for the whole file, or let range requests through "
                          "to the origin");
            continue;
        }
        if (!window.local.empty() && response.body != window.local) {
            run->fail(url, request, "range-bytes-differ",
                      std::string("the ") + window.where +
                          " window's bytes are not the local archive's: the server serves another release (upload "
                          "it, or purge the cache); players would install a damaged game");
            continue;
        }
        run->pass(std::string(window.where) + " window 206, " + std::to_string(window.length) + " bytes" +
                  (window.local.empty() ? "" : ", same as local"));
    }
}

// Step 4.
static void probe_update_archive(ProbeRun* run, const std::string& url, const LocalRelease& local, bool quiet) {
    const std::string label = "probe: " + run->label + " update archive";
    const ProbeResponse response = probe_get(url, "", run->version, 0, true, quiet ? nullptr : label.c_str());
    if (!response.reached) {
        run->fail(url, "GET", "unreachable", unreached(response) + ": the updater reports that the update didn't download");
        return;
    }
    check_validator(run, url, "GET", response);
    if (response.status != 200 || !response.has_content_length) {
        run->fail(url, "GET", "update-archive-status",
                  "status " + std::to_string(response.status) +
                      (response.has_content_length ? "" : ", no Content-Length") +
                      ": the updater needs 200 with a Content-Length to download the update and show its progress");
        return;
    }
    if (!response.body_complete || response.body_bytes != response.content_length) {
        run->fail(url, "GET", "update-archive-short",
                  std::to_string(response.body_bytes) + " of " + std::to_string(response.content_length) +
                      " bytes: the updater reports that the update didn't download");
        return;
    }
    if (local.present && (response.body_sha256 != local.update_sha256 || response.body_bytes != local.update_size)) {
        run->fail(url, "GET", "update-archive-differs",
                  "SHA-256 " + response.body_sha256 + " is not the local archive's " + local.update_sha256 +
                      ": the server has another update archive (upload it, or purge the cache)");
        return;
    }
    run->pass("update archive 200, " + std::to_string(response.body_bytes) + " bytes" +
              (local.present ? ", same SHA-256 as local" : ""));
}

bool probe_release(const ProbeOptions& options, std::vector<Finding>* findings, std::vector<std::string>* passed,
                   std::string* error) {
    std::string base = options.base_url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    if (base.compare(0, 8, "https://") != 0 || base.size() == 8 || base.find_first_of(" \t\r\n") != std::string::npos) {
        *error = "BASE_URL must be an https:// address (the programs use nothing else): '" + options.base_url + "'";
        return false;
    }
    LocalRelease local;
    if (!options.local_folder.empty() && !read_local_release(options.local_folder, &local, error)) return false;

    const std::string files = base + "/" + release_files_folder + "/";
    const std::string release_url = files + release_description_name;
    const std::string archive_url = files + full_archive_name;
    const std::string update_url = files + update_archive_name;
    std::vector<ProbeWindow> local_windows;
    bool windows_read = false;
    for (ProbeHttpVersion version : {ProbeHttpVersion::http1_1, ProbeHttpVersion::http2}) {
        ProbeRun run{version == ProbeHttpVersion::http2 ? "HTTP/2" : "HTTP/1.1", version, findings, passed, {}};
        if (version == ProbeHttpVersion::http2) {
            const ProbeResponse check = probe_get(release_url, "", version, 65536);
            if (check.reached && check.http_version != "2") {
                passed->push_back("HTTP/2: not negotiated (the server does not offer it, or this system's HTTP client "
                                  "cannot speak it); probed over HTTP/1.1 only");
                continue;
            }
        }
        if (!probe_release_description(&run, release_url, local)) continue;
        const uint64_t size = probe_archive_size_like_installer(&run, archive_url, local);
        if (size != 0) {
            std::vector<ProbeWindow> windows;
            const uint64_t length = std::min<uint64_t>(size, window_capacity);
            windows.push_back({0, length, "first", {}});
            windows.push_back({size / 2, std::min<uint64_t>(length, size - size / 2), "middle", {}});
            windows.push_back({size - length, length, "last", {}});
            if (local.present && size == local.archive_size) {
                if (!windows_read) {
                    local_windows = windows;
                    if (!read_local_windows(options.local_folder + "\\" + release_files_folder + "\\" + full_archive_name,
                                            &local_windows)) {
                        *error = "cannot read the local full archive";
                        return false;
                    }
                    windows_read = true;
                }
                windows = local_windows;
            }
            probe_windows(&run, archive_url, &windows);
        }
        probe_update_archive(&run, update_url, local, options.quiet);
    }
    return true;
}

}  // namespace zem
