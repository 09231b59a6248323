// An exFAT image for tests: a sparse file formatted by mkfs.exfat, to which the test adds
// File entry sets byte by byte -- names (UTF-16), attributes, stamps with their 10-ms field
// and UTC offset, first cluster, valid data length and data length, NoFatChain or a FAT
// chain -- with the allocation bitmap bits, FAT entries, set checksum and name hash (through
// the volume's own up-case table) that a driver would write. Directories grow as entry sets
// are added. Nothing is validated beyond what the layout needs: a test may also write any
// bytes anywhere.
//
// Mounting goes through a FaultReader served from the file (its audit on), so a volume of
// gigabytes costs only the sectors written.
#pragma once

#include "support/fault_reader.h"
#include "support/tracking_alloc.h"

#include <dorvex/readfat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dvtest {

// A stamp as exFAT stores it: the 32-bit date and time (2-s resolution), the 10-ms field
// (0..199) and the UTC offset byte (0x80 | signed quarter hours; 0: none).
struct ExfatStampBytes {
    uint32_t stamp = 0;
    uint8_t tenms = 0;
    uint8_t utc_offset = 0;
};
// Local date and time, hundredths of a second, offset in minutes east of UTC (a multiple
// of 15); `with_offset` false stores offset byte 0.
ExfatStampBytes exfat_stamp(int year, int month, int day, int hour, int minute, int second,
                            int centis = 0, int offset_minutes = 0, bool with_offset = true);

// Byte offsets of the entries of one set (a set may cross a cluster boundary).
using ExfatSetAt = std::vector<uint64_t>;

// Where a directory lies, enough to add entries to it and grow it.
struct ExfatDir {
    std::vector<uint32_t> clusters; // in order
    bool contiguous = false;        // NoFatChain (the root never is)
    ExfatSetAt set;                 // its own entry set in its parent (empty: the root)
    uint32_t used = 0;              // entries in use from its start (the end mark follows)
};

struct ExfatSetPlan {
    std::u16string name;
    uint16_t attributes = 0x20; // archive; 0x10 makes a directory
    ExfatStampBytes create, modify, access;
    uint32_t first_cluster = 0;
    uint64_t valid_length = 0, data_length = 0;
    bool contiguous = true; // NoFatChain; false: the clusters are linked in the FAT
    bool in_use = true;     // false: a deleted set (in-use bits clear)
};

class ExfatBuilder {
  public:
    // Makes a sparse file of `bytes` at `path` and formats it with mkfs.exfat plus
    // `mkfs_args` (e.g. "-c 4096"); check ok(). Skips (or fails under CI) without it.
    ExfatBuilder(const std::string &path, uint64_t bytes, const std::string &mkfs_args);
    // Opens an existing image (read and write).
    explicit ExfatBuilder(const std::string &path);
    ~ExfatBuilder();
    ExfatBuilder(const ExfatBuilder &) = delete;
    ExfatBuilder &operator=(const ExfatBuilder &) = delete;

    bool ok() const { return fd_ >= 0 && heap_ > 0; }
    const std::string &path() const { return path_; }
    uint32_t cluster_bytes() const { return cluster_bytes_; }
    uint32_t cluster_count() const { return cluster_count_; }
    uint64_t volume_sectors() const { return volume_bytes_ / 512; } // 512-byte units
    uint64_t cluster_offset(uint32_t c) const { return heap_ + uint64_t(c - 2) * cluster_bytes_; }
    // The volume's own up-case mapping of one unit (identity past the stored table).
    uint16_t upcase(uint16_t u) const { return upcase_[u]; }

    // ---- Clusters ------------------------------------------------------------------
    bool allocated(uint32_t c) const;
    void set_allocated(uint32_t c, bool used);
    uint32_t fat(uint32_t c) const;
    void set_fat(uint32_t c, uint32_t next);
    // `n` free clusters in one run, the lowest such, marked in the bitmap (0: none).
    uint32_t alloc_run(uint32_t n);
    // The lowest free cluster at or after `from`, marked (0: none).
    uint32_t alloc_one(uint32_t from = 2);
    // Links `clusters` in the FAT in order, the last one with the end mark.
    void link(const std::vector<uint32_t> &clusters);

    // ---- Entries -------------------------------------------------------------------
    ExfatDir root();
    // Appends the set to `dir` (growing it by a cluster when it is full: still contiguous
    // when the next cluster is free, else turned into a FAT chain) and returns the byte
    // offset of its File entry. The set's clusters are marked in the bitmap (a contiguous
    // run from first_cluster, or the FAT chain that must already be linked) unless the set
    // is deleted.
    ExfatSetAt add_set(ExfatDir &dir, const ExfatSetPlan &plan);
    // Adds a directory of `clusters` clusters (allocated in one run, or with a free
    // cluster left after each, linked in the FAT) and returns it.
    ExfatDir add_dir(ExfatDir &parent, const std::u16string &name, uint32_t clusters = 1,
                     bool contiguous = true, ExfatStampBytes when = {});
    // Rewrites the stream entry of a set (lengths, first cluster, flags) and its checksum.
    void set_stream(const ExfatSetAt &set, uint64_t valid_length, uint64_t data_length,
                    uint32_t first_cluster, bool contiguous);

    // ---- Bytes ---------------------------------------------------------------------
    void write(uint64_t offset, const void *data, size_t n);
    std::vector<uint8_t> read(uint64_t offset, size_t n) const;
    // Writes the cached bitmap back (done by every add_set too).
    void flush_bitmap();

  private:
    void open_image();
    void write_set_checksum(const ExfatSetAt &set);
    void grow(ExfatDir &dir);

    std::string path_;
    int fd_ = -1;
    uint32_t sector_bytes_ = 512, cluster_bytes_ = 0, cluster_count_ = 0, root_cluster_ = 0;
    uint64_t fat_ = 0, heap_ = 0, volume_bytes_ = 0, bitmap_at_ = 0;
    std::vector<uint8_t> bitmap_;
    std::vector<uint16_t> upcase_;
};

// A volume mounted from an image file (or a partition inside one), through a FaultReader
// served from the file, with a TrackingAlloc. Check ok(); the volume is deleted on
// destruction.
class FileVolume {
  public:
    FileVolume(const std::string &path, uint64_t start, uint64_t end, uint32_t flags,
               uint32_t max_files = 4, uint32_t max_dirs = 4);
    ~FileVolume();
    FileVolume(const FileVolume &) = delete;
    FileVolume &operator=(const FileVolume &) = delete;

    bool ok() const { return vol != nullptr; }
    readfat_volume *operator->() const { return vol; }
    operator readfat_volume *() const { return vol; }

    TrackingAlloc alloc;
    std::vector<uint8_t> none;
    std::unique_ptr<FaultReader> rd;
    int fd = -1;
    readfat_volume *vol = nullptr;
    int err = 0;
};

// Mount flags for UTF-8 paths with '/' separators, UTF-16 names.
uint32_t exfat_test_flags();

} // namespace dvtest
