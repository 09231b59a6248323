// exFAT on-disk structures: the boot region, the up-case table, directory entry sets and
// timestamps. Pure functions from bytes to records: no I/O and no allocation (every buffer
// is the caller's), every field range-checked, so that the mount can build on them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dorvex {

// Why a structure was refused. Every byte pattern ends in one of these.
enum class ExfatCode : int {
    ok = 0,
    // Boot sector.
    short_buffer,      // fewer bytes than the structure needs
    bad_jump,          // JumpBoot is not EB 76 90
    bad_name,          // FileSystemName is not "EXFAT   "
    must_be_zero,      // a byte of 11..63 is set (a FAT boot sector lies there)
    bad_signature,     // BootSignature is not 0xAA55
    bad_sector_shift,  // BytesPerSectorShift outside 9..12
    bad_cluster_shift, // a cluster over 32 MiB
    bad_fat_count,     // NumberOfFats neither 1 nor 2, or ActiveFat 1 with one FAT
    volume_too_small,  // VolumeLength under 1 MiB
    fat_misplaced,     // FatOffset before sector 24, or the FATs overlap the heap
    fat_too_short,     // FatLength cannot hold ClusterCount + 2 entries
    heap_past_volume,  // the cluster heap ends past VolumeLength
    bad_cluster_count, // ClusterCount zero or over 0xFFFFFFF5
    bad_root_cluster,  // FirstClusterOfRootDirectory outside 2..ClusterCount+1
    bad_checksum,      // the checksum sector disagrees with sectors 0..10
    // Up-case table.
    odd_length,     // the table's byte length is odd
    table_overflow, // the table maps more than 65536 units
    table_checksum, // the table's bytes disagree with the root's up-case entry
    // Directory entry sets.
    invalid_entry,       // type 0x80
    unknown_critical,    // a critical primary or secondary this code does not know
    orphan_secondary,    // a secondary with no primary before it
    bad_secondary_count, // File: fewer than 2 or more than 18 secondaries
    set_past_run,        // the secondaries run past the entries given
    primary_inside_set,  // an end mark or a primary where a secondary should be
    in_use_mismatch,     // a secondary's in-use bit differs from its primary's
    set_checksum,        // SetChecksum disagrees with the set's bytes
    stream_missing,      // a File entry not followed by its Stream Extension
    name_empty,          // NameLength 0
    name_past_entries,   // NameLength needs more File Name entries than the set holds
    valid_past_data,     // ValidDataLength over DataLength
    name_hash,           // NameHash disagrees with the up-cased name
    label_too_long,      // a volume label over 11 units
};

// A short English reason for a code ("boot checksum mismatch").
const char *exfat_code_text(ExfatCode code);

// ---------------------------------------------------------------------------------------
// Boot region: sectors 0..11 (main) and 12..23 (backup).

inline constexpr uint32_t kExfatBootSectors = 12; // boot, 8 extended, OEM, reserved, checksum
inline constexpr uint32_t kExfatBackupSector = 12;
inline constexpr uint16_t kExfatFlagActiveFat = 0x0001;
inline constexpr uint16_t kExfatFlagVolumeDirty = 0x0002;
inline constexpr uint16_t kExfatFlagMediaFailure = 0x0004;
inline constexpr uint32_t kExfatMaxClusterCount = 0xFFFFFFF5;

struct ExfatBoot {
    uint64_t partition_offset; // sectors from the medium's start; 0 means "ignore"
    uint64_t volume_length;    // sectors
    uint32_t fat_offset;       // sectors from the volume's start
    uint32_t fat_length;       // sectors per FAT
    uint32_t heap_offset;      // ClusterHeapOffset, sectors
    uint32_t cluster_count;
    uint32_t root_cluster;
    uint32_t serial;
    uint16_t revision; // major in the high byte: 0x0100 is 1.00
    uint16_t volume_flags;
    uint8_t sector_shift;  // 9..12
    uint8_t cluster_shift; // sectors per cluster, log2; sector_shift + cluster_shift <= 25
    uint8_t fat_count;     // 1 or 2
    uint8_t drive_select;
    uint8_t percent_in_use; // 0..100, or 0xFF for unknown

