// Formatting: the layout of a new FAT12, FAT16 or FAT32 volume, chosen as mkfs.fat chooses
// it, written through the caller's sector writer from one stack buffer.
#include <cerrno>
#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "dorvex/writefat.h"

namespace dorvex {
namespace {

// ---- Geometry -------------------------------------------------------------------------

constexpr uint32_t kMaxClusters12 = 4084;
constexpr uint32_t kMaxClusters16 = 65524;
constexpr uint32_t kMaxClusters32 = 0x0FFFFFF5u;
constexpr uint64_t kFat32From = uint64_t{512} << 20; // bytes: FAT32 by default from here
constexpr uint32_t kFsinfo = 1;
constexpr uint32_t kBackupBoot = 6;

struct Layout {
    uint32_t ss = 512;     // logical sector bytes
    uint32_t unit = 1;     // 512-byte sectors per logical sector
    uint64_t total = 0;    // logical sectors used (whole tracks)
    uint32_t bits = 0;     // 12, 16, 32
    uint32_t spc = 0;      // sectors per cluster
    uint32_t reserved = 0; // sectors before the first FAT
    uint32_t fats = 2;
    uint32_t fat_sectors = 0;
    uint32_t root_entries = 0; // FAT12/16
    uint32_t clusters = 0;
    uint32_t media = 0xF8;
    uint32_t spt = 0, heads = 0;
    uint32_t drive = 0x80;
    bool count_fault = false; // refused only because the type cannot hold the count

