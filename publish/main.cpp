// zem-publish: command line. Exit status 0 when all is well, 1 when there
// are findings, 2 for a usage or I/O error.
#include "publish/publish.h"

#include "common/key_chain.h"
#include "common/release_signing.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace zem {

static const char* const usage_text =
    "usage: zem-publish COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  pack GAME_DIR --version V [--base PREVIOUS] --out OUT_DIR [--threads N] [--key PRIVATE [--keys KEYS]]\n"
    "       [--strict]\n"
    "        Makes a release under OUT_DIR/files/: frolix-rewrite.zip (the full archive),\n"
    "        frolix-rewrite-update.zip (what changed since PREVIOUS: a game folder, a full\n"
    "        archive, or an OUT_DIR of pack; everything without it) and release.json.\n"
    "        OUT_DIR lies outside GAME_DIR. With --key, signs the release with the private\n"
    "        key file: frolix-rewrite.zip.manifest and frolix-rewrite-update.zip.sig.\n"
    "        With --keys KEYS (a rooted release: the keys text that delegates that key),\n"
    "        also puts it beside them as frolix-rewrite.keys.\n"
    "        Notices (an empty folder, which no archive carries) leave the status 0;\n"
    "        with --strict they are findings.\n"
    "  check [--kind full|update] [--public-key KEY | --root-key ROOT] ARCHIVE...\n"
    "        Reports everything in the archives that the programs would not install as\n"
    "        expected, each with its rule. The kind follows the name (\"-update.zip\").\n"
    "        With --public-key (NAME.public, or its 130 hex digits), also checks the\n"
    "        signed ARCHIVE.manifest or ARCHIVE.sig beside each archive. With --root-key\n"
    "        (a root key's NAME.public or digits), walks frolix-rewrite.keys beside the\n"
    "        archives from that root, as the programs do, and checks them with the key\n"
    "        it delegates.\n"
    "  keygen NAME [--root]\n"
    "        Makes a release (publisher) key, or with --root a root key: NAME (the private\n"
    "        key; keep it offline) and NAME.public (for cmake -DZEM_PUBLISHER_KEY=... or,\n"
    "        for a root key, -DZEM_ROOT_KEY=...). Never overwrites a file.\n"
    "  delegate ROOT --release-key RELEASE.public --number N [--keys PREVIOUS] --out KEYS\n"
    "        On the machine that holds the root key: writes the keys text KEYS, the\n"
    "        root links of PREVIOUS (when given) and a delegation of the release key,\n"
    "        numbered N (above PREVIOUS's), signed by the root.\n"
    "  rotate-root OLD_ROOT NEW_ROOT --keys PREVIOUS --out KEYS\n"
    "        Writes PREVIOUS with a root link to NEW_ROOT added (signed by both roots)\n"
    "        and its delegation signed again by NEW_ROOT.\n"
    "  probe BASE_URL [--local OUT_DIR]\n"
    "        Tries BASE_URL/files/ the way the programs use it (TLS verified), and compares\n"
    "        the bytes with OUT_DIR/files/ when given.\n"
    "\n"
    "Options for every command:\n"
    "  --json    machine-readable output on standard output\n"
    "  --quiet   no progress line on standard error\n"
    "  --help    this text\n"
    "\n"
    "Exit status: 0 all is well, 1 findings, 2 usage or I/O error.\n";

struct CommandLine {
    std::string command;
    std::vector<std::string> positional;
    std::string version, base, out, kind, local, threads, key, public_key, keys, release_key, number, root_key;
    bool json = false, quiet = false, help = false, strict = false, root = false;
};

