// Partition tables: MBR with its chain of extended boot records, GPT with its CRCs and backup
// header, and the El Torito boot catalog of an ISO 9660 image. Everything lives on the stack
// and in the caller's array: nothing is allocated.
#include <array>
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "exfat/exfat_internal.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

constexpr uint32_t kSector = 512;

// The FAT type of a boot sector the reader would mount in `sectors` sectors: 12, 16, 32,
// DV_FAT_EXFAT for an exFAT boot sector that passes its checks, else 0.
uint32_t fat_of(const uint8_t *boot, uint64_t sectors) {
    ExfatBoot xb;
    if (exfat_named(boot))
        return parse_exfat_boot(boot, kSector, &xb) == ExfatCode::ok ? DV_FAT_EXFAT : 0;
    BootGeometry g;
    return parse_boot_sector(boot, sectors, g) == 0 ? g.fat_type : 0;
}

// MBR and extended boot records: four 16-byte entries at byte 446.
constexpr size_t kMbrTable = 446;
constexpr size_t kMbrEntry = 16;
constexpr size_t kMbrStatus = 0, kMbrType = 4, kMbrStart = 8, kMbrCount = 12;
constexpr uint8_t kProtective = 0xEE;
constexpr uint32_t kMaxEbrs = 255;

// GPT header and entries.
constexpr size_t kGptHeaderSize = 12, kGptHeaderCrc = 16, kGptMyLba = 24, kGptEntriesLba = 72;
constexpr size_t kGptEntryCount = 80, kGptEntrySize = 84, kGptEntriesCrc = 88;
constexpr uint32_t kGptMinHeader = 92;
constexpr size_t kGptFirstLba = 32, kGptLastLba = 40, kGptName = 56;
constexpr uint32_t kMaxGptEntries = 16384;

// ISO 9660 and El Torito: 2048-byte sectors, volume descriptors from sector 16, a boot
// catalog of 32-byte entries.
constexpr uint32_t kCdShift = 2; // a CD sector is four 512-byte sectors
constexpr uint64_t kFirstDescriptor = 16;
constexpr uint32_t kMaxDescriptors = 32;
constexpr size_t kBootCatalogPointer = 71;
constexpr uint32_t kCatalogEntry = 32;
constexpr uint32_t kEntriesPerCdSector = 2048 / kCatalogEntry;
constexpr uint32_t kMaxCatalogEntries = 16 * kEntriesPerCdSector;
constexpr uint8_t kBootable = 0x88, kNotBootable = 0x00, kMoreHeaders = 0x90, kLastHeader = 0x91;
constexpr uint8_t kExtension = 0x44, kExtensionFollows = 0x20;

constexpr std::array<uint32_t, 256> crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> kCrc = crc_table();