    uint32_t root_sectors() const { return root_entries * 32 / ss; }
    uint64_t data_start() const {
        return uint64_t{reserved} + uint64_t{fats} * fat_sectors + root_sectors();
    }
};

// The standard diskettes keep their historical layout (as DOS wrote them).
struct Floppy {
    uint32_t sectors, spc, root, media, spt;
};
constexpr Floppy kFloppies[] = {
    {720, 2, 112, 0xFD, 9},   {1440, 2, 112, 0xF9, 9},  {2400, 1, 224, 0xF9, 15},
    {2880, 1, 224, 0xF0, 18}, {5760, 2, 224, 0xF0, 36},
};

constexpr uint64_t cdiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}
constexpr uint64_t round_up(uint64_t a, uint64_t m) {
    return cdiv(a, m) * m;
}

// The CHS geometry a BIOS would report for a disk of this many sectors (the table SD cards
// and mkfs.fat use). Nothing reads it today, but mtools insists on whole tracks.
void chs(uint64_t sectors, Layout &l) {
    struct Row {
        uint64_t upto;
        uint32_t heads, spt;
    };
    static constexpr Row rows[] = {
        {4096, 2, 16},      {32768, 2, 32},        {65536, 4, 32},    {262144, 8, 32},
        {524288, 16, 32},   {1032192, 16, 63},     {2064384, 32, 63}, {4128768, 64, 63},
        {8257536, 128, 63}, {UINT64_MAX, 255, 63},
    };
    for (const Row &r : rows)
        if (sectors <= r.upto) {
            l.heads = r.heads;
            l.spt = r.spt;
            return;
        }
}

// FAT32's cluster by volume size (Microsoft's table, as mkfs.fat applies it).
uint32_t fat32_cluster_bytes(uint64_t bytes) {
    if (bytes <= uint64_t{260} << 20) return 512;
    if (bytes <= uint64_t{8} << 30) return 4096;
    if (bytes <= uint64_t{16} << 30) return 8192;
    if (bytes <= uint64_t{32} << 30) return 16384;
    return 32768;
}

// Sizes the FAT for cluster size `spc` over what the reserved sectors and the root leave,
// and counts the clusters. The estimate solves data + FATs = space in one step, as
// mkfs.fat does, so the FAT sizes agree with it. Returns false when nothing fits.
bool size_fat(Layout &l, bool align_fat) {
    const uint64_t head = uint64_t{l.reserved} + l.root_sectors();
    if (head >= l.total) return false;
    const uint64_t space = l.total - head;
    const uint64_t cb = uint64_t{l.spc} * l.ss;
    uint64_t est, fat_bytes;
    if (l.bits == 12) {
        est = 2 * (space * l.ss + l.fats * 3) / (2 * cb + l.fats * 3);
        fat_bytes = ((est + 2) * 3 + 1) / 2;
    } else {
        const uint32_t w = l.bits / 8;
        est = (space * l.ss + l.fats * 2 * w) / (cb + l.fats * w);
        fat_bytes = (est + 2) * w;
    }
    uint64_t fat = cdiv(fat_bytes, l.ss);
    if (align_fat) fat = round_up(fat, l.spc);
    if (fat > UINT32_MAX || l.fats * fat >= space) return false;
    l.fat_sectors = static_cast<uint32_t>(fat);
    uint64_t clusters = (space - l.fats * fat) / l.spc;
    const uint64_t room = fat * l.ss * 8 / l.bits - 2; // entries the FAT holds
    if (clusters > room) clusters = room;
    l.clusters = static_cast<uint32_t>(clusters > UINT32_MAX ? UINT32_MAX : clusters);
    return true;
}

bool fits(const Layout &l) {
    if (l.bits == 12) return l.clusters >= 1 && l.clusters <= kMaxClusters12;
    if (l.bits == 16) return l.clusters > kMaxClusters12 && l.clusters <= kMaxClusters16;
    return l.clusters > kMaxClusters16 && l.clusters <= kMaxClusters32;
}

// The layout for type `bits` starting from cluster `spc`. With `fixed` the cluster size is
// the caller's; else it doubles until the count fits the type. Returns 0 or EINVAL.
int lay_out(Layout &l, uint32_t bits, uint32_t spc, bool fixed, const writefat_format_options &o,
            uint32_t root_default) {
    // mkfs.fat aligns everything to the cluster except on the smallest volumes, where the
    // padding would cost too much of the space.
    const bool cluster_align = o.align == 0 && l.total > 8192;
    const uint32_t align = o.align ? o.align / l.unit : 1; // logical sectors
    l.bits = bits;
    l.count_fault = false;
    for (l.spc = spc; l.spc <= 128 && uint64_t{l.spc} * l.ss <= 65536; l.spc *= 2) {
        l.count_fault = false;
        l.reserved = bits == 32 ? 32 : 1;
        l.root_entries = 0;
        if (bits != 32) {
            uint32_t entries = o.root_entries ? o.root_entries : root_default;
            uint64_t sectors = cdiv(uint64_t{entries} * 32, l.ss);
            if (cluster_align) sectors = round_up(sectors, l.spc);
            if (sectors * l.ss / 32 > 65535) return EINVAL;
            l.root_entries = static_cast<uint32_t>(sectors * l.ss / 32);
        }
        if (cluster_align) l.reserved = static_cast<uint32_t>(round_up(l.reserved, l.spc));
        if (!size_fat(l, cluster_align)) {
            l.clusters = 0;
            l.count_fault = true;
            return EINVAL;
        }
        if (align > 1) {
            // The reserved sectors absorb the padding; fewer clusters then, same FAT.
            const uint64_t pad = (align - l.data_start() % align) % align;
            if (l.reserved + pad > 65535) return EINVAL;
            l.reserved += static_cast<uint32_t>(pad);
            if (l.data_start() >= l.total) return EINVAL;
            l.clusters = static_cast<uint32_t>(
                std::min<uint64_t>(l.clusters, (l.total - l.data_start()) / l.spc));
        }
        if (fits(l)) return 0;
        // Too few clusters: a bigger cluster only makes fewer.
        l.count_fault = true;
        if (fixed || (bits == 12 ? l.clusters < 1
                                 : l.clusters <= (bits == 16 ? kMaxClusters12 : kMaxClusters16)))
            return EINVAL;
    }
    return EINVAL;
}

int plan(uint64_t units512, const writefat_format_options &o, Layout &l) {
    l.ss = o.sector_size ? o.sector_size : 512;
    if (l.ss != 512 && l.ss != 1024 && l.ss != 2048 && l.ss != 4096) return EINVAL;
    l.unit = l.ss / 512;
    if (o.fat_type != 0 && o.fat_type != 12 && o.fat_type != 16 && o.fat_type != 32) return EINVAL;
    const uint32_t cb = o.cluster_size;
    if (cb && ((cb & (cb - 1)) || cb < l.ss || cb / l.ss > 128 || cb > 65536)) return EINVAL;
    if (o.num_fats > 2) return EINVAL;
    l.fats = o.num_fats ? o.num_fats : 2;
    if (o.align % l.unit) return EINVAL;
    if (o.media && o.media != 0xF0 && (o.media < 0xF8 || o.media > 0xFF)) return EINVAL;
    if (o.hidden_sectors > UINT32_MAX) return EINVAL;
    if (o.root_entries > 65535) return EINVAL;

    const uint64_t total = units512 / l.unit;
    // A standard diskette keeps its historical layout.
    if (o.fat_type != 32 && cb == 0 && o.root_entries == 0 && o.align == 0 && l.ss == 512)
        for (const Floppy &f : kFloppies)
            if (total == f.sectors) {
                l.total = total;
                l.media = o.media ? o.media : f.media;
                l.spt = f.spt;
                l.heads = 2;
                l.drive = 0;
                return lay_out(l, 12, f.spc, true, o, f.root);
            }
    chs(total, l);
    l.total = total / l.spt * l.spt;                         // whole tracks, which mtools checks
    if (l.total == 0 || l.total > UINT32_MAX) return EINVAL; // the BPB counts in 32 bits
    l.media = o.media ? o.media : 0xF8;

    // The type from the size asked for, the cluster from the size used (as mkfs.fat).
    const uint64_t bytes = l.total * l.ss;
    uint32_t bits = o.fat_type;
    if (bits == 0 && total * l.ss >= kFat32From) bits = 32;
    if (bits == 32) {
        const uint32_t c = cb ? cb : fat32_cluster_bytes(bytes);
        return lay_out(l, 32, c > l.ss ? c / l.ss : 1, cb != 0, o, 0);
    }
    // FAT12 or FAT16 from 2 KiB clusters (mkfs.fat's four sectors) up: the smaller FAT
    // when its count fits, else the larger, else a bigger cluster.
    const uint32_t first = cb ? cb / l.ss : (l.ss >= 2048 ? 1 : 2048 / l.ss);
    if (bits != 0) return lay_out(l, bits, first, cb != 0, o, 512);
    for (uint32_t spc = first; spc <= 128 && uint64_t{spc} * l.ss <= 65536; spc *= 2) {
        if (lay_out(l, 12, spc, true, o, 512) == 0) return 0;
        if (lay_out(l, 16, spc, true, o, 512) == 0) return 0;
        if (cb) break;
    }
    return EINVAL;
}

// ---- Label ----------------------------------------------------------------------------

// The 11 bytes of the label in upper case, space padded; "NO NAME" for none. Returns
// false for a label FAT cannot hold.
bool make_label(const char *text, uint8_t out[11], bool &present) {
    std::memcpy(out, "NO NAME    ", 11);
    size_t n = text ? std::strlen(text) : 0;
    while (n > 0 && text[n - 1] == ' ') --n;
    present = n > 0;
    if (n > 11) return false;
    if (!present) return true;
    std::memset(out, ' ', 11);
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c < 0x20 || c >= 0x7F || std::strchr(".\"*+,/:;<=>?[\\]|", c)) return false;
        out[i] = (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c;
    }
    return true;
}

