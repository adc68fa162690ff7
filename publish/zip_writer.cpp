#include "publish/zip_writer.h"

namespace zem {

// 2000-01-01 00:00:00 in MS-DOS form: a fixed time, so that the bytes do
// not depend on when or in which time zone a release is packed.
constexpr uint16_t fixed_dos_time = 0;
constexpr uint16_t fixed_dos_date = ((2000 - 1980) << 9) | (1 << 5) | 1;
constexpr uint16_t utf8_name_flag = 0x0800;
constexpr uint32_t zip32_limit = 0xFFFFFFFFu;
constexpr uint16_t version_plain = 20;  // deflate
constexpr uint16_t version_zip64 = 45;
// "Made by" Unix, with the mode of a plain readable file: Info-ZIP's unzip
// reads the UTF-8 flag of such entries (for MS-DOS ones it converts the
// name from an OEM code page instead). The programs look at neither.
constexpr uint16_t made_by_unix = 3 << 8;
constexpr uint32_t plain_file_attributes = 0100644u << 16;

static void put16(std::string* out, uint16_t value) {
    out->push_back(static_cast<char>(value & 0xFF));
    out->push_back(static_cast<char>(value >> 8));
}

static void put32(std::string* out, uint32_t value) {
    put16(out, static_cast<uint16_t>(value & 0xFFFF));
    put16(out, static_cast<uint16_t>(value >> 16));
}

static void put64(std::string* out, uint64_t value) {
    put32(out, static_cast<uint32_t>(value & 0xFFFFFFFFu));
    put32(out, static_cast<uint32_t>(value >> 32));
}

static uint16_t name_flags(const std::string& name) {
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80) return utf8_name_flag;
    }
    return 0;
}

static void write_bytes(ZipOutput* zip, const std::string& bytes) {
    zip_write_data(zip, bytes.data(), bytes.size());
}

bool zip_open(ZipOutput* zip, const char* path) {
    zip->file = FileStream(open_file(path, "wb"));
    zip->offset = 0;
    zip->failed = !zip->file.is_open();
    zip->records.clear();
    return !zip->failed;
}

void zip_write_data(ZipOutput* zip, const void* data, size_t size) {
    if (zip->failed || size == 0) return;
    if (fwrite(data, 1, size, zip->file.get()) != size) zip->failed = true;
    if (zip->hash.is_open() && !sha256_add(zip->hash.get(), data, size)) zip->failed = true;
    zip->offset += size;
}

void zip_begin_entry(ZipOutput* zip, const std::string& name, uint32_t crc, uint64_t size, uint64_t compressed_size,
                     uint16_t method) {
    zip->records.push_back({name, crc, size, compressed_size, method, zip->offset});
    const bool zip64 = size >= zip32_limit || compressed_size >= zip32_limit;
    std::string header;
    put32(&header, 0x04034b50);
    put16(&header, zip64 ? version_zip64 : version_plain);
    put16(&header, name_flags(name));
    put16(&header, method);
    put16(&header, fixed_dos_time);
    put16(&header, fixed_dos_date);
    put32(&header, crc);
    put32(&header, zip64 ? zip32_limit : static_cast<uint32_t>(compressed_size));
    put32(&header, zip64 ? zip32_limit : static_cast<uint32_t>(size));
    put16(&header, static_cast<uint16_t>(name.size()));
    put16(&header, zip64 ? 20 : 0);
    header += name;
    if (zip64) {
        put16(&header, 0x0001);
        put16(&header, 16);
        put64(&header, size);
        put64(&header, compressed_size);
    }
    write_bytes(zip, header);
}

bool zip_finish(ZipOutput* zip) {
    const uint64_t directory_offset = zip->offset;
    for (const ZipOutput::Record& record : zip->records) {
        // The zip64 extra field holds only the values that do not fit, in
        // this order.
        std::string extra;
        if (record.size >= zip32_limit) put64(&extra, record.size);
        if (record.compressed_size >= zip32_limit) put64(&extra, record.compressed_size);
        if (record.local_header_offset >= zip32_limit) put64(&extra, record.local_header_offset);
        std::string header;
        put32(&header, 0x02014b50);
        put16(&header, made_by_unix | (extra.empty() ? version_plain : version_zip64));
        put16(&header, extra.empty() ? version_plain : version_zip64);
        put16(&header, name_flags(record.name));
        put16(&header, record.method);
        put16(&header, fixed_dos_time);
        put16(&header, fixed_dos_date);
        put32(&header, record.crc);
        put32(&header, record.compressed_size >= zip32_limit ? zip32_limit : static_cast<uint32_t>(record.compressed_size));
        put32(&header, record.size >= zip32_limit ? zip32_limit : static_cast<uint32_t>(record.size));
        put16(&header, static_cast<uint16_t>(record.name.size()));
        put16(&header, static_cast<uint16_t>(extra.empty() ? 0 : extra.size() + 4));
        put16(&header, 0);  // comment
        put16(&header, 0);  // disk
        put16(&header, 0);  // internal attributes
        put32(&header, plain_file_attributes);
        put32(&header, record.local_header_offset >= zip32_limit ? zip32_limit
                                                                 : static_cast<uint32_t>(record.local_header_offset));
        header += record.name;
        if (!extra.empty()) {
            put16(&header, 0x0001);
            put16(&header, static_cast<uint16_t>(extra.size()));
            header += extra;
        }
        write_bytes(zip, header);
    }
    const uint64_t directory_size = zip->offset - directory_offset;
    const uint64_t count = zip->records.size();
    const bool zip64 = count >= 0xFFFF || directory_size >= zip32_limit || directory_offset >= zip32_limit;
    std::string end;
    if (zip64) {
        const uint64_t record_offset = zip->offset;
        put32(&end, 0x06064b50);
        put64(&end, 44);
        put16(&end, version_zip64);
        put16(&end, version_zip64);
        put32(&end, 0);
        put32(&end, 0);
        put64(&end, count);
        put64(&end, count);
        put64(&end, directory_size);
        put64(&end, directory_offset);
        put32(&end, 0x07064b50);
        put32(&end, 0);
        put64(&end, record_offset);
        put32(&end, 1);
    }
    put32(&end, 0x06054b50);
    put16(&end, 0);
    put16(&end, 0);
    put16(&end, zip64 ? 0xFFFF : static_cast<uint16_t>(count));
    put16(&end, zip64 ? 0xFFFF : static_cast<uint16_t>(count));
    put32(&end, zip64 ? zip32_limit : static_cast<uint32_t>(directory_size));
    put32(&end, zip64 ? zip32_limit : static_cast<uint32_t>(directory_offset));
    put16(&end, 0);
    write_bytes(zip, end);
    // The close's result counts: a full disk may show only at the last flush.
    FILE* file = zip->file.release();
    if (file != nullptr && (!flush_file_data(file) || fclose(file) != 0)) zip->failed = true;
    if (zip->hash.is_open() && !sha256_finish(zip->hash.get(), zip->digest)) zip->failed = true;
    return !zip->failed;
}

}  // namespace zem
