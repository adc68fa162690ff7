// How zem-publish reports: findings as lines for a person or as JSON for
// CI, and a progress line on standard error for the long steps.
#include "publish/publish.h"

#include <cstdio>

namespace zem {

void print_findings(const std::vector<Finding>& findings, const char* prefix) {
    for (const Finding& finding : findings) {
        if (finding.entry.empty()) {
            printf("%s%s: %s [%s]\n", prefix, finding.subject.c_str(), finding.message.c_str(), finding.rule.c_str());
        } else {
            printf("%s%s: %s: %s [%s]\n", prefix, finding.subject.c_str(), finding.entry.c_str(),
                   finding.message.c_str(), finding.rule.c_str());
        }
    }
}

// Length of the valid UTF-8 sequence at text[i], 0 when there is none.
static size_t utf8_sequence_length(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (c >= 0xF8) length = 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    char escape[8];
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t length = utf8_sequence_length(text, i)) {
            out.append(text, i, length);
            i += length;
        } else {
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        }
    }
    return out + "\"";
}

std::string json_findings(const std::vector<Finding>& findings) {
    std::string out = "[";
    for (size_t i = 0; i < findings.size(); ++i) {
        const Finding& f = findings[i];
        out += i ? ",\n  " : "\n  ";
        out += "{\"subject\": " + json_string(f.subject) + ", \"entry\": " + json_string(f.entry) +
               ", \"rule\": " + json_string(f.rule) + ", \"message\": " + json_string(f.message) + "}";
    }
    return out + (findings.empty() ? "]" : "\n]");
}

// The percentage on the line now; -1 when no progress line is shown.
static int last_shown = -1;

void show_progress(const char* what, uint64_t done, uint64_t total, bool quiet) {
    if (quiet) return;
    const int percentage = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    if (percentage == last_shown) return;
    last_shown = percentage;
    const int filled = percentage / 5;
    fprintf(stderr, "\r%s [%.*s%.*s] %3d%%", what, filled, "####################", 20 - filled,
            "                    ", percentage);
    fflush(stderr);
}

void progress_done(bool quiet) {
    if (quiet || last_shown < 0) return;
    last_shown = -1;
    fprintf(stderr, "\n");
}

}  // namespace zem
