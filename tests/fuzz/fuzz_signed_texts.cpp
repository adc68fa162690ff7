// The publisher's signed texts: the update archive's signature and the full
// archive's manifest. The input is the body; it is signed (zem-publish's
// own sign_text) with a key made at start, so that every input reaches the
// parsers behind the signature, which both readers then judge. Besides
// crashes and sanitizer reports, checks that
// - a text accepted as either kind says exactly what was signed: written
//   back from what was read, it is the body again (a manifest's entry
//   lines in any order: the readers look entries up by name);
// - no text is accepted as both kinds;
// - the text with one byte changed, or with anything after its signature
//   line, is refused by both.
#include "common/release_signing.h"
#include "fuzz_text.h"
#include "publish/publish.h"

#include <algorithm>
#include <string>
#include <vector>

using zem_fuzz::require;

namespace {

const zem::PublisherKey& fuzzing_key() {
    static const zem::PublisherKey key = [] {
        zem::PublisherKey made;
        std::string error;
        require(zem::ecdsa_p256_generate(made.private_key, made.public_key, &error), "no key could be made");
        return made;
    }();
    return key;
}

bool accepted_as_update_signature(const std::string& text, zem::UpdateSignature* signature) {
    return zem::read_update_signature(fuzzing_key().public_key, text.data(), text.size(), signature);
}

bool accepted_as_manifest(const std::string& text, zem::Manifest* manifest) {
    return zem::read_manifest(fuzzing_key().public_key, text.data(), text.size(), manifest);
}

// The text's lines, each with its '\n', sorted.
std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, next - start));
        start = next;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

bool says_what_was_signed(const zem::Manifest& manifest, const std::string& body) {
    const std::string head = std::string(zem::manifest_heading) + "\nversion " + manifest.version + "\n";
    if (body.compare(0, head.size(), head) != 0) return false;
    std::string entries;
    for (const zem::ManifestEntry& entry : manifest.entries) entries += zem::manifest_entry_line(entry);
    return sorted_lines(entries) == sorted_lines(body.substr(head.size()));
}

void require_refused(const std::string& text, const char* rule) {
    zem::UpdateSignature signature;
    zem::Manifest manifest;
    require(!accepted_as_update_signature(text, &signature) && !accepted_as_manifest(text, &manifest), rule);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    std::string text, error;
    require(zem::sign_text(fuzzing_key(), body, &text, &error), "the body could not be signed");

    zem::UpdateSignature signature;
    zem::Manifest manifest;
    const bool update = accepted_as_update_signature(text, &signature);
    const bool full = accepted_as_manifest(text, &manifest);
    require(!(update && full), "a text accepted as both kinds");
    if (update) {
        require(zem::update_signature_body(signature.version, signature.archive_digest) == body,
                "an update signature says other than it signed");
    }
    if (full) require(says_what_was_signed(manifest, body), "a manifest says other than it signed");

    // One byte changed, where and how the input says (FNV-1a of it).
    uint32_t seed = 2166136261u;
    for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
    std::string changed = text;
    changed[seed % changed.size()] ^= static_cast<char>(1 + (seed >> 16) % 255);
    require_refused(changed, "a text with one byte changed is accepted");
    require_refused(text + "\n", "a text with a line end after its signature is accepted");
    require_refused(text + text.substr(body.size()), "a text signed twice is accepted");
    return 0;
}
