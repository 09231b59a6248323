// Reading a disk's partition table (MBR with its extended boot records, or
// GPT) and recognising FAT32 boot sectors. Self-contained: sectors come
// through a reader callback, so the parser knows nothing of files or devices.
#ifndef DORVEX_CLI_PARTITIONS_H
#define DORVEX_CLI_PARTITIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "dorvex/readfat.h"

namespace dvcli {

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

// Little-endian fields of on-disk structures.
inline uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t le64(const uint8_t *p) {
    return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

// Both take one 512-byte sector.
bool looks_like_fat32(const uint8_t *sector);
BootInfo parse_boot(const uint8_t *sector);

// Reads the partition table of the disk behind `read`, the library's
// sector-reader callback (called with `data`, one sector at a time; a sector
// counts as read only when it returns 1). A disk whose first sector is a
// FAT32 boot sector, or holds no table, gives kind "none".
PartitionTable read_partition_table(void *data, readfat_sector_reader read);

} // namespace dvcli

#endif
