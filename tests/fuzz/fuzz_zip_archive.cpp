// The game archive as the installer reads it: miniz over ranged_read, with
// the input as the archive. The remote archive's first window holds the
// whole input, complete, so every read is served from memory and nothing
// goes to the network (the windows have no fetch threads here). Every entry passes the installer's rules (directory entries and
// names the rules refuse are passed over) and is extracted into a sink.
// Besides crashes and sanitizer reports: a read that needs the network, or
// an accepted entry name whose local path is not its name (without leading
// "./" components), is a finding.
#include "common/entry_paths.h"
#include "common/zip_reader.h"
#include "fuzz_text.h"
#include "launcher/ranged_reader.h"

#include <miniz.h>

using zem_fuzz::require;

namespace {

// A zip bomb must not stall the fuzzer: all entries of one input together
// give at most this much data, then extraction stops.
constexpr uint64_t output_cap = 1024 * 1024;

size_t discard_chunk(void* opaque, mz_uint64, const void*, size_t count) {
    uint64_t& produced = *static_cast<uint64_t*>(opaque);
    produced += count;
    return produced > output_cap ? 0 : count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > zem::window_capacity) return 0;
    zem::RemoteArchive& archive = zem::remote_archive;
    if (archive.sync == nullptr) {
        // As open_remote_archive makes it; the archive keeps it to the end.
        archive.sync = new zem::ReaderSync;
        archive.sync->lock = zem::make_lock();
        archive.sync->arrived = zem::make_condition();
    }
    zem::WindowSlot& window = archive.slots[0];
    // Exactly the input's bytes, so that AddressSanitizer sees a read past them.
    window.bytes.reset(new unsigned char[size == 0 ? 1 : size]);
    if (size != 0) memcpy(window.bytes.get(), data, size);
    window.start = 0;
    window.length = size;
    window.received = size;
    window.fetch = zem::WindowFetch::complete;
    archive.size = size;
    archive.size_known = true;
    archive.last_read_end = ~uint64_t{0};

    mz_zip_archive zip_record;
    mz_zip_zero_struct(&zip_record);
    zip_record.m_pRead = zem::ranged_read;
    if (mz_zip_reader_init(&zip_record, archive.size, 0)) {
        zem::ZipReader zip(&zip_record);
        uint64_t produced = 0;
        const mz_uint entry_count = mz_zip_reader_get_num_files(zip.get());
        for (mz_uint index = 0; index < entry_count && produced <= output_cap; ++index) {
            mz_zip_archive_file_stat entry;
            if (!mz_zip_reader_file_stat(zip.get(), index, &entry)) break;
            char local_path[zem::local_path_capacity];
            if (entry.m_is_directory || !zem::local_path_for_entry(entry.m_filename, local_path)) continue;
            char converted[zem::local_path_capacity];
            require(zem::local_path_from_entry_name(zem::entry_name_without_leading_dots(entry.m_filename), converted) &&
                        strcmp(converted, local_path) == 0,
                    "an accepted entry's local path is not its name");
            mz_zip_reader_extract_to_callback(zip.get(), index, discard_chunk, &produced, 0);
        }
    }
    // A read outside the window would have asked a slot for another one.
    bool only_the_input = window.fetch == zem::WindowFetch::complete && window.start == 0 && window.length == size;
    for (const zem::WindowSlot& other : archive.slots) {
        only_the_input = only_the_input && (&other == &window || other.fetch == zem::WindowFetch::none);
    }
    require(only_the_input, "a read went past the archive in memory");
    window.bytes.reset();
    return 0;
}
