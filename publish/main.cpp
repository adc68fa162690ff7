// zem-publish: command line. Exit status 0 when all is well, 1 when there
// are findings, 2 for a usage or I/O error.
#include "publish/publish.h"

#include "common/release_signing.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zem {

static const char* const usage_text =
    "usage: zem-publish COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  pack GAME_DIR --version V [--base PREVIOUS] --out OUT_DIR [--threads N] [--key PRIVATE] [--strict]\n"
    "        Makes a release under OUT_DIR/files/: frolix-rewrite.zip (the full archive),\n"
    "        frolix-rewrite-update.zip (what changed since PREVIOUS: a game folder, a full\n"
    "        archive, or an OUT_DIR of pack; everything without it) and release.json.\n"
    "        OUT_DIR lies outside GAME_DIR. With --key, signs the release with the private\n"
    "        key file: frolix-rewrite.zip.manifest and frolix-rewrite-update.zip.sig.\n"
    "        Notices (an empty folder, which no archive carries) leave the status 0;\n"
    "        with --strict they are findings.\n"
    "  check [--kind full|update] [--public-key KEY] ARCHIVE...\n"
    "        Reports everything in the archives that the programs would not install as\n"
    "        expected, each with its rule. The kind follows the name (\"-update.zip\").\n"
    "        With --public-key (NAME.public, or its 130 hex digits), also checks the\n"
    "        signed ARCHIVE.manifest or ARCHIVE.sig beside each archive.\n"
    "  keygen NAME\n"
    "        Makes a publisher key: NAME (the private key; keep it offline) and\n"
    "        NAME.public (for cmake -DZEM_PUBLISHER_KEY=...). Never overwrites a file.\n"
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
    std::string version, base, out, kind, local, threads, key, public_key;
    bool json = false, quiet = false, help = false, strict = false;
};

// Reads every argument after the command. False (error set) for an
// unknown option or an option without its value.
static bool parse_arguments(int argc, char** argv, CommandLine* line, std::string* error) {
    struct ValueOption {
        const char* name;
        std::string* value;
    } value_options[] = {{"--version", &line->version}, {"--base", &line->base},   {"--out", &line->out},
                         {"--kind", &line->kind},       {"--local", &line->local}, {"--threads", &line->threads},
                         {"--key", &line->key},         {"--public-key", &line->public_key}};
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

static int run_check(const CommandLine& line) {
    if (line.positional.empty()) return usage_error("check needs at least one ARCHIVE");
    // A check that quietly left the signatures out would pass for one.
    if (!line.key.empty()) return usage_error("check takes --public-key NAME.public, not --key");
    if (!line.kind.empty() && line.kind != "full" && line.kind != "update") {
        return usage_error("--kind is full or update");
    }
    unsigned char public_key[ecdsa_public_key_size];
    if (!line.public_key.empty() && !read_public_key_argument(line.public_key, public_key)) {
        return usage_error("--public-key takes a NAME.public file of keygen or its 130 hex digits");
    }
    std::vector<Finding> findings;
    std::vector<std::string> errors;
    for (const std::string& archive : line.positional) {
        const ArchiveKind kind = line.kind.empty() ? archive_kind_from_name(archive.c_str())
                                 : line.kind == "update" ? ArchiveKind::update
                                                         : ArchiveKind::full;
        std::string error;
        if (!check_archive(archive.c_str(), kind, &findings, &error) ||
            (!line.public_key.empty() && !check_archive_signature(archive.c_str(), kind, public_key, &findings, &error))) {
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
    // The key is read first: a bad one stops pack before it compresses.
    PublisherKey key;
    std::string error;
    if (!line.key.empty()) {
        if (!read_private_key_file(line.key, &key, &error)) return io_error(line, error);
        options.key = &key;
    }
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
    }
    return static_cast<int>(report.notes.empty() ? PublishStatus::ok : PublishStatus::findings);
}

static int run_keygen(const CommandLine& line) {
    if (line.positional.size() != 1) return usage_error("keygen needs exactly one NAME");
    const std::string& name = line.positional[0];
    PublisherKey key;
    std::string error;
    if (!make_key_files(name, &key, &error)) return io_error(line, error);
    const std::string public_key = encode_hex(key.public_key, ecdsa_public_key_size);
    const std::string public_name = name + public_key_file_suffix;
    if (line.json) {
        printf("{\"private_key_file\": %s, \"public_key_file\": %s, \"public_key\": %s}\n", json_string(name).c_str(),
               json_string(public_name).c_str(), json_string(public_key).c_str());
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
    if (line.command == "keygen") return run_keygen(line);
    return usage_error("unknown command '" + line.command + "'");
}

}  // namespace zem

int main(int argc, char** argv) {
    return zem::run_publish(argc, argv);
}