// CRC-32 as GPT uses it; start with `crc` 0 and feed the pieces in order.
uint32_t crc32(uint32_t crc, const uint8_t *p, size_t n) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = kCrc[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

bool is_extended(uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

struct Disk {
    uint64_t sectors; // 512-byte sectors
    void *data;
    readfat_sector_reader reader;
    uint32_t shift; // logical sector = 512 << shift
    readfat_partition *parts;
    uint32_t room;
    readfat_table *table;
    // One logical sector for table sectors, one for the first sectors of partitions. Aligned
    // for readers that transfer by DMA.
    alignas(kSector) uint8_t buf[kSector << 3];
    alignas(kSector) uint8_t probe[kSector << 3];

    uint32_t logical() const { return kSector << shift; }
    uint64_t logical_sectors() const { return sectors >> shift; }

    // Reads logical sector `lba` into `into`; false when it lies outside the disk or fails.
    bool read(uint64_t lba, uint8_t *into) const {
        const uint32_t n = 1u << shift;
        if (lba >= logical_sectors()) return false;
        return reader(data, into, lba << shift, n) == static_cast<int32_t>(n);
    }

    // Reads the 2048-byte CD sector `cd` into `into` (logical sectors of at most 2048 bytes).
    bool read_cd(uint64_t cd, uint8_t *into) const {
        constexpr uint32_t n = 1u << kCdShift;
        if (cd >= sectors >> kCdShift) return false;
        return reader(data, into, cd << kCdShift, n) == static_cast<int32_t>(n);
    }

    // Adds a partition of `count` sectors at `start` (512-byte units), cut at the disk's end;
    // `rec` holds its other fields. Probes its first sector for a FAT boot sector.
    void add(readfat_partition rec, uint64_t start, uint64_t count) {
        if (count == 0) return;
        if (start >= sectors) {
            table->notes |= DV_PT_NOTE_OUTSIDE;
            return;
        }
        if (count > sectors - start) {
            count = sectors - start;
            table->notes |= DV_PT_NOTE_OUTSIDE;
        }
        rec.start = start;
        rec.sectors = count;
        if (!rec.extended && count >= 64 && read(start >> shift, probe))
            rec.fat_type = static_cast<uint8_t>(fat_of(probe, count));
        if (table->count < room)
            parts[table->count] = rec;
        else
            table->notes |= DV_PT_NOTE_TRUNCATED;
        ++table->count;
    }
};

readfat_partition mbr_record(const uint8_t *entry, uint32_t number) {
    readfat_partition r{};
    r.number = number;
    r.mbr_type = entry[kMbrType];
    r.extended = is_extended(r.mbr_type) ? 1 : 0;
    return r;
}

// ---- El Torito ----------------------------------------------------------------------------

// The sectors the FAT volume whose boot sector is at `start` declares, or 0 when that sector
// holds none the library would mount in what is left of the disk.
uint64_t declared_fat_sectors(Disk &d, uint64_t start) {
    if (start >= d.sectors || (start & ((uint64_t{1} << d.shift) - 1)) != 0 ||
        !d.read(start >> d.shift, d.probe))
        return 0;
    BootGeometry g;
    if (parse_boot_sector(d.probe, d.sectors - start, g) != 0) return 0;
    return declared_sectors(d.probe, g.sector_shift);
}

// Adds the boot image of the default or a section entry `e`. The catalog's sector count is
// what the firmware loads, often 1 or 4 for an image of megabytes: a FAT volume's own
// total count wins when larger.
void add_boot_image(Disk &d, const uint8_t *e, uint8_t platform, uint32_t number) {
    static constexpr uint64_t kFloppy[] = {0, 2400, 2880, 5760}; // 1.2, 1.44, 2.88 MB
    const uint8_t media = e[1] & 0x0Fu;
    uint64_t start = uint64_t{load_le32(e + 8)} << kCdShift;
    uint64_t count = load_le16(e + 6);
    // The system area (sector 0 on) is never a boot image: an empty or damaged entry.
    if (start == 0 || media > 4) return;
    if (media >= 1 && media <= 3) count = kFloppy[media];
    if (media == 4 && start < d.sectors && d.read(start >> d.shift, d.probe) &&
        load_le16(d.probe + DV_BPB_SIGNATURE) == 0xAA55u) {
        // Hard-disk emulation: an image with an MBR, whose first partition is the volume.
        const uint8_t *p = d.probe + kMbrTable;
        if (p[kMbrType] != 0) {
            start += load_le32(p + kMbrStart);
            count = load_le32(p + kMbrCount);
        }
    }
    const uint64_t declared = declared_fat_sectors(d, start);
    if (declared > count) count = declared;
    readfat_partition r{};
    r.number = number;
    r.mbr_type = media;
    r.reserved = platform;
    d.add(r, start, count);
}

bool checksum_zero(const uint8_t *entry) {
    uint32_t sum = 0;
    for (uint32_t k = 0; k < kCatalogEntry; k += 2) sum += load_le16(entry + k);
    return (sum & 0xFFFFu) == 0;
}

// The boot images the El Torito catalog of an ISO 9660 image lists: the default entry, then
// every section's entries. Nothing when the disk holds no ISO 9660 volume with a boot record.
void read_eltorito(Disk &d) {
    uint8_t *b = d.buf;
    if (d.shift > kCdShift || !d.read_cd(kFirstDescriptor, b) || b[0] != 1 ||
        std::memcmp(b + 1, "CD001", 5) != 0)
        return;
    uint64_t catalog = 0;
    for (uint64_t i = kFirstDescriptor + 1;; ++i) {
        if (i == kFirstDescriptor + kMaxDescriptors || !d.read_cd(i, b) ||
            std::memcmp(b + 1, "CD001", 5) != 0 || b[0] == 0xFF)
            return;
        // The boot record: type 0, its boot system identifier "EL TORITO ...".
        if (b[0] == 0 && std::memcmp(b + 7, "EL TORITO ", 10) == 0) {
            catalog = load_le32(b + kBootCatalogPointer);
            break;
        }
    }
    // The validation entry: header 1, key bytes 0x55 0xAA, 16-bit words summing to 0.
    if (catalog == 0 || !d.read_cd(catalog, b) || b[0] != 1 || b[30] != 0x55 || b[31] != 0xAA ||
        !checksum_zero(b)) {
        d.table->notes |= DV_PT_NOTE_CATALOG_BAD;
        return;
    }
    d.table->scheme = DV_PT_ELTORITO;
    uint64_t loaded = 0; // the catalog's CD sector in d.buf, relative to its start
    uint8_t e[kCatalogEntry];
    // Copies entry `i` into `e`; false past the bound or on a read failure (then noted).
    auto entry = [&](uint32_t i) {
        const uint64_t sector = i / kEntriesPerCdSector;
        if (i >= kMaxCatalogEntries || (sector != loaded && !d.read_cd(catalog + sector, d.buf))) {
            d.table->notes |= DV_PT_NOTE_CATALOG_BAD;
            return false;
        }
        loaded = sector;
        std::memcpy(e, d.buf + (i % kEntriesPerCdSector) * kCatalogEntry, kCatalogEntry);
        return true;
    };
    const uint8_t default_platform = b[1];
    uint32_t number = 1;
    if (!entry(1)) return;
    if (e[0] == kBootable || e[0] == kNotBootable) add_boot_image(d, e, default_platform, number);
    ++number;
    for (uint32_t i = 2;;) {
        if (!entry(i++)) return;
        if (e[0] != kMoreHeaders && e[0] != kLastHeader) return; // the catalog's end
        const bool last = e[0] == kLastHeader;
        const uint8_t platform = e[1];
        const uint32_t count = load_le16(e + 2);
        for (uint32_t k = 0; k < count; ++k) {
            if (!entry(i++)) return;
            if (e[0] != kBootable && e[0] != kNotBootable) {
                d.table->notes |= DV_PT_NOTE_CATALOG_BAD;
                return;
            }
            const bool extended = (e[1] & kExtensionFollows) != 0;
            add_boot_image(d, e, platform, number++);
            // Extension entries carry selection criteria only.
            for (bool more = extended; more;) {
                if (!entry(i++)) return;
                if (e[0] != kExtension) {
                    d.table->notes |= DV_PT_NOTE_CATALOG_BAD;
                    return;
                }
                more = (e[1] & kExtensionFollows) != 0;
            }
        }
        if (last) return;
    }
}

// ---- MBR ----------------------------------------------------------------------------------

// Logical partitions: EBRs linked relative to the extended partition's start, each inside it.
void read_logical(Disk &d, uint64_t base, uint64_t size) {
    std::array<uint64_t, kMaxEbrs> seen{};
    uint64_t ebr = base;
    uint32_t number = 5;
    for (uint32_t n = 0;; ++n) {
        for (uint32_t k = 0; k < n; ++k)
            if (seen[k] == ebr) {
                d.table->notes |= DV_PT_NOTE_EBR_LOOP;
                return;
            }
        if (n == kMaxEbrs || ebr - base >= size) {
            d.table->notes |= DV_PT_NOTE_EBR_LOOP;
            return;
        }
        seen[n] = ebr;
        if (!d.read(ebr >> d.shift, d.buf) || load_le16(d.buf + DV_BPB_SIGNATURE) != 0xAA55u) {
            d.table->notes |= DV_PT_NOTE_EBR_BAD;
            return;
        }
        uint8_t link[kMbrEntry];
        std::memcpy(link, d.buf + kMbrTable + kMbrEntry, kMbrEntry);
        const uint8_t *e = d.buf + kMbrTable;
        if (e[kMbrType] != 0)
            d.add(mbr_record(e, number++), ebr + (uint64_t{load_le32(e + kMbrStart)} << d.shift),
                  uint64_t{load_le32(e + kMbrCount)} << d.shift);
        const uint32_t next = load_le32(link + kMbrStart);
        if (link[kMbrType] == 0 || next == 0) return;
        ebr = base + (uint64_t{next} << d.shift);
    }
}

void read_mbr(Disk &d, const uint8_t *mbr) {
    d.table->scheme = DV_PT_MBR;
    uint64_t ext_base = 0, ext_size = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        const uint8_t *e = mbr + kMbrTable + i * kMbrEntry;
        if (e[kMbrType] == 0) continue;
        const uint64_t start = uint64_t{load_le32(e + kMbrStart)} << d.shift;
        const uint64_t count = uint64_t{load_le32(e + kMbrCount)} << d.shift;
        readfat_partition r = mbr_record(e, i + 1);
        if (r.extended && ext_size == 0 && count != 0 && start != 0) {
            ext_base = start;
            ext_size = count;
        }
        d.add(r, start, count);
    }
    if (ext_size != 0) read_logical(d, ext_base, ext_size);
}

// ---- GPT ----------------------------------------------------------------------------------

struct GptHeader {
    uint64_t entries_lba;
    uint32_t count, size, crc;
};

// The header at `lba`, when its signature, size, CRC, own address and entry array hold up.
bool gpt_header(Disk &d, uint64_t lba, GptHeader &h) {
    if (!d.read(lba, d.buf) || std::memcmp(d.buf, "EFI PART", 8) != 0) return false;
    const uint32_t hsize = load_le32(d.buf + kGptHeaderSize);
    if (hsize < kGptMinHeader || hsize > d.logical()) return false;
    const uint32_t stored = load_le32(d.buf + kGptHeaderCrc);
    std::memset(d.buf + kGptHeaderCrc, 0, 4);
    if (crc32(0, d.buf, hsize) != stored) return false;
    if (load_le64(d.buf + kGptMyLba) != lba) return false;
    h.entries_lba = load_le64(d.buf + kGptEntriesLba);
    h.count = load_le32(d.buf + kGptEntryCount);
    h.size = load_le32(d.buf + kGptEntrySize);
    h.crc = load_le32(d.buf + kGptEntriesCrc);
    // Entries never straddle a sector: their size is a power of two that divides it.
    if (h.size < 128 || h.size > d.logical() || (h.size & (h.size - 1)) != 0) return false;
    if (h.count > kMaxGptEntries) return false;
    const uint64_t array = (uint64_t{h.count} * h.size + d.logical() - 1) / d.logical();
    return h.entries_lba >= 1 && h.entries_lba < d.logical_sectors() &&
           array <= d.logical_sectors() - h.entries_lba;
}

// Walks the entry array: checks its CRC, or (with `emit`) adds its partitions.
bool gpt_entries(Disk &d, const GptHeader &h, bool emit) {
    const uint32_t per = d.logical() / h.size;
    uint32_t crc = 0;
    for (uint32_t i = 0; i < h.count; ++i) {
        if (i % per == 0 && !d.read(h.entries_lba + i / per, d.buf)) return false;
        // A copy: probing the partition reads other sectors.
        uint8_t e[128];
        std::memcpy(e, d.buf + (i % per) * h.size, sizeof e);
        if (!emit) {
            crc = crc32(crc, d.buf + (i % per) * h.size, h.size);
            continue;
        }
        static constexpr uint8_t kUnused[16] = {};
        const uint64_t first = load_le64(e + kGptFirstLba), end = d.logical_sectors();
        uint64_t last = load_le64(e + kGptLastLba);
        if (std::memcmp(e, kUnused, 16) == 0 || last < first) continue;
        if (first >= end || last >= end) {
            d.table->notes |= DV_PT_NOTE_OUTSIDE;
            if (first >= end) continue;
            last = end - 1;
        }
        readfat_partition r{};
        r.number = i + 1;
        std::memcpy(r.type_guid, e, 16);
        for (size_t k = 0; k < 36; ++k) r.name[k] = load_le16(e + kGptName + 2 * k);
        d.add(r, first << d.shift, (last - first + 1) << d.shift);
    }
    return emit || crc == h.crc;
}

// The GPT behind a protective MBR: the primary header, else the backup at the disk's end.
bool read_gpt(Disk &d) {
    GptHeader h{};
    bool sound = gpt_header(d, 1, h) && gpt_entries(d, h, false);
    if (!sound) {
        d.table->notes |= DV_PT_NOTE_GPT_PRIMARY_BAD;
        sound = gpt_header(d, d.logical_sectors() - 1, h) && gpt_entries(d, h, false);
        if (!sound) return false;
        d.table->notes |= DV_PT_NOTE_GPT_BACKUP_USED;
    }
    d.table->scheme = DV_PT_GPT;
    gpt_entries(d, h, true);
    return true;
}

// With no sector size given: the first size at which sector 1 holds a GPT signature.
void find_gpt_sector_size(Disk &d) {
    for (uint32_t shift = 0; shift <= 3; ++shift) {
        d.shift = shift;
        if (d.read(1, d.buf) && std::memcmp(d.buf, "EFI PART", 8) == 0) return;
    }
    d.shift = 0;
}

} // namespace