// ---- Sectors --------------------------------------------------------------------------

constexpr uint32_t kBuf = 8192; // bytes: two logical sectors of the largest size

struct Out {
    uint64_t start;
    void *data;
    writefat_sector_writer fn;
    const Layout &l;
    alignas(512) uint8_t buf[kBuf]; // aligned, as every buffer handed to a writer

    // Writes the logical sector `s` from `p` (one logical sector).
    int put(uint64_t s, const uint8_t *p) const { return call(p, start + s * l.unit, l.unit); }
    int call(const uint8_t *p, uint64_t at, uint32_t count) const {
        const int32_t r = fn(data, p, at, count);
        if (r == static_cast<int32_t>(count)) return 0;
        return r < 0 && r > -4096 ? -r : EIO;
    }
    // Zeroes `n` logical sectors from `s` in runs of the buffer.
    int zero(uint64_t s, uint64_t n) {
        std::memset(buf, 0, kBuf);
        const uint32_t per = kBuf / l.ss;
        while (n > 0) {
            const uint32_t k = n < per ? static_cast<uint32_t>(n) : per;
            if (int rc = call(buf, start + s * l.unit, k * l.unit)) return rc;
            s += k;
            n -= k;
        }
        return 0;
    }
};

// A boot stub for machines that try to start from the volume: it prints why it cannot and
// waits for a key, then asks the BIOS for the next boot device (int 19h).
constexpr uint8_t kBootCode[] = {
    0xFC,             // cld (lodsb counts up)
    0x31, 0xC0,       // xor ax, ax
    0x8E, 0xD8,       // mov ds, ax
    0xBE, 0x00, 0x00, // mov si, message (patched)
    0xAC,             // next: lodsb
    0x84, 0xC0,       // test al, al
    0x74, 0x09,       // jz key
    0xB4, 0x0E,       // mov ah, 0Eh (teletype output)
    0xBB, 0x07, 0x00, // mov bx, 7
    0xCD, 0x10,       // int 10h
    0xEB, 0xF2,       // jmp next
    0x31, 0xC0,       // key: xor ax, ax
    0xCD, 0x16,       // int 16h (wait for a key)
    0xCD, 0x19,       // int 19h (boot the next device)
    0xF4, 0xEB, 0xFD, // hlt; jmp $-1
};
constexpr uint32_t kMessageAt = 6; // the operand of mov si
constexpr char kBootMessage[] = "This volume holds no operating system.\r\n"
                                "Remove it and press any key to try the next device.\r\n";