    uint32_t sector_size() const { return uint32_t{1} << sector_shift; }
    uint32_t cluster_size() const { return uint32_t{1} << (sector_shift + cluster_shift); }
    unsigned active_fat() const { return volume_flags & kExfatFlagActiveFat; }
    bool dirty() const { return (volume_flags & kExfatFlagVolumeDirty) != 0; }
    bool media_failure() const { return (volume_flags & kExfatFlagMediaFailure) != 0; }
};

// Parses and range-checks the main boot sector in `sector` (`size` bytes: at least 512, and
// the signature is at 510 whatever the sector size). Fills *out only on ok.
ExfatCode parse_exfat_boot(const uint8_t *sector, size_t size, ExfatBoot *out);

// The boot checksum, fed a piece at a time (a region read sector by sector): sectors 0 .. 10
// in order, `first_sector` for the pieces of sector 0.
struct ExfatBootSum {
    uint32_t sum = 0;
    void add(const uint8_t *p, size_t n, bool first_sector);
};

// The boot checksum over sectors 0..10 of a region (11 << sector_shift bytes), which skips
// VolumeFlags (106-107) and PercentInUse (112): they change without the checksum following.
uint32_t exfat_boot_checksum(const uint8_t *region, uint32_t sector_size);

// A whole boot region (`size` bytes from its first sector, at least 12 sectors): the boot
// sector parsed and checked, then every 4-byte value of the checksum sector (11) compared
// with the checksum of sectors 0..10. Fills *out only on ok.
ExfatCode check_exfat_boot_region(const uint8_t *region, size_t size, ExfatBoot *out);

// Which boot region to mount from: the main one when it checks, else the backup (sectors
// 12..23), else neither. A mount from the backup must not trust its VolumeFlags and
// PercentInUse: they are written only in the main region.
struct ExfatRegionChoice {
    int region;            // 0 main, 1 backup, -1 neither
    ExfatCode main_code;   // why the main region was refused (ok when it was used)
    ExfatCode backup_code; // the backup's verdict, when it was looked at (else ok)
    ExfatBoot boot;        // the chosen region's fields (zero when neither)
};
ExfatRegionChoice choose_exfat_boot_region(const uint8_t *main, size_t main_size,
                                           const uint8_t *backup, size_t backup_size);

// ---------------------------------------------------------------------------------------
// Up-case table.

inline constexpr uint32_t kExfatUpcaseUnits = 65536;

// The 32-bit rotate-right-and-add checksum over `size` bytes (the up-case table's TableChecksum).
uint32_t exfat_table_checksum(const uint8_t *bytes, size_t size);

// Decodes a stored up-case table (`size` bytes: 16-bit mappings, where 0xFFFF and a count
// stand for that many units that map to themselves) into table[0..table_len), table_len at
// most 65536; units the stored table does not reach map to themselves, mappings past
// table_len are checked but dropped. The checksum of the stored bytes must equal `checksum`.
// On failure the table holds the fallback (exfat_default_upcase) and the code says why.
ExfatCode decode_exfat_upcase(const uint8_t *bytes, size_t size, uint32_t checksum, uint16_t *table,
                              uint32_t table_len);

// The same, piece by piece (a table spread over clusters): feed() each piece in order, the
// last with `final_piece`, then finish() with the expected checksum.
struct ExfatUpcaseDecoder {
    ExfatUpcaseDecoder(uint16_t *t, uint32_t len)
        : table(t), table_len(len < kExfatUpcaseUnits ? len : kExfatUpcaseUnits) {}
    void feed(const uint8_t *bytes, size_t n, bool final_piece);
    ExfatCode finish(uint32_t checksum);

    uint16_t *table;
    uint32_t table_len;
    uint32_t next = 0; // the unit the next stored value maps
    uint32_t sum = 0;
    bool run_count = false; // the next value is the count of an identity run
    ExfatCode code = ExfatCode::ok;
};