int list_partitions(uint64_t disk_sectors, uint32_t sector_size, void *reader_data,
                    readfat_sector_reader reader, readfat_partition *parts, uint32_t room,
                    readfat_table *table) {
    uint32_t shift = 0;
    while (shift <= 3 && (kSector << shift) != sector_size) ++shift;
    if (!reader || !table || (!parts && room != 0) || disk_sectors == 0 ||
        (sector_size != 0 && shift > 3))
        return EINVAL;
    *table = readfat_table{};
    Disk d{disk_sectors, reader_data, reader, sector_size != 0 ? shift : 0, parts, room,
           table,        {},          {}};
    uint8_t mbr[kSector];
    if (!d.read(0, d.buf)) return EIO;
    std::memcpy(mbr, d.buf, kSector);
    table->sector_size = d.logical();

    if (disk_sectors >= 64 && fat_of(mbr, disk_sectors) != 0) {
        table->disk_fat = fat_of(mbr, disk_sectors);
        return 0;
    }
    bool has_table = load_le16(mbr + DV_BPB_SIGNATURE) == 0xAA55u;
    bool protective = false;
    for (size_t i = 0; i < 4 && has_table; ++i) {
        const uint8_t *e = mbr + kMbrTable + i * kMbrEntry;
        // Status bytes other than 0x00 and 0x80: boot code, not a partition table.
        if ((e[kMbrStatus] & 0x7Fu) != 0) has_table = false;
        if (e[kMbrType] == kProtective) protective = true;
    }
    // No table: an ISO 9660 image may still list FAT volumes as its boot images.
    if (!has_table) {
        read_eltorito(d);
        return 0;
    }
    if (protective) {
        if (sector_size == 0) find_gpt_sector_size(d);
        table->sector_size = d.logical();
        if (read_gpt(d)) return 0;
        table->notes |= DV_PT_NOTE_GPT_UNREADABLE;
        d.shift = sector_size != 0 ? shift : 0;
        table->sector_size = d.logical();
    }
    read_mbr(d, mbr);
    // An MBR that lists nothing (the zeros of an ISO's system area with a signature).
    if (table->count == 0 && table->notes == 0) read_eltorito(d);
    return 0;
}

} // namespace dorvex
