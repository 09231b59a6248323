#include "partitions.h"

#include <cstdio>
#include <cstring>

#include "text.h"

namespace dvcli {

namespace {

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

std::string guid_text(const uint8_t *g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", le32(g),
                  le16(g + 4), le16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

constexpr const char *kEfiSystem = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
constexpr const char *kBasicData = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

std::string gpt_type_name(const std::string &guid) {
    if (guid == kBasicData) return "Microsoft basic data";
    if (guid == kEfiSystem) return "EFI system";
    if (guid == "0FC63DAF-8483-4772-8E79-3D69D8477DE4") return "Linux filesystem";
    if (guid == "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F") return "Linux swap";
    if (guid == "E3C9E316-0B5C-4DB8-817D-F92DF00215AE") return "Microsoft reserved";
    return "unknown";
}

// An El Torito boot image's platform and emulation, e.g. "EFI, no emulation".
std::string boot_image_name(uint8_t platform, uint8_t media) {
    static const char *const kMedia[] = {"no emulation", "1.2M floppy", "1.44M floppy",
                                         "2.88M floppy", "hard disk"};
    std::string name = platform == 0x00   ? "x86 BIOS"
                       : platform == 0x01 ? "PowerPC"
                       : platform == 0x02 ? "Mac"
                       : platform == 0xEF ? "EFI"
                                          : "unknown platform";
    return name + ", " + (media < 5 ? kMedia[media] : "unknown emulation");
}

Partition from_library(const readfat_partition &r, uint32_t scheme) {
    Partition p;
    p.number = r.number;
    p.start = r.start;
    p.sectors = r.sectors;
    p.extended = r.extended != 0;
    p.fat = r.fat_type;
    if (scheme == DV_PT_ELTORITO) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02x", r.reserved);
        p.type = buf;
        p.type_name = boot_image_name(r.reserved, r.mbr_type);
        p.fat_kind = r.reserved == 0xEF; // an EFI boot image is a FAT volume
    } else if (scheme == DV_PT_GPT) {
        p.type = guid_text(r.type_guid);
        p.type_name = gpt_type_name(p.type);
        p.fat_kind = p.type == kEfiSystem || p.type == kBasicData;
        std::u32string nm;
        for (uint16_t u : r.name) {
            if (u == 0) break;
            nm.push_back(u);
        }
        p.name = escape_display(nm);
    } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02x", r.mbr_type);
        p.type = buf;
        p.type_name = mbr_type_name(r.mbr_type);
        p.fat_kind =
            std::strchr("\x01\x04\x06\x0B\x0C\x0E\xEF", r.mbr_type) != nullptr && r.mbr_type != 0;
    }
    return p;
}

void add_notes(uint32_t notes, std::vector<std::string> &out) {
    static const std::pair<uint32_t, const char *> kNotes[] = {
        {DV_PT_NOTE_GPT_PRIMARY_BAD, "primary GPT header or entry array damaged"},
        {DV_PT_NOTE_GPT_BACKUP_USED, "read the backup GPT at the end of the disk"},
        {DV_PT_NOTE_GPT_UNREADABLE, "protective MBR without a sound GPT"},
        {DV_PT_NOTE_EBR_BAD, "unreadable extended boot record"},
        {DV_PT_NOTE_EBR_LOOP, "extended boot records loop or leave their partition"},
        {DV_PT_NOTE_OUTSIDE, "a partition reaches past the end of the disk"},
        {DV_PT_NOTE_TRUNCATED, "more partitions than shown"},
        {DV_PT_NOTE_CATALOG_BAD, "El Torito boot catalog damaged or cut short"},
    };
    for (const auto &[bit, text] : kNotes)
        if (notes & bit) out.push_back(text);
}

// One 512-byte sector of the volume, or false past its end or on a read error.
bool read_at(void *data, readfat_sector_reader read, uint64_t start, uint64_t sectors,
             uint64_t sector, uint8_t *buf) {
    return sector < sectors && read(data, buf, start + sector, 1) == 1;
}

bool has(const uint8_t *s, size_t at, const char *magic, size_t n) {
    return std::memcmp(s + at, magic, n) == 0;
}

// A FAT32 boot sector sound enough to mount from when it is found `at` logical
// sectors into the volume. Any cluster size from 1 to 255 sectors, as the library,
// mtools and fsck.fat take.
bool fat32_boot_like(const uint8_t *s, uint32_t at) {
    const uint32_t bps = le16(s + DV_BPB_BYTES_PER_SECTOR);
    return (s[0] == 0xEB || s[0] == 0xE9) && s[510] == 0x55 && s[511] == 0xAA &&
           (bps == 512 || bps == 1024 || bps == 2048 || bps == 4096) &&
           s[DV_BPB_SECTORS_PER_CLUSTER] != 0 && le16(s + DV_BPB_RESERVED_SECTORS) > at + 1 &&
           s[DV_BPB_FAT_COUNT] != 0 && le16(s + DV_BPB_ROOT_ENTRIES) == 0 &&
           le16(s + DV_BPB_FAT_SIZE16) == 0 && le32(s + DV_BPB_FAT_SIZE32) != 0;
}

// ext2 unless it has a journal (ext3) or features ext3 lacks (ext4).
std::string ext_version(const uint8_t *sb) {
    const uint32_t compat = le32(sb + 92), incompat = le32(sb + 96), ro_compat = le32(sb + 100);
    if ((incompat & ~0x16u) || (ro_compat & ~0x7u)) return "ext4";
    return compat & 0x4 ? "ext3" : "ext2";
}

// The name of what the sectors hold, from the signatures at their usual places.
std::string by_signature(void *data, readfat_sector_reader read, uint64_t start, uint64_t sectors) {
    uint8_t s[512];
    if (read_at(data, read, start, sectors, 0, s)) {
        if (has(s, 3, "EXFAT   ", 8)) return "exFAT";
        if (has(s, 3, "NTFS    ", 8)) return "NTFS";
        if (has(s, 3, "ReFS\0\0\0\0", 8)) return "ReFS";
        if (has(s, 3, "-FVE-FS-", 8)) return "BitLocker";
        if (has(s, 0, "LUKS\xBA\xBE", 6)) return "LUKS";
        if (has(s, 0, "XFSB", 4)) return "XFS";
        if (has(s, 0, "hsqs", 4)) return "squashfs";
        if (has(s, 32, "NXSB", 4)) return "APFS";
    }
    // Superblocks at byte 1024.
    if (read_at(data, read, start, sectors, 2, s)) {
        if (le16(s + 56) == 0xEF53 && le32(s + 24) <= 6) return ext_version(s); // 1..64 KiB blocks
        if (le32(s) == 0xF2F52010) return "F2FS";
        if (has(s, 0, "H+\0\4", 4)) return "HFS+";
        if (has(s, 0, "HX\0\5", 4)) return "HFSX";
        if (has(s, 0, "BD", 2)) return "HFS";
    }
    // The signature at the end of a 4 KiB swap page.
    if (read_at(data, read, start, sectors, 7, s) &&
        (has(s, 502, "SWAPSPACE2", 10) || has(s, 502, "SWAP-SPACE", 10)))
        return "Linux swap";
    // Volume descriptors from byte 32768.
    if (read_at(data, read, start, sectors, 64, s)) {
        if (has(s, 1, "CD001", 5)) return "ISO 9660";
        if (has(s, 1, "BEA01", 5)) return "UDF";
    }
    if (read_at(data, read, start, sectors, 128, s) && has(s, 64, "_BHRfS_M", 8)) return "Btrfs";
    return "";
}

// True when the first MiB (or the whole volume, if smaller) is zeros.
bool blank(void *data, readfat_sector_reader read, uint64_t start, uint64_t sectors) {
    constexpr uint32_t kRun = 64;
    std::vector<uint8_t> buf(kRun * 512);
    const uint64_t n = sectors < 2048 ? sectors : 2048;
    for (uint64_t i = 0; i < n; i += kRun) {
        const uint32_t count = static_cast<uint32_t>(n - i < kRun ? n - i : kRun);
        if (read(data, buf.data(), start + i, count) != static_cast<int32_t>(count)) return false;
        for (uint32_t k = 0; k < count * 512; ++k)
            if (buf[k]) return false;
    }
    return n != 0;
}

} // namespace

