// Opening a disk image or device, reading its partition table and mounting
// the chosen FAT32 volume through the library's sector-reader callback.
#ifndef DORVEX_CLI_IMAGE_H
#define DORVEX_CLI_IMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dorvex/readfat.h"

namespace dvcli {

// How the user chose the volume: -p N, --offset SECTORS, or neither.
struct VolumeChoice {
    std::optional<uint32_t> partition;
    std::optional<uint64_t> offset;
};

struct Partition {
    uint32_t number = 0; // 1-based: MBR 1-4 primary, 5.. logical; GPT entry index + 1
    std::string type;    // "0x0c" for MBR, a GUID for GPT
    std::string type_name;
    std::string name;   // GPT partition name (UTF-8)
    uint64_t start = 0; // in 512-byte sectors
    uint64_t sectors = 0;
    bool fat32 = false; // its first sector looks like a FAT32 boot sector
};

struct PartitionTable {
    std::string kind; // "none", "MBR" or "GPT"
    std::vector<Partition> parts;
    std::vector<std::string> notes; // oddities found while reading the table
};

// The raw FAT32 boot-sector fields the tool shows.
struct BootInfo {
    std::string oem;
    std::string label;
    uint32_t volume_id = 0;
    uint32_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;
    uint32_t reserved = 0;
    uint32_t fats = 0;
    uint64_t total_sectors = 0;
    uint32_t fat_sectors = 0;
    uint32_t root_cluster = 0;
    uint32_t fsinfo_sector = 0;
    uint32_t backup_boot = 0;
};

bool looks_like_fat32(const uint8_t *sector);
BootInfo parse_boot(const uint8_t *sector);

class Image {
  public:
    Image() = default;
    ~Image();
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    // Opens the file or device read-only. False with a message in `error`.
    bool open(const std::string &path, std::string &error);
    uint64_t size_bytes() const { return size_; }
    uint64_t sectors() const { return size_ / 512; }
    const std::string &path() const { return path_; }

    // Reads whole sectors; false if any lies outside the image.
    bool read_sectors(uint64_t sector, uint32_t count, void *buf) const;

    PartitionTable partitions() const;

    // Picks and mounts the volume. On failure returns null and sets `error`
    // (without the "dorvex: " prefix).
    readfat_volume *mount(const VolumeChoice &choice, std::string &error);
    uint64_t volume_start() const { return vol_start_; }
    uint64_t volume_end() const { return vol_end_; }
    std::string volume_where() const { return where_; }

    static int32_t reader(void *data, void *buf, uint64_t sector, uint32_t count);

    // Announces that the next reads fill `buf` (`len` bytes) in order, as
    // readfat_read does for whole clusters. The reader then fills the rest of
    // it from the following sectors in the same call, betting that the file is
    // contiguous, and answers later requests that match what it read without
    // a system call: one large read instead of one per cluster. Requests that
    // do not match (a fragmented file) are read as usual. end_target() ends it.
    void begin_target(void *buf, size_t len);
    void end_target() { begin_target(nullptr, 0); }

  private:
    bool read_ahead(uint8_t *p, uint64_t sector, uint32_t count);
    int fd_ = -1;
    uint64_t size_ = 0;
    std::string path_;
    readfat_volume *vol_ = nullptr;
    uint64_t vol_start_ = 0;
    uint64_t vol_end_ = 0;
    std::string where_;
    // The announced buffer, and the part of it read ahead from ahead_sector_.
    uintptr_t target_ = 0;
    size_t target_len_ = 0;
    uintptr_t ahead_ = 0;
    uint64_t ahead_sector_ = 0;
    size_t ahead_len_ = 0;
};

// The flag word the tool mounts with: UTF-8 paths, UTF-16 names, both
// separators, lenient long-name runs.
constexpr uint32_t kVolumeFlags = DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH |
                                  DV_FLAG_BACKSLASH | DV_FLAG_SKIP_LEADING_SEP | DV_FLAG_LENIENT;

} // namespace dvcli

#endif
