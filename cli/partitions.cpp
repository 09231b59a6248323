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

Partition from_library(const readfat_partition &r, bool gpt) {
    Partition p;
    p.number = r.number;
    p.start = r.start;
    p.sectors = r.sectors;
    p.extended = r.extended != 0;
    p.fat = r.fat_type;
    if (gpt) {
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
    };
    for (const auto &[bit, text] : kNotes)
        if (notes & bit) out.push_back(text);
}

} // namespace

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
    t.kind = table.scheme == DV_PT_GPT ? "GPT" : table.scheme == DV_PT_MBR ? "MBR" : "none";
    for (uint32_t i = 0; i < table.count; ++i)
        t.parts.push_back(from_library(parts[i], table.scheme == DV_PT_GPT));
    add_notes(table.notes, t.notes);
    return t;
}

} // namespace dvcli