void boot_sector(uint8_t *bs, const Layout &l, const writefat_format_options &o,
                 const uint8_t label[11]) {
    std::memset(bs, 0, l.ss);
    const bool f32 = l.bits == 32;
    const uint32_t code = f32 ? 90 : 62; // first byte after the extended parameter block
    bs[0] = 0xEB;
    bs[1] = static_cast<uint8_t>(code - 2);
    bs[2] = 0x90;
    std::memcpy(bs + DV_BPB_OEM_NAME, "DORVEX  ", 8);
    store_le16(bs + DV_BPB_BYTES_PER_SECTOR, static_cast<uint16_t>(l.ss));
    bs[DV_BPB_SECTORS_PER_CLUSTER] = static_cast<uint8_t>(l.spc);
    store_le16(bs + DV_BPB_RESERVED_SECTORS, static_cast<uint16_t>(l.reserved));
    bs[DV_BPB_FAT_COUNT] = static_cast<uint8_t>(l.fats);
    store_le16(bs + DV_BPB_ROOT_ENTRIES, static_cast<uint16_t>(l.root_entries));
    if (l.total < 65536 && !f32)
        store_le16(bs + DV_BPB_TOTAL_SECTORS16, static_cast<uint16_t>(l.total));
    else
        store_le32(bs + DV_BPB_TOTAL_SECTORS32, static_cast<uint32_t>(l.total));
    bs[DV_BPB_MEDIA] = static_cast<uint8_t>(l.media);
    store_le16(bs + DV_BPB_SECTORS_PER_TRACK, static_cast<uint16_t>(l.spt));
    store_le16(bs + DV_BPB_HEADS, static_cast<uint16_t>(l.heads));
    store_le32(bs + DV_BPB_HIDDEN_SECTORS, static_cast<uint32_t>(o.hidden_sectors));
    uint32_t drive = DV_BPB16_DRIVE_NUMBER;
    if (f32) {
        store_le32(bs + DV_BPB_FAT_SIZE32, l.fat_sectors);
        store_le32(bs + DV_BPB_ROOT_CLUSTER, 2);
        store_le16(bs + DV_BPB_FSINFO_SECTOR, kFsinfo);
        store_le16(bs + DV_BPB_BACKUP_BOOT, kBackupBoot);
        drive = DV_BPB_DRIVE_NUMBER;
    } else {
        store_le16(bs + DV_BPB_FAT_SIZE16, static_cast<uint16_t>(l.fat_sectors));
    }
    // Drive number, signature, serial, label and type follow each other on all types.
    bs[drive] = static_cast<uint8_t>(l.drive);
    bs[drive + 2] = DV_BPB_EXT_BOOT_SIG;
    store_le32(bs + drive + 3, o.volume_id);
    std::memcpy(bs + drive + 7, label, 11);
    std::memcpy(bs + drive + 18,
                l.bits == 12   ? "FAT12   "
                : l.bits == 16 ? "FAT16   "
                               : "FAT32   ",
                8);
    std::memcpy(bs + code, kBootCode, sizeof kBootCode);
    const uint32_t msg = code + sizeof kBootCode;
    store_le16(bs + code + kMessageAt, static_cast<uint16_t>(0x7C00 + msg));
    std::memcpy(bs + msg, kBootMessage, sizeof kBootMessage);
    bs[510] = 0x55;
    bs[511] = 0xAA;
}

void fsinfo_sector(uint8_t *p, const Layout &l) {
    std::memset(p, 0, l.ss);
    store_le32(p + DV_FSINFO_LEAD_SIG, DV_FSINFO_LEAD_VALUE);
    store_le32(p + DV_FSINFO_STRUCT_SIG, DV_FSINFO_STRUCT_VALUE);
    store_le32(p + DV_FSINFO_FREE_COUNT, l.clusters - 1); // the root takes cluster 2
    store_le32(p + DV_FSINFO_NEXT_FREE, 3);
    store_le32(p + DV_FSINFO_TRAIL_SIG, DV_FSINFO_TRAIL_VALUE);
}

