#include "common/state_files.h"

#include "platform/platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace zem {

FileText read_whole_file(const char* path, size_t* length_read) {
    FileStream file(open_file(path, "rb"));
    if (!file.is_open()) return FileText();
    if (fseek(file.get(), 0, SEEK_END) != 0) return FileText();
    // A length that is not a non-negative 32-bit number (unavailable, or
    // 2 GiB and more) makes the file unreadable.
    const long position = ftell(file.get());
    if (position < 0 || position > INT32_MAX) return FileText();
    if (fseek(file.get(), 0, SEEK_SET) != 0) return FileText();
    const size_t length = static_cast<size_t>(position);
    FileText text(static_cast<char*>(std::malloc(length + 1)));
    if (!text) return FileText();
    if (fread(text.get(), 1, length, file.get()) != length) return FileText();
    text.get()[length] = '\0';
    if (length_read != nullptr) *length_read = length;
    return text;
}

// The value of the first key (quoted, as key is) in text, by a plain
// search: the colon after the key, the double quote after the colon, and
// the value up to the next double quote. Null when any is missing; *end
// is then left as it was.
static const char* find_quoted_value(const char* text, const char* key, size_t* length, const char** end) {
    const char* found = strstr(text, key);
    if (found == nullptr) return nullptr;
    const char* colon = strchr(found + strlen(key), ':');
    if (colon == nullptr) return nullptr;
    const char* opening = strchr(colon, '"');
    if (opening == nullptr) return nullptr;
    const char* value = opening + 1;
    const char* closing = strchr(value, '"');
    if (closing == nullptr) return nullptr;
    *length = static_cast<size_t>(closing - value);
    *end = closing + 1;
    return value;
}

// Copies a value shorter than 64 characters; a longer one changes nothing.
static void copy_version_value(const char* value, size_t length, char* version) {
    if (length >= version_capacity) return;
    memcpy(version, value, length);
    version[length] = '\0';
}

void extract_version(const char* release_text, char* version) {
    if (release_text == nullptr) return;
    size_t length = 0;
    const char* end = nullptr;
    const char* value = find_quoted_value(release_text, "\"version\"", &length, &end);
    if (value != nullptr) copy_version_value(value, length, version);
}

void extract_base_version(const char* release_text, char* base) {
    if (release_text == nullptr) return;
    size_t length = 0;
    const char* after_version = nullptr;
    if (find_quoted_value(release_text, "\"version\"", &length, &after_version) == nullptr) return;
    const char* end = nullptr;
    const char* value = find_quoted_value(after_version, "\"base\"", &length, &end);
    if (value != nullptr) copy_version_value(value, length, base);
}

void read_version_file(const char* path, char* version) {
    FileText text = read_whole_file(path);
    extract_version(text.get(), version);
}

void trim_stored_hash(const char* text, char* hash) {
    size_t length = 0;
    while (length < stored_hash_capacity - 1 && text[length] != '\0') {
        const char c = text[length];
        if (c == '\r' || c == '\n' || c == ' ') break;
        hash[length] = c;
        ++length;
    }
    hash[length] = '\0';
}

void read_stored_hash(char* hash) {
    hash[0] = '\0';
    FileText text = read_whole_file(stored_hash_path);
    if (!text) return;
    trim_stored_hash(text.get(), hash);
}

void create_state_folder() {
    make_folder(state_folder);
}

void create_empty_marker(const char* path) {
    FileStream marker(open_file(path, "wb"));
}

FileLock take_writer_lock(const char* waiting_line) {
    create_state_folder();
    FileLock lock = open_lock_file(writer_lock_path);
    if (!lock.is_open()) return lock;
    switch (try_lock_file(lock.get())) {
    case LockAttempt::held:
        return lock;
    case LockAttempt::unsupported:
        return FileLock();
    case LockAttempt::busy:
        break;
    }
    printf("%s", waiting_line);
    fflush(stdout);
    if (!wait_for_file_lock(lock.get())) return FileLock();
    return lock;
}

bool file_is_readable(const char* path) {
    return static_cast<bool>(read_whole_file(path));
}

static char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_ascii_case(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b)) return false;
        if (*a == '\0') return true;
    }
}

bool span_equals_ignoring_ascii_case(const char* text, size_t length, const char* word) {
    if (strlen(word) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (ascii_lower(text[i]) != ascii_lower(word[i])) return false;
    }
    return true;
}

}  // namespace zem