// Reads every argument after the command. False (error set) for an
// unknown option or an option without its value.
static bool parse_arguments(int argc, char** argv, CommandLine* line, std::string* error) {
    struct ValueOption {
        const char* name;
        std::string* value;
    } value_options[] = {{"--version", &line->version}, {"--base", &line->base},   {"--out", &line->out},
                         {"--kind", &line->kind},       {"--local", &line->local}, {"--threads", &line->threads},
                         {"--key", &line->key},         {"--public-key", &line->public_key},
                         {"--keys", &line->keys},       {"--release-key", &line->release_key},
                         {"--number", &line->number},   {"--root-key", &line->root_key}};
    for (int i = 2; i < argc; ++i) {
        const char* argument = argv[i];
        if (strcmp(argument, "--json") == 0) {
            line->json = true;
            continue;
        }
        if (strcmp(argument, "--quiet") == 0) {
            line->quiet = true;
            continue;
        }
        if (strcmp(argument, "--strict") == 0) {
            line->strict = true;
            continue;
        }
        if (strcmp(argument, "--root") == 0) {
            line->root = true;
            continue;
        }
        if (strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0) {
            line->help = true;
            continue;
        }
        bool matched = false;
        for (ValueOption& option : value_options) {
            if (strcmp(argument, option.name) != 0) continue;
            if (i + 1 >= argc) {
                *error = std::string(option.name) + " needs a value";
                return false;
            }
            *option.value = argv[++i];
            matched = true;
        }
        if (matched) continue;
        if (argument[0] == '-' && argument[1] != '\0') {
            *error = std::string("unknown option ") + argument;
            return false;
        }
        line->positional.push_back(argument);
    }
    return true;
}

// An I/O error of a command: on standard error, and with --json also as
// {"error": ...} on standard output, so that CI reads one JSON object.
static int io_error(const CommandLine& line, const std::string& message) {
    fprintf(stderr, "zem-publish: %s\n", message.c_str());
    if (line.json) printf("{\"error\": %s}\n", json_string(message).c_str());
    return static_cast<int>(PublishStatus::usage_or_io_error);
}

static int usage_error(const std::string& message) {
    fprintf(stderr, "zem-publish: %s\n(zem-publish --help for usage)\n", message.c_str());
    return static_cast<int>(PublishStatus::usage_or_io_error);
}

// The keys text a rooted release puts beside its archives.
static std::string keys_text_beside(const std::string& archive) {
    const size_t separator = archive.find_last_of("/\\");
    if (separator == std::string::npos) return keys_file_name;
    return archive.substr(0, separator + 1) + keys_file_name;
}

