// Naming what a volume holds when it is no FAT volume: the signatures other file systems keep
// in their first sectors. One 512-byte sector at a time on the stack: nothing is allocated.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

struct Sectors {
    uint64_t start, end;
    void *data;
    readfat_sector_reader reader;
    alignas(512) uint8_t buf[512];

    // The volume's 512-byte sector `at`, or false past its end or on a read error.
    bool read(uint64_t at) { return at < end - start && reader(data, buf, start + at, 1) == 1; }
    bool has(size_t offset, const char *magic, size_t n) const {
        return std::memcmp(buf + offset, magic, n) == 0;
    }
};

// ext2 unless it has a journal (ext3) or features ext3 lacks (ext4).
const char *ext_version(const uint8_t *sb) {
    const uint32_t compat = load_le32(sb + 92), incompat = load_le32(sb + 96);
    const uint32_t ro_compat = load_le32(sb + 100);
    if ((incompat & ~0x16u) != 0 || (ro_compat & ~0x7u) != 0) return "ext4";
    return (compat & 0x4u) != 0 ? "ext3" : "ext2";
}

// The name of what the sectors hold, from the signatures at their usual places.
const char *by_signature(Sectors &s) {
    if (s.read(0)) {
        if (s.has(3, "EXFAT   ", 8)) return "exFAT";
        if (s.has(3, "NTFS    ", 8)) return "NTFS";
        if (s.has(3, "ReFS\0\0\0\0", 8)) return "ReFS";
        if (s.has(3, "-FVE-FS-", 8)) return "BitLocker";
        if (s.has(0, "LUKS\xBA\xBE", 6)) return "LUKS";
        if (s.has(0, "XFSB", 4)) return "XFS";
        if (s.has(0, "hsqs", 4)) return "squashfs";
        if (s.has(32, "NXSB", 4)) return "APFS";
    }
    // Superblocks at byte 1024.
    if (s.read(2)) {
        // ext: blocks of 1 .. 64 KiB.
        if (load_le16(s.buf + 56) == 0xEF53u && load_le32(s.buf + 24) <= 6)
            return ext_version(s.buf);
        if (load_le32(s.buf) == 0xF2F52010u) return "F2FS";
        if (s.has(0, "H+\0\4", 4)) return "HFS+";
        if (s.has(0, "HX\0\5", 4)) return "HFSX";
        if (s.has(0, "BD", 2)) return "HFS";
    }
    // The signature at the end of a 4 KiB swap page.
    if (s.read(7) && (s.has(502, "SWAPSPACE2", 10) || s.has(502, "SWAP-SPACE", 10)))
        return "Linux swap";
    // Volume descriptors from byte 32768.
    if (s.read(64)) {
        if (s.has(1, "CD001", 5)) return "ISO 9660";
        if (s.has(1, "BEA01", 5)) return "UDF";
    }
    if (s.read(128) && s.has(64, "_BHRfS_M", 8)) return "Btrfs";
    return "";
}

// True when the first MiB (or the whole volume, if smaller) reads as zeros.
bool blank(Sectors &s) {
    const uint64_t n = s.end - s.start < 2048 ? s.end - s.start : 2048;
    for (uint64_t i = 0; i < n; ++i) {
        if (!s.read(i)) return false;
        for (uint8_t byte : s.buf)
            if (byte != 0) return false;
    }
    return n != 0;
}

} // namespace

int identify_volume(uint64_t start, uint64_t end, void *reader_data, readfat_sector_reader reader,
                    const char *&name, uint64_t &claimed) {
    name = "";
    claimed = 0;
    Sectors s{start, end, reader_data, reader, {}};
    if (start >= end || !s.read(0)) return EIO;
    // A boot sector's own count, however damaged the rest: a truncated image shows here.
    const uint32_t bps = load_le16(s.buf + DV_BPB_BYTES_PER_SECTOR);
    const bool boot_like =
        (s.buf[0] == 0xEB || s.buf[0] == 0xE9) && load_le16(s.buf + DV_BPB_SIGNATURE) == 0xAA55u;
    if (boot_like && (bps == 512 || bps == 1024 || bps == 2048 || bps == 4096))
        claimed = declared_sectors(s.buf, 0) * (bps / 512);
    BootGeometry g;
    uint32_t backup = 0;
    // exFAT is named by its boot sector's name, mountable or not.
    if (exfat_named(s.buf)) {
        const uint32_t shift = s.buf[108];
        const uint64_t length = load_le64(s.buf + 72);
        if (shift >= 9 && shift <= 12 && length < (uint64_t{1} << (64 - shift)))
            claimed = length << (shift - 9);
        name = "exFAT";
        return 0;
    }
    if (read_boot_sector(reader_data, reader, start, end, s.buf, g, backup) == 0) {
        name = g.fat_type == 12 ? "FAT12" : g.fat_type == 16 ? "FAT16" : "FAT32";
        return 0;
    }
    // exFAT and NTFS boot sectors have a jump and the signature too: their names go first.
    name = by_signature(s);
    if (*name == '\0' && boot_like) name = "FAT";
    if (*name == '\0' && blank(s)) name = "blank";
    return 0;
}

} // namespace dorvex