std::string identify_fs(void *data, readfat_sector_reader read, uint64_t start, uint64_t sectors,
                        uint32_t fat) {
    if (fat) return "FAT" + std::to_string(fat);
    std::string fs = by_signature(data, read, start, sectors);
    if (!fs.empty()) return fs;
    uint8_t s[512];
    uint32_t per = 1;
    if (read_at(data, read, start, sectors, 0, s) &&
        find_backup_boot(data, read, start, sectors, s, per))
        return "FAT32";
    return blank(data, read, start, sectors) ? "blank" : "";
}

std::string not_fat_message(const std::string &fs) {
    static const std::pair<const char *, const char *> kNouns[] = {
        {"NTFS", "an NTFS volume"},
        {"ReFS", "a ReFS volume"},
        {"BitLocker", "a BitLocker volume"},
        {"XFS", "an XFS volume"},
        {"squashfs", "a squashfs image"},
        {"APFS", "an APFS container"},
        {"ext2", "an ext2 volume"},
        {"ext3", "an ext3 volume"},
        {"ext4", "an ext4 volume"},
        {"F2FS", "an F2FS volume"},
        {"HFS+", "an HFS+ volume"},
        {"HFSX", "an HFSX volume"},
        {"HFS", "an HFS volume"},
        {"ISO 9660", "an ISO 9660 image"},
        {"UDF", "a UDF image"},
        {"Btrfs", "a Btrfs volume"},
    };
    const std::string reads = "dorvex reads FAT12, FAT16 and FAT32";
    if (fs == "exFAT") return "exFAT volumes are not supported yet: " + reads;
    if (fs == "LUKS")
        return "this is a LUKS container (encrypted): unlock it with cryptsetup and read the "
               "mapped device";
    if (fs == "Linux swap") return "this is a Linux swap area, not a file system";
    if (fs == "blank") return "blank (its first MiB is all zeros): no file system on it";
    for (const auto &[name, noun] : kNouns)
        if (fs == name) return std::string("this is ") + noun + ": " + reads;
    return "this is a " + fs + " volume: " + reads;
}