static int run_check(const CommandLine& line) {
    if (line.positional.empty()) return usage_error("check needs at least one ARCHIVE");
    // A check that quietly left the signatures out would pass for one.
    if (!line.key.empty()) return usage_error("check takes --public-key NAME.public, not --key");
    if (!line.kind.empty() && line.kind != "full" && line.kind != "update") {
        return usage_error("--kind is full or update");
    }
    if (!line.public_key.empty() && !line.root_key.empty()) {
        return usage_error("check takes --public-key (an old-style build's key) or --root-key (a rooted build's), "
                           "not both");
    }
    unsigned char public_key[ecdsa_public_key_size];
    if (!line.public_key.empty() && !read_public_key_argument(line.public_key, public_key)) {
        return usage_error("--public-key takes a NAME.public file of keygen or its 130 hex digits");
    }
    unsigned char root_key[ecdsa_public_key_size];
    if (!line.root_key.empty() && !read_public_key_argument(line.root_key, root_key)) {
        return usage_error("--root-key takes a NAME.public file of keygen --root or its 130 hex digits");
    }
    // Each keys text is judged once, whatever number of archives lie beside it.
    struct JudgedKeys {
        bool usable = false;
        unsigned char release_key[ecdsa_public_key_size];
    };
    std::map<std::string, JudgedKeys> judged_keys;
    std::vector<Finding> findings;
    std::vector<std::string> errors;
    for (const std::string& archive : line.positional) {
        const ArchiveKind kind = line.kind.empty() ? archive_kind_from_name(archive.c_str())
                                 : line.kind == "update" ? ArchiveKind::update
                                                         : ArchiveKind::full;
        bool signed_texts_checked = !line.public_key.empty();
        const unsigned char* release_key = public_key;
        if (!line.root_key.empty()) {
            const std::string keys_path = keys_text_beside(archive);
            auto judged = judged_keys.find(keys_path);
            if (judged == judged_keys.end()) {
                JudgedKeys keys;
                keys.usable = check_keys_text(keys_path, root_key, &findings, keys.release_key);
                judged = judged_keys.emplace(keys_path, keys).first;
            }
            signed_texts_checked = judged->second.usable;
            release_key = judged->second.release_key;
        }
        std::string error;
        if (!check_archive(archive.c_str(), kind, &findings, &error) ||
            (signed_texts_checked && !check_archive_signature(archive.c_str(), kind, release_key, &findings, &error))) {
            fprintf(stderr, "zem-publish: %s\n", error.c_str());
            errors.push_back(error);
        }
    }
    if (line.json) {
        std::string errors_json = "[";
        for (size_t i = 0; i < errors.size(); ++i) errors_json += (i ? ", " : "") + json_string(errors[i]);
        printf("{\"findings\": %s, \"errors\": %s]}\n", json_findings(findings).c_str(), errors_json.c_str());
    } else {
        print_findings(findings);
        if (findings.empty() && errors.empty()) printf("check: no findings in %zu archive(s)\n", line.positional.size());
    }
    if (!errors.empty()) return static_cast<int>(PublishStatus::usage_or_io_error);
    return static_cast<int>(findings.empty() ? PublishStatus::ok : PublishStatus::findings);
}

// A keys text file (delegate's or rotate-root's output), read whole.
static bool read_keys_file(const std::string& path, std::string* text, std::string* error) {
    const ReadOutcome outcome = read_file_bytes(path, keys_text_size_limit, text);
    if (outcome == ReadOutcome::read) return true;
    *error = outcome == ReadOutcome::missing     ? "no keys text at " + path
             : outcome == ReadOutcome::too_large ? path + " is larger than the programs read (" +
                                                       std::to_string(keys_text_size_limit) + " bytes)"
                                                 : "cannot read " + path;
    return false;
}

