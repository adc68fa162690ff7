// SHA-256 digests of bytes and files, and their hexadecimal text: one way
// for the updater's archive digest, the installer's checks against a signed
// manifest, and the publisher's tool.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace zem {

// Reads length hex digits (either case) into length / 2 bytes. False for
// an odd length or any other character.
bool decode_hex(const char* text, size_t length, unsigned char* bytes);
// Writes count bytes as 2 * count lower-case hex digits.
std::string encode_hex(const unsigned char* bytes, size_t count);

// The SHA-256 of size bytes. False when the hash cannot be made.
bool sha256_of_bytes(const void* data, size_t size, unsigned char digest[sha256_digest_size]);

// The SHA-256 of the whole file, read in pieces of 64 KiB; *file_size (when
// not null) receives how many bytes that was. False when the file cannot be
// opened, a read fails (the digest of part of a file must never stand for
// the file's) or the hash refuses data; the out-parameters are then left as
// they were.
bool sha256_of_file(const char* path, unsigned char digest[sha256_digest_size], uint64_t* file_size);

}  // namespace zem
