// A zip writer that gives the same bytes for the same entries: fixed
// time stamps and attributes, entries in the order given, zip64 records
// only where a size or offset needs them.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zem {

constexpr uint16_t method_stored = 0;
constexpr uint16_t method_deflate = 8;

struct ZipOutput {
    FileStream file;
    uint64_t offset = 0;
    bool failed = false;
    struct Record {
        std::string name;
        uint32_t crc;
        uint64_t size;
        uint64_t compressed_size;
        uint16_t method;
        uint64_t local_header_offset;
    };
    std::vector<Record> records;
    // When open, every byte written is hashed too; zip_finish puts the
    // archive's SHA-256 into digest.
    Sha256 hash;
    unsigned char digest[sha256_digest_size] = {};
};

// Opens path for writing. False when it cannot be created.
bool zip_open(ZipOutput* zip, const char* path);

// Writes the local header of one entry; its data follows with zip_write_data.
void zip_begin_entry(ZipOutput* zip, const std::string& name, uint32_t crc, uint64_t size, uint64_t compressed_size,
                     uint16_t method);
void zip_write_data(ZipOutput* zip, const void* data, size_t size);

// Writes the central directory and the end records and closes the file.
// False when any write failed (or the hash could not be made).
bool zip_finish(ZipOutput* zip);

}  // namespace zem