static int run_pack(const CommandLine& line) {
    if (line.positional.size() != 1) return usage_error("pack needs exactly one GAME_DIR");
    if (!line.public_key.empty()) return usage_error("pack signs with --key PRIVATE, not --public-key");
    if (line.version.empty()) return usage_error("pack needs --version V");
    if (!version_is_publishable(line.version)) {
        return usage_error("the version must be 1 to 63 characters without '\"', '\\' or control characters");
    }
    if (line.out.empty()) return usage_error("pack needs --out OUT_DIR");
    PackOptions options;
    options.game_folder = line.positional[0];
    options.version = line.version;
    options.base = line.base;
    options.out_folder = line.out;
    options.quiet = line.quiet;
    if (!line.threads.empty()) {
        char* end = nullptr;
        const unsigned long threads = strtoul(line.threads.c_str(), &end, 10);
        if (*end != '\0' || threads == 0 || threads > 256) return usage_error("--threads is a number from 1 to 256");
        options.threads = static_cast<unsigned>(threads);
    }
    if (!line.keys.empty() && line.key.empty()) {
        return usage_error("--keys goes with --key, the release key that the keys text delegates");
    }
    // The key is read first: a bad one stops pack before it compresses.
    PublisherKey key;
    std::string error;
    if (!line.key.empty()) {
        if (!read_private_key_file(line.key, &key, &error)) return io_error(line, error);
        options.key = &key;
    }
    if (!line.keys.empty() && !read_keys_file(line.keys, &options.keys_text, &error)) return io_error(line, error);
    PackReport report;
    if (!pack_release(options, &report, &error)) return io_error(line, error);
    if (line.strict) {
        report.notes.insert(report.notes.end(), report.notices.begin(), report.notices.end());
        report.notices.clear();
    }
    if (line.json) {
        printf("{\"files\": %llu, \"bytes\": %llu, \"deflated_files\": %llu, \"full_archive_size\": %llu, "
               "\"update_archive_size\": %llu, \"update_files\": %llu, \"removed_lines\": %llu, \"findings\": %s, "
               "\"notices\": %s}\n",
               static_cast<unsigned long long>(report.files), static_cast<unsigned long long>(report.bytes),
               static_cast<unsigned long long>(report.deflated_files),
               static_cast<unsigned long long>(report.full_archive_size),
               static_cast<unsigned long long>(report.update_archive_size),
               static_cast<unsigned long long>(report.update_files),
               static_cast<unsigned long long>(report.removed_lines), json_findings(report.notes).c_str(),
               json_findings(report.notices).c_str());
    } else {
        print_findings(report.notes);
        print_findings(report.notices, "notice: ");
        printf("pack: version %s: %llu files, %llu bytes (%llu deflated, the rest stored)\n", line.version.c_str(),
               static_cast<unsigned long long>(report.files), static_cast<unsigned long long>(report.bytes),
               static_cast<unsigned long long>(report.deflated_files));
        printf("pack: %s/files/%s: %llu bytes\n", line.out.c_str(), full_archive_name,
               static_cast<unsigned long long>(report.full_archive_size));
        printf("pack: %s/files/%s: %llu bytes, %llu files, %llu removal-list lines\n", line.out.c_str(),
               update_archive_name, static_cast<unsigned long long>(report.update_archive_size),
               static_cast<unsigned long long>(report.update_files),
               static_cast<unsigned long long>(report.removed_lines));
        if (options.key != nullptr) {
            printf("pack: signed with %s: %s/files/%s%s, %s/files/%s%s\n", line.key.c_str(), line.out.c_str(),
                   full_archive_name, manifest_suffix, line.out.c_str(), update_archive_name, update_signature_suffix);
        }
        if (!options.keys_text.empty()) printf("pack: keys: %s/files/%s\n", line.out.c_str(), keys_file_name);
    }
    return static_cast<int>(report.notes.empty() ? PublishStatus::ok : PublishStatus::findings);
}

static int run_keygen(const CommandLine& line) {
    if (line.positional.size() != 1) return usage_error("keygen needs exactly one NAME");
    const std::string& name = line.positional[0];
    PublisherKey key;
    std::string error;
    if (!make_key_files(name, &key, &error, line.root ? KeyKind::root : KeyKind::release)) return io_error(line, error);
    const std::string public_key = encode_hex(key.public_key, ecdsa_public_key_size);
    const std::string public_name = name + public_key_file_suffix;
    if (line.json) {
        printf("{\"private_key_file\": %s, \"public_key_file\": %s, \"public_key\": %s}\n", json_string(name).c_str(),
               json_string(public_name).c_str(), json_string(public_key).c_str());
        return static_cast<int>(PublishStatus::ok);
    }
    if (line.root) {
        printf("keygen: root private key: %s\n"
               "keygen: root public key:  %s\n"
               "\n"
               "Keep %s offline, on a machine that never packs releases, with a copy in a second\n"
               "safe place: it signs only delegations (zem-publish delegate) and root links\n"
               "(zem-publish rotate-root). Build the programs with the public key:\n"
               "    cmake -DZEM_ROOT_KEY=$(cat %s) ...\n",
               name.c_str(), public_name.c_str(), name.c_str(), public_name.c_str());
        return static_cast<int>(PublishStatus::ok);
    }
    printf("keygen: private key: %s\n"
           "keygen: public key:  %s\n"
           "\n"
           "Keep %s offline (removable media, the machine that packs releases): never in the\n"
           "repository, on the server or in a backup others can read. Whoever has it can sign\n"
           "releases that every player's programs install. Build the programs with the public key:\n"
           "    cmake -DZEM_PUBLISHER_KEY=$(cat %s) ...\n"
           "and sign each release with: zem-publish pack ... --key %s\n",
           name.c_str(), public_name.c_str(), name.c_str(), public_name.c_str(), name.c_str());
    return static_cast<int>(PublishStatus::ok);
}