// The first sector of a FAT: the media byte, end-of-chain with the clean bits set, and on
// FAT32 the root directory's cluster.
void fat_head(uint8_t *p, const Layout &l) {
    std::memset(p, 0, l.ss);
    if (l.bits == 12) {
        const uint8_t h[3] = {static_cast<uint8_t>(l.media), 0xFF, 0xFF};
        std::memcpy(p, h, 3);
    } else if (l.bits == 16) {
        store_le16(p, static_cast<uint16_t>(0xFF00 | l.media));
        store_le16(p + 2, 0xFFFF);
    } else {
        store_le32(p, 0x0FFFFF00u | l.media);
        store_le32(p + 4, 0x0FFFFFFFu);
        store_le32(p + 8, 0x0FFFFFF8u);
    }
}

void label_entry(uint8_t *e, const uint8_t label[11], int64_t mtime) {
    std::memcpy(e, label, 11);
    e[DV_DIRENT_ATTR] = DV_ATTR_VOLUME;
    uint16_t date = 0, time = 0;
    if (mtime != 0 && mtime != DV_TIME_NONE &&
        dv_encodets64(mtime, 0, &date, &time, nullptr) == 0) {
        store_le16(e + DV_DIRENT_CTIME, time);
        store_le16(e + DV_DIRENT_CDATE, date);
        store_le16(e + DV_DIRENT_ADATE, date);
        store_le16(e + DV_DIRENT_MTIME, time);
        store_le16(e + DV_DIRENT_MDATE, date);
    }
}

int write_volume(Out &out, const writefat_format_options &o, const uint8_t label[11],
                 bool has_label) {
    const Layout &l = out.l;
    uint8_t *sec = out.buf;
    // The reserved region first, from its first sector: the old boot sector (and FAT32's
    // backup) stop describing a volume before anything else changes.
    if (int rc = out.zero(0, l.reserved)) return rc;
    for (uint32_t k = 0; k < l.fats; ++k) {
        const uint64_t at = l.reserved + uint64_t{k} * l.fat_sectors;
        if (int rc = out.zero(at + 1, l.fat_sectors - 1)) return rc;
        fat_head(sec, l);
        if (int rc = out.put(at, sec)) return rc;
    }
    // The root directory: the fixed region, or FAT32's first cluster.
    const uint64_t root =
        l.bits == 32 ? l.data_start() : l.reserved + uint64_t{l.fats} * l.fat_sectors;
    const uint64_t root_n = l.bits == 32 ? l.spc : l.root_sectors();
    if (int rc = out.zero(root + 1, root_n - 1)) return rc;
    std::memset(sec, 0, l.ss);
    if (has_label) label_entry(sec, label, o.mtime);
    if (int rc = out.put(root, sec)) return rc;
    if (l.bits == 32) {
        fsinfo_sector(sec, l);
        if (int rc = out.put(kBackupBoot + kFsinfo, sec)) return rc;
        if (int rc = out.put(kFsinfo, sec)) return rc;
        boot_sector(sec, l, o, label);
        if (int rc = out.put(kBackupBoot, sec)) return rc;
    }
    boot_sector(sec, l, o, label);
    return out.put(0, sec);
}

} // namespace
} // namespace dorvex

using namespace dorvex;

extern "C" DORVEX_API int writefat_format(uint64_t start_sector, uint64_t end_sector,
                                          void *writer_data, writefat_sector_writer writer,
                                          const writefat_format_options *opts) {
    if (!writer || !opts || end_sector <= start_sector) return EINVAL;
    Layout l;
    if (int rc = plan(end_sector - start_sector, *opts, l)) return rc;
    uint8_t label[11];
    bool has_label = false;
    if (!make_label(opts->label, label, has_label)) return EINVAL;
    Out out{start_sector, writer_data, writer, l, {}};
    return write_volume(out, *opts, label, has_label);
}

namespace {

void describe(const Layout &l, writefat_layout &out) {
    out.fat_type = l.bits;
    out.sector_size = l.ss;
    out.cluster_size = l.spc * l.ss;
    out.cluster_count = l.clusters;
    out.reserved_sectors = l.reserved;
    out.fat_sectors = l.fat_sectors;
    out.num_fats = l.fats;
    out.root_entries = l.root_entries;
    out.data_start = l.data_start() * l.unit;
    out.volume_sectors = l.total * l.unit;
}

} // namespace

extern "C" DORVEX_API int writefat_format_layout(uint64_t sectors,
                                                 const writefat_format_options *opts,
                                                 writefat_layout *out) {
    if (!out) return EINVAL;
    *out = writefat_layout{};
    if (!opts || sectors == 0) return EINVAL;
    uint8_t label[11];
    bool has_label = false;
    if (!make_label(opts->label, label, has_label)) return EINVAL;
    Layout l;
    const int rc = plan(sectors, *opts, l);
    // A count the type cannot hold still says which way the size is off.
    if (rc == 0 || l.count_fault) describe(l, *out);
    return rc;
}
