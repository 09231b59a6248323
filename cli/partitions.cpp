#include "partitions.h"

#include <cstdio>
#include <cstring>

#include "text.h"

namespace dvcli {

namespace {

// MBR and extended boot record: four 16-byte entries at byte 446.
constexpr size_t kMbrTable = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr size_t kMbrStatus = 0;
constexpr size_t kMbrType = 4;
constexpr size_t kMbrStart = 8;
constexpr size_t kMbrCount = 12;
constexpr uint8_t kMbrProtective = 0xEE;

// GPT header (sector 1) and partition entries.
constexpr size_t kGptEntriesLba = 72;
constexpr size_t kGptEntryCount = 80;
constexpr size_t kGptEntrySize = 84;
constexpr size_t kGptFirstLba = 32;
constexpr size_t kGptLastLba = 40;
constexpr size_t kGptName = 56;
constexpr int kGptNameUnits = 36;
constexpr uint32_t kGptMaxEntries = 4096;

// A damaged chain of extended boot records may loop.
constexpr int kMaxLogical = 128;

bool has_boot_signature(const uint8_t *s) {
    return s[DV_BPB_SIGNATURE] == 0x55 && s[DV_BPB_SIGNATURE + 1] == 0xAA;
}

struct Disk {
    void *data;
    readfat_sector_reader read;
    bool sector(uint64_t n, uint8_t *buf) const { return read(data, buf, n, 1) == 1; }
};

std::string mbr_type_name(uint8_t t) {
    switch (t) {
    case 0x01:
        return "FAT12";
    case 0x04:
    case 0x06:
    case 0x0E:
        return "FAT16";
    case 0x05:
    case 0x0F:
    case 0x85:
        return "extended";
    case 0x07:
        return "NTFS/exFAT";
    case 0x0B:
        return "FAT32 (CHS)";
    case 0x0C:
        return "FAT32 (LBA)";
    case 0x82:
        return "Linux swap";
    case 0x83:
        return "Linux";
    case 0xEE:
        return "GPT protective";
    case 0xEF:
        return "EFI system";
    default:
        return "unknown";
    }
}

bool is_extended(uint8_t t) {
    return t == 0x05 || t == 0x0F || t == 0x85;
}

std::string guid_text(const uint8_t *g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", le32(g),
                  le16(g + 4), le16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

std::string gpt_type_name(const std::string &guid) {
    if (guid == "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7") return "Microsoft basic data";
    if (guid == "C12A7328-F81F-11D2-BA4B-00A0C93EC93B") return "EFI system";
    if (guid == "0FC63DAF-8483-4772-8E79-3D69D8477DE4") return "Linux filesystem";
    if (guid == "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F") return "Linux swap";
    if (guid == "E3C9E316-0B5C-4DB8-817D-F92DF00215AE") return "Microsoft reserved";
    return "unknown";
}

void mark_fat32(const Disk &disk, Partition &p) {
    uint8_t b[512];
    p.fat32 = disk.sector(p.start, b) && looks_like_fat32(b);
}

// One MBR or EBR entry; `base` is the sector its start counts from.
Partition mbr_partition(const uint8_t *e, uint32_t number, uint64_t base) {
    Partition p;
    p.number = number;
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", e[kMbrType]);
    p.type = buf;
    p.type_name = mbr_type_name(e[kMbrType]);
    p.start = base + le32(e + kMbrStart);
    p.sectors = le32(e + kMbrCount);
    return p;
}

Partition gpt_partition(const uint8_t *e, uint32_t number) {
    Partition p;
    p.number = number;
    p.type = guid_text(e);
    p.type_name = gpt_type_name(p.type);
    uint64_t first = le64(e + kGptFirstLba), last = le64(e + kGptLastLba);
    p.start = first;
    p.sectors = last >= first ? last - first + 1 : 0;
    std::u32string nm;
    for (int k = 0; k < kGptNameUnits; ++k) {
        uint16_t u = le16(e + kGptName + 2 * k);
        if (u == 0) break;
        nm.push_back(u);
    }
    p.name = escape_display(nm);
    return p;
}

// The GPT behind a protective MBR. False when sector 1 holds no GPT header.
bool read_gpt(const Disk &disk, PartitionTable &t) {
    uint8_t h[512];
    if (!disk.sector(1, h) || std::memcmp(h, "EFI PART", 8) != 0) return false;
    t.kind = "GPT";
    uint64_t lba = le64(h + kGptEntriesLba);
    uint32_t count = le32(h + kGptEntryCount);
    uint32_t esize = le32(h + kGptEntrySize);
    // Entries never straddle sectors: the size divides 512.
    if (esize < 128 || esize > 4096 || esize % 8 != 0 || 512 % esize != 0) {
        t.notes.push_back("GPT entry size " + std::to_string(esize) + " not supported");
        return true;
    }
    if (count > kGptMaxEntries) {
        t.notes.push_back("GPT claims " + std::to_string(count) + " entries; reading the first " +
                          std::to_string(kGptMaxEntries));
        count = kGptMaxEntries;
    }
    uint32_t per = 512 / esize;
    uint8_t sec[512];
    uint64_t loaded = ~0ull;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t want = lba + i / per;
        if (want != loaded) {
            if (!disk.sector(want, sec)) {
                t.notes.push_back("GPT entry array cut short at entry " + std::to_string(i));
                break;
            }
            loaded = want;
        }
        const uint8_t *e = sec + (i % per) * esize;
        static const uint8_t unused[16] = {}; // a zero type GUID
        if (std::memcmp(e, unused, 16) == 0) continue;
        Partition p = gpt_partition(e, i + 1);
        mark_fat32(disk, p);
        t.parts.push_back(p);
    }
    return true;
}

// The four primary entries. Returns the start of the first extended
// partition, 0 if there is none.
uint64_t read_primary(const Disk &disk, const uint8_t *mbr, PartitionTable &t) {
    uint64_t ext_base = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        const uint8_t *e = mbr + kMbrTable + i * kMbrEntrySize;
        if (e[kMbrType] == 0) continue;
        Partition p = mbr_partition(e, i + 1, 0);
        if (is_extended(e[kMbrType])) {
            if (!ext_base) ext_base = p.start;
        } else {
            mark_fat32(disk, p);
        }
        t.parts.push_back(p);
    }
    return ext_base;
}

// Logical partitions: a chain of extended boot records, each pointing to the
// next relative to the extended partition's start.
void read_logical(const Disk &disk, uint64_t ext_base, PartitionTable &t) {
    uint64_t ebr = ext_base;
    uint32_t number = 5;
    for (int guard = 0; ebr && guard < kMaxLogical; ++guard) {
        uint8_t b[512];
        if (!disk.sector(ebr, b) || !has_boot_signature(b)) {
            t.notes.push_back("unreadable extended boot record at sector " + std::to_string(ebr));
            break;
        }
        const uint8_t *e = b + kMbrTable;
        if (e[kMbrType] != 0) {
            Partition p = mbr_partition(e, number++, ebr);
            mark_fat32(disk, p);
            t.parts.push_back(p);
        }
        const uint8_t *link = e + kMbrEntrySize;
        uint64_t next = le32(link + kMbrStart) ? ext_base + le32(link + kMbrStart) : 0;
        if (next == ebr) break;
        ebr = next;
    }
}

} // namespace