// Writes a keys text: beside its final name first, then moved over it.
static bool write_keys_file(const std::string& path, const std::string& text, std::string* error) {
    const std::string temporary = path + ".part";
    if (!write_text_file(temporary, text) || !move_replacing(temporary.c_str(), path.c_str())) {
        delete_file(temporary.c_str());
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

// The previous keys text, and the root that signs its delegation: the
// last link's, or (with no link) root when the delegation verifies under it.
static bool read_previous_keys(const std::string& path, const PublisherKey& root, KeysText* keys,
                               std::string* error) {
    std::string text;
    if (!read_keys_file(path, &text, error)) return false;
    if (!parse_keys_text(text.data(), text.size(), keys)) {
        *error = path + " is not a keys text in the form the programs read";
        return false;
    }
    const bool signs_it = keys->links.empty()
                              ? ecdsa_p256_verify(root.public_key, keys->delegation.body_digest,
                                                  keys->delegation.signature)
                              : memcmp(keys->links.back().root_key, root.public_key, ecdsa_public_key_size) == 0;
    if (!signs_it) {
        *error = "the root key given is not the root that " + path + " ends at";
        return false;
    }
    return true;
}

static std::string links_text(const KeysText& keys) {
    std::string text;
    for (const RootLink& link : keys.links) text += link.text;
    return text;
}

static int run_delegate(const CommandLine& line) {
    if (line.positional.size() != 1) return usage_error("delegate needs exactly one ROOT (the root's private key file)");
    if (line.out.empty()) return usage_error("delegate needs --out KEYS");
    uint64_t number = 0;
    if (!parse_decimal(line.number, &number) || number == 0) {
        return usage_error("delegate needs --number N, a number from 1 without leading zeros");
    }
    unsigned char release_key[ecdsa_public_key_size];
    if (!read_public_key_argument(line.release_key, release_key)) {
        return usage_error("--release-key takes a NAME.public file of keygen or its 130 hex digits");
    }
    PublisherKey root;
    std::string error;
    if (!read_private_key_file(line.positional[0], &root, &error, KeyKind::root)) return io_error(line, error);
    KeysText previous;
    if (!line.keys.empty()) {
        if (!read_previous_keys(line.keys, root, &previous, &error)) return io_error(line, error);
        if (number <= previous.delegation.number) {
            return io_error(line, "the delegation needs a number above " + std::to_string(previous.delegation.number) +
                                      ", the previous one's: the programs that accepted it refuse a lower one, "
                                      "and that is what retires the key it replaces");
        }
    }
    std::string delegation;
    if (!make_delegation(root, number, release_key, &delegation, &error)) return io_error(line, error);
    if (!write_keys_file(line.out, links_text(previous) + delegation, &error)) return io_error(line, error);
    if (line.json) {
        printf("{\"keys\": %s, \"number\": %llu, \"release_key\": %s}\n", json_string(line.out).c_str(),
               static_cast<unsigned long long>(number), json_string(encode_hex(release_key, ecdsa_public_key_size)).c_str());
    } else {
        printf("delegate: %s: delegation %llu of %s\n", line.out.c_str(), static_cast<unsigned long long>(number),
               encode_hex(release_key, ecdsa_public_key_size).c_str());
    }
    return static_cast<int>(PublishStatus::ok);
}

static int run_rotate_root(const CommandLine& line) {
    if (line.positional.size() != 2) return usage_error("rotate-root needs OLD_ROOT and NEW_ROOT (private key files)");
    if (line.keys.empty()) return usage_error("rotate-root needs --keys PREVIOUS, the keys text in use");
    if (line.out.empty()) return usage_error("rotate-root needs --out KEYS");
    PublisherKey old_root, new_root;
    std::string error;
    if (!read_private_key_file(line.positional[0], &old_root, &error, KeyKind::root) ||
        !read_private_key_file(line.positional[1], &new_root, &error, KeyKind::root)) {
        return io_error(line, error);
    }
    KeysText previous;
    if (!read_previous_keys(line.keys, old_root, &previous, &error)) return io_error(line, error);
    const uint64_t number = previous.links.empty() ? 1 : previous.links.back().number + 1;
    // The same delegation, now under the new root: the release key stays.
    std::string link, delegation;
    if (!make_root_link(old_root, new_root, number, &link, &error) ||
        !make_delegation(new_root, previous.delegation.number, previous.delegation.release_key, &delegation, &error)) {
        return io_error(line, error);
    }
    if (!write_keys_file(line.out, links_text(previous) + link + delegation, &error)) return io_error(line, error);
    if (line.json) {
        printf("{\"keys\": %s, \"root_number\": %llu, \"root_key\": %s}\n", json_string(line.out).c_str(),
               static_cast<unsigned long long>(number),
               json_string(encode_hex(new_root.public_key, ecdsa_public_key_size)).c_str());
    } else {
        printf("rotate-root: %s: root link %llu to %s; delegation %llu signed again by it\n", line.out.c_str(),
               static_cast<unsigned long long>(number), encode_hex(new_root.public_key, ecdsa_public_key_size).c_str(),
               static_cast<unsigned long long>(previous.delegation.number));
    }
    return static_cast<int>(PublishStatus::ok);
}

static int run_probe(const CommandLine& line) {
    if (line.positional.size() != 1) return usage_error("probe needs exactly one BASE_URL");
    ProbeOptions options;
    options.base_url = line.positional[0];
    options.local_folder = line.local;
    options.quiet = line.quiet;
    std::vector<Finding> findings;
    std::vector<std::string> passed;
    std::string error;
    if (!probe_release(options, &findings, &passed, &error)) return io_error(line, error);
    if (line.json) {
        std::string passed_json = "[";
        for (size_t i = 0; i < passed.size(); ++i) passed_json += (i ? ", " : "") + json_string(passed[i]);
        printf("{\"passed\": %s], \"findings\": %s}\n", passed_json.c_str(), json_findings(findings).c_str());
    } else {
        for (const std::string& check : passed) printf("ok: %s\n", check.c_str());
        print_findings(findings);
        printf("probe: %zu passed, %zu finding(s)\n", passed.size(), findings.size());
    }
    return static_cast<int>(findings.empty() ? PublishStatus::ok : PublishStatus::findings);
}

int run_publish(int argc, char** argv) {
    if (argc < 2) return usage_error("no command");
    CommandLine line;
    line.command = argv[1];
    if (line.command == "--help" || line.command == "-h" || line.command == "help") {
        fputs(usage_text, stdout);
        return static_cast<int>(PublishStatus::ok);
    }
    std::string error;
    if (!parse_arguments(argc, argv, &line, &error)) return usage_error(error);
    if (line.help) {
        fputs(usage_text, stdout);
        return static_cast<int>(PublishStatus::ok);
    }
    if (line.strict && line.command != "pack") return usage_error("--strict is an option of pack");
    if (line.command == "check") return run_check(line);
    if (line.command == "pack") return run_pack(line);
    if (line.command == "probe") return run_probe(line);
    if (line.root && line.command != "keygen") return usage_error("--root is an option of keygen");
    if (line.command == "keygen") return run_keygen(line);
    if (line.command == "delegate") return run_delegate(line);
    if (line.command == "rotate-root") return run_rotate_root(line);
    return usage_error("unknown command '" + line.command + "'");
}

}  // namespace zem

int main(int argc, char** argv) {
    return zem::run_publish(argc, argv);
}
