// The disk's partition table as the tool shows it, read by the library's
// readfat_partitions, and the raw boot-sector fields info shows.
#ifndef DORVEX_CLI_PARTITIONS_H
#define DORVEX_CLI_PARTITIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "dorvex/readfat.h"

namespace dvcli {

struct Partition {
    uint32_t number = 0; // 1-based: MBR 1-4 primary, 5.. logical; GPT entry index + 1;
                         // El Torito: 1 the default boot image, 2.. the sections' images
    std::string type;    // "0x0c" for MBR, a GUID for GPT, the platform ("0xef") for El Torito
    std::string type_name;
    std::string name;   // GPT partition name (UTF-8)
    uint64_t start = 0; // in 512-byte sectors
    uint64_t sectors = 0;
    bool extended = false;
    bool fat_kind = false; // a type that holds FAT volumes (FAT, EFI system, basic data,
                           // an EFI boot image)
    uint32_t fat = 0;      // 12, 16 or 32: its first sector is a FAT boot sector
    std::string fs;        // what it holds (see identify_fs); empty when unknown
};

struct PartitionTable {
    std::string kind;      // "none", "MBR", "GPT" or "El Torito"
    uint32_t disk_fat = 0; // sector 0 itself is a FAT boot sector of this type
    std::string disk_fs;   // what the disk holds when it has no table (see identify_fs)
    std::vector<Partition> parts;
    std::vector<std::string> notes; // oddities found while reading the table
};

// The raw boot-sector fields the tool shows, for FAT12/16 and FAT32 alike.
struct BootInfo {
    std::string oem;
    std::string label;
    uint32_t volume_id = 0;
    uint32_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;
    uint32_t reserved = 0;
    uint32_t fats = 0;
    uint32_t root_entries = 0;
    uint64_t total_sectors = 0; // logical sectors
    uint32_t fat_sectors = 0;   // logical sectors
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

// Takes one 512-byte boot sector.
BootInfo parse_boot(const uint8_t *sector);

// Names the file system of the volume of `sectors` sectors at `start` by its
// signature: "FAT12".."FAT32" (given as `fat`, or a FAT32 volume known only by its
// backup boot sector), "exFAT", "NTFS", "ext4", "ISO 9660", "LUKS", "blank" (its
// first MiB all zeros)... Empty when nothing is recognised.
std::string identify_fs(void *data, readfat_sector_reader read, uint64_t start, uint64_t sectors,
                        uint32_t fat = 0);

// Why a volume holding `fs` (not FAT, not empty) cannot be read, e.g. "this is an
// NTFS volume: dorvex reads FAT12, FAT16 and FAT32".
std::string not_fat_message(const std::string &fs);

// The backup boot sector of a FAT32 volume at `start`, whose primary boot sector
// `primary` is damaged: the one its BPB names when that is sane, else logical
// sector 6. Returns its distance from `start` in 512-byte sectors and the
// logical sector size in `per` (in 512-byte sectors), or 0 when none is sound.
uint64_t find_backup_boot(void *data, readfat_sector_reader read, uint64_t start, uint64_t sectors,
                          const uint8_t *primary, uint32_t &per);

// The partition's file system as listings show it.
inline std::string fs_shown(const Partition &p) {
    return p.extended ? "-" : p.fs.empty() ? "unknown" : p.fs;
}

// Reads the partition table of the disk of `sectors` 512-byte sectors behind
// `read`, the library's sector-reader callback. A disk whose first sector is a
// FAT boot sector, or holds no table, gives kind "none".
PartitionTable read_partition_table(uint64_t sectors, void *data, readfat_sector_reader read);

} // namespace dvcli

#endif
