// Small helpers shared by the volume and interop tests: a mounted volume over a
// FaultReader with a TrackingAlloc, and listing / whole-file reading shortcuts.
#pragma once

#include "support/fat_image.h"
#include "support/fault_reader.h"
#include "support/tracking_alloc.h"

#include <dorvex/readfat.h>

#include <memory>
#include <string>
#include <vector>

namespace dvtest {

// Mounts on construction (check ok()), deletes the volume on destruction, then checks
// that every allocation was returned (TrackingAlloc's destructor).
class Mounted {
  public:
    Mounted(FatImage &img, FaultReader &rd, uint32_t flags = readfat_optimal_flags(),
            uint32_t max_files = 4, uint32_t max_dirs = 4);
    ~Mounted();
    Mounted(const Mounted &) = delete;
    Mounted &operator=(const Mounted &) = delete;

    bool ok() const { return vol != nullptr; }
    readfat_volume *operator->() const { return vol; }
    operator readfat_volume *() const { return vol; }

    TrackingAlloc alloc; // declared first: destroyed after the volume is released
    readfat_volume *vol = nullptr;
    int err = 0;
};

// One listed entry, reduced to what tests compare.
struct Listed {
    std::u16string name;
    uint32_t cluster;
    uint32_t size;
    uint32_t attr;
    std::string shortname;
};

// Lists a directory handle until it returns null; `end_err` receives the final code.
std::vector<Listed> list_handle(readfat_volume *vol, readfat_dir *d, int *end_err,
                                size_t limit = 1000000);
// Opens `path`, lists it, closes it. EXPECTs that the listing ends with DV_E_ENDDIR
// unless `end_err` is given.
std::vector<Listed> list_dir(readfat_volume *vol, const char *path, int *end_err = nullptr);
std::vector<std::u16string> names_of(const std::vector<Listed> &l, bool skip_dots = false);

// `n` bytes that start on a 512-byte boundary: whole clusters (and with READFAT_FLAG_BATCH
// whole runs of them) go straight into such a buffer.
class AlignedBuffer {
  public:
    explicit AlignedBuffer(size_t n) : space_(n + 512) {}
    uint8_t *data() {
        return space_.data() + (512 - reinterpret_cast<uintptr_t>(space_.data()) % 512) % 512;
    }
    char *chars() { return reinterpret_cast<char *>(data()); }

  private:
    std::vector<uint8_t> space_;
};

// The reader's audit for a volume mounted with `flags`: READFAT_FLAG_BATCH lets a request
// ask for up to 512 sectors (or a cluster, when that is more).
void allow_batches(FaultReader &rd, const FatImage &img, uint32_t flags);

// Reads a whole file by path (chunk bytes per call, into an aligned buffer). EXPECTs success.
std::string read_file(readfat_volume *vol, const char *path, uint32_t chunk = 65536);
std::string read_handle(readfat_volume *vol, readfat_file *f, uint32_t chunk, int *err);

} // namespace dvtest