// The fallback when a volume's table is bad: every BMP unit to its simple upper-case form
// (generated from Unicode's data by tools/gen_exfat_upcase.py).
void exfat_default_upcase(uint16_t *table, uint32_t table_len);

// A decoded table: units at or past `len` map to themselves.
struct ExfatUpcase {
    const uint16_t *map;
    uint32_t len;
    uint16_t operator()(uint16_t u) const { return u < len ? map[u] : u; }
};

// The File's NameHash: the 16-bit rotate-and-add over the up-cased units, low byte first.
uint16_t exfat_name_hash(const uint16_t *name, size_t len, const ExfatUpcase &upcase);

// ---------------------------------------------------------------------------------------
// Directory entry sets.

inline constexpr size_t kExfatEntrySize = 32;
inline constexpr int kExfatMaxName = 255;
inline constexpr int kExfatMaxLabel = 11;
inline constexpr uint8_t kExfatStreamAllocationPossible = 0x01;
inline constexpr uint8_t kExfatStreamNoFatChain = 0x02;

enum class ExfatSetKind : uint8_t {
    end,    // 0x00: nothing follows in this directory
    unused, // a free entry (in-use bit clear), not a deleted File
    file,   // a File set, in use or deleted
    bitmap, // allocation bitmap (0x81)
    upcase, // up-case table (0x82)
    label,  // volume label (0x83)
    benign, // a benign primary (volume GUID, padding, vendor) and its secondaries
};

// exFAT's 32-bit timestamp (FAT's date in the high half, time in the low), its 10-ms
// increment (0..199) and UTC offset (bit 7: valid; bits 0-6: signed quarter hours).
struct ExfatStamp {
    uint32_t stamp;
    uint8_t tenms;
    uint8_t utc_offset;
};

struct ExfatSet {
    ExfatSetKind kind;
    bool in_use;  // false for a deleted File set (0x05 and its 0x40/0x41 secondaries)
    int entries;  // entries to step over: 1 + SecondaryCount on ok, else 1
    uint8_t type; // the first entry's type byte
    // File
    uint16_t attributes;
    ExfatStamp create, modify, access; // access has no 10-ms increment (0)
    uint8_t stream_flags;              // kExfatStreamNoFatChain, kExfatStreamAllocationPossible
    uint16_t name_hash;
    uint64_t valid_length;
    // File, bitmap, up-case
    uint32_t first_cluster;
    uint64_t data_length;
    // Bitmap: which FAT it serves (BitmapFlags bit 0). Up-case: TableChecksum.
    uint8_t bitmap_index;
    uint32_t table_checksum;
    // File name or volume label, name_len units (not terminated).
    int name_len;
    uint16_t name[kExfatMaxName];
};

// Parses the set that starts at the first of `count` 32-byte entries in `run`. A File set whose
// checksum alone fails comes back fully decoded with ExfatCode::set_checksum. A deleted
// File set is checked as it was before deletion (in-use bits set in the checksum). Benign
// secondaries the code does not know are skipped, critical ones refuse the set. When
// `upcase` is given, the File's NameHash is checked against it. *out is filled on every
// result as far as the parse got, out->entries always at least 1 (0 for count 0).
// With `verify` false, an in-use File set's checksum is not computed (a lenient listing shows
// the set either way); deleted sets are always checked, as that tells what was overwritten.
ExfatCode parse_exfat_set(const uint8_t *run, size_t count, const ExfatUpcase *upcase,
                          ExfatSet *out, bool verify = true);

// The 16-bit SetChecksum over `entries` entries, skipping bytes 2-3 of the first;
// `force_in_use` computes it as if every type byte had its in-use bit set.
uint16_t exfat_set_checksum(const uint8_t *run, size_t entries, bool force_in_use);

// ---------------------------------------------------------------------------------------
// Timestamps.

struct ExfatTime {
    int64_t sec;  // seconds since 1970; DV_TIME_NONE for fields out of range
    int32_t nsec; // 0..999999990 in 10-ms steps
    bool utc;     // true: sec is UTC (the offset was valid); false: the wall clock, as FAT
};
ExfatTime decode_exfat_time(const ExfatStamp &stamp);

} // namespace dorvex