uint64_t find_backup_boot(void *data, readfat_sector_reader read, uint64_t start, uint64_t sectors,
                          const uint8_t *primary, uint32_t &per) {
    const uint32_t named = le16(primary + DV_BPB_BACKUP_BOOT);
    uint8_t s[512];
    for (uint32_t at : {named, 6u}) {
        // Backups live in the reserved area, after the boot and FSInfo sectors.
        if (at < 2 || at > 31) continue;
        for (uint32_t p : {1u, 2u, 4u, 8u}) {
            const uint64_t off = uint64_t{at} * p;
            if (off + 2 * p > sectors || !read_at(data, read, start, sectors, off, s)) continue;
            if (le16(s + DV_BPB_BYTES_PER_SECTOR) == p * 512 && fat32_boot_like(s, at)) {
                per = p;
                return off;
            }
        }
    }
    return 0;
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
    const uint16_t fat16 = le16(s + DV_BPB_FAT_SIZE16);
    if (fat16 != 0) {
        // FAT12/16: a fixed root, and the extended fields sit earlier.
        b.fat_sectors = fat16;
        b.root_entries = le16(s + DV_BPB_ROOT_ENTRIES);
        if (s[DV_BPB16_BOOT_SIGNATURE] == DV_BPB_EXT_BOOT_SIG) {
            b.volume_id = le32(s + DV_BPB16_VOLUME_ID);
            b.label = text(s + DV_BPB16_VOLUME_LABEL, 11);
        }
        return b;
    }
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

PartitionTable read_partition_table(uint64_t sectors, void *data, readfat_sector_reader read) {
    PartitionTable t;
    t.kind = "none";
    std::vector<readfat_partition> parts(16);
    readfat_table table;
    for (;;) {
        if (readfat_partitions(sectors, 0, data, read, parts.data(),
                               static_cast<uint32_t>(parts.size()), &table) != 0)
            return t;
        if (table.count <= parts.size()) break;
        parts.resize(table.count); // room for all of them, and read again
    }
    t.disk_fat = table.disk_fat;
    t.kind = table.scheme == DV_PT_GPT        ? "GPT"
             : table.scheme == DV_PT_MBR      ? "MBR"
             : table.scheme == DV_PT_ELTORITO ? "El Torito"
                                              : "none";
    // exFAT and NTFS boot sectors end in 0x55AA as an MBR does, but are no table.
    std::string whole = by_signature(data, read, 0, sectors);
    if (whole == "exFAT" || whole == "NTFS" || whole == "ReFS" || whole == "BitLocker") {
        t.kind = "none";
        t.disk_fs = whole;
        return t;
    }
    if (table.scheme == DV_PT_NONE) t.disk_fs = identify_fs(data, read, 0, sectors, t.disk_fat);
    for (uint32_t i = 0; i < table.count && i < parts.size(); ++i) {
        t.parts.push_back(from_library(parts[i], table.scheme));
        Partition &p = t.parts.back();
        if (!p.extended) p.fs = identify_fs(data, read, p.start, p.sectors, p.fat);
    }
    add_notes(table.notes, t.notes);
    return t;
}

} // namespace dvcli