bool looks_like_fat32(const uint8_t *s) {
    if (!has_boot_signature(s)) return false;
    uint32_t bps = le16(s + DV_BPB_BYTES_PER_SECTOR);
    uint32_t spc = s[DV_BPB_SECTORS_PER_CLUSTER];
    if (bps != 512) return false;
    if (spc == 0 || (spc & (spc - 1)) != 0) return false;
    if (le16(s + DV_BPB_RESERVED_SECTORS) == 0 || s[DV_BPB_FAT_COUNT] == 0) return false;
    // FAT32: no fixed root directory, no 16-bit FAT size, a 32-bit FAT size.
    return le16(s + DV_BPB_ROOT_ENTRIES) == 0 && le16(s + DV_BPB_FAT_SIZE16) == 0 &&
           le32(s + DV_BPB_FAT_SIZE32) != 0;
}

BootInfo parse_boot(const uint8_t *s) {
    BootInfo b;
    auto text = [](const uint8_t *p, size_t n) {
        std::string t(reinterpret_cast<const char *>(p), n);
        while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
        return t;
    };
    b.oem = text(s + DV_BPB_OEM_NAME, 8);
    b.bytes_per_sector = le16(s + DV_BPB_BYTES_PER_SECTOR);
    b.sectors_per_cluster = s[DV_BPB_SECTORS_PER_CLUSTER];
    b.reserved = le16(s + DV_BPB_RESERVED_SECTORS);
    b.fats = s[DV_BPB_FAT_COUNT];
    uint16_t total16 = le16(s + DV_BPB_TOTAL_SECTORS16);
    b.total_sectors = total16 ? total16 : le32(s + DV_BPB_TOTAL_SECTORS32);
    b.fat_sectors = le32(s + DV_BPB_FAT_SIZE32);
    b.root_cluster = le32(s + DV_BPB_ROOT_CLUSTER);
    b.fsinfo_sector = le16(s + DV_BPB_FSINFO_SECTOR);
    b.backup_boot = le16(s + DV_BPB_BACKUP_BOOT);
    if (s[DV_BPB_BOOT_SIGNATURE] == DV_BPB_EXT_BOOT_SIG) {
        b.volume_id = le32(s + DV_BPB_VOLUME_ID);
        b.label = text(s + DV_BPB_VOLUME_LABEL, 11);
    }
    return b;
}

PartitionTable read_partition_table(void *data, readfat_sector_reader read) {
    const Disk disk{data, read};
    PartitionTable t;
    t.kind = "none";
    uint8_t s[512];
    if (!disk.sector(0, s) || !has_boot_signature(s) || looks_like_fat32(s)) return t;
    // An MBR: four entries with status 0x00 or 0x80.
    for (size_t i = 0; i < 4; ++i)
        if ((s[kMbrTable + i * kMbrEntrySize + kMbrStatus] & 0x7F) != 0) return t;

    bool protective = false;
    for (size_t i = 0; i < 4; ++i)
        if (s[kMbrTable + i * kMbrEntrySize + kMbrType] == kMbrProtective) protective = true;
    if (protective) {
        if (read_gpt(disk, t)) return t;
        t.notes.push_back("protective MBR without a GPT header");
    }

    t.kind = "MBR";
    uint64_t ext_base = read_primary(disk, s, t);
    read_logical(disk, ext_base, t);
    return t;
}

} // namespace dvcli
