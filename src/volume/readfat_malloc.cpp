// readfat_new: readfat_new2 with the C library's allocator.
#include <cstdlib>

#include "dorvex/readfat.h"

namespace {

void *readfat_mem_alloc(void *, size_t size) {
    return std::malloc(size);
}

void readfat_mem_free(void *, void *ptr) {
    std::free(ptr);
}

} // namespace

extern "C" readfat_volume *readfat_new(uint64_t start_sector, uint64_t end_sector,
                                       uint32_t sector_size, void *reader_data,
                                       readfat_sector_reader reader, uint32_t flags,
                                       uint32_t max_files, uint32_t max_dirs, int *err) {
    return readfat_new2(start_sector, end_sector, sector_size, reader_data, reader, flags,
                        max_files, max_dirs, err, nullptr, readfat_mem_alloc, readfat_mem_free);
}
