// The exFAT boot region: the boot sector's fields and range checks, the boot checksum, and
// the choice between the main and the backup region.
#include "exfat/exfat_internal.h"

#include "common/bytes.h"

#include <bit>
#include <cstring>

namespace dorvex {

const char *exfat_code_text(ExfatCode code) {
    switch (code) {
    case ExfatCode::ok:
        return "ok";
    case ExfatCode::short_buffer:
        return "structure cut short";
    case ExfatCode::bad_jump:
        return "boot jump is not EB 76 90";
    case ExfatCode::bad_name:
        return "file system name is not EXFAT";
    case ExfatCode::must_be_zero:
        return "bytes 11-63 of the boot sector are not zero";
    case ExfatCode::bad_signature:
        return "boot signature is not AA55";
    case ExfatCode::bad_sector_shift:
        return "sector size outside 512-4096";
    case ExfatCode::bad_cluster_shift:
        return "cluster size over 32 MiB";
    case ExfatCode::bad_fat_count:
        return "bad number of FATs or active FAT";
    case ExfatCode::volume_too_small:
        return "volume under 1 MiB";
    case ExfatCode::fat_misplaced:
        return "FAT before sector 24 or overlapping the cluster heap";
    case ExfatCode::fat_too_short:
        return "FAT too short for the cluster count";
    case ExfatCode::heap_past_volume:
        return "cluster heap ends past the volume";
    case ExfatCode::bad_cluster_count:
        return "cluster count out of range";
    case ExfatCode::bad_root_cluster:
        return "root directory cluster out of range";
    case ExfatCode::bad_checksum:
        return "boot checksum mismatch";
    case ExfatCode::odd_length:
        return "up-case table length is odd";
        return "up-case table ends inside an identity run";
    case ExfatCode::table_overflow:
        return "up-case table maps more than 65536 units";
    case ExfatCode::table_checksum:
        return "up-case table checksum mismatch";
    case ExfatCode::invalid_entry:
        return "invalid directory entry (type 80)";
    case ExfatCode::unknown_critical:
        return "unknown critical directory entry";
    case ExfatCode::orphan_secondary:
        return "secondary entry without a primary";
    case ExfatCode::bad_secondary_count:
        return "file entry secondary count out of range";
    case ExfatCode::set_past_run:
        return "entry set runs past the entries given";
    case ExfatCode::primary_inside_set:
        return "entry set cut short by a primary or end mark";
    case ExfatCode::in_use_mismatch:
        return "secondary in-use bit differs from its primary";
    case ExfatCode::set_checksum:
        return "entry set checksum mismatch";
    case ExfatCode::stream_missing:
        return "file entry without a stream extension";
    case ExfatCode::name_empty:
        return "file name length zero";
    case ExfatCode::name_past_entries:
        return "file name longer than its name entries";
    case ExfatCode::valid_past_data:
        return "valid data length over data length";
    case ExfatCode::name_hash:
        return "file name hash mismatch";
    case ExfatCode::label_too_long:
        return "volume label over 11 characters";
    }
    return "unknown exFAT code";
}

namespace {

constexpr size_t kBootFieldsSize = 512;
constexpr uint8_t kJump[3] = {0xEB, 0x76, 0x90};
constexpr char kName[8] = {'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
constexpr unsigned kMaxClusterBytesShift = 25; // 32 MiB
constexpr unsigned kFirstFatSector = 24;       // after both boot regions

} // namespace

ExfatCode parse_exfat_boot(const uint8_t *s, size_t size, ExfatBoot *out) {
    if (size < kBootFieldsSize) return ExfatCode::short_buffer;
    if (std::memcmp(s, kJump, sizeof kJump) != 0) return ExfatCode::bad_jump;
    if (std::memcmp(s + 3, kName, sizeof kName) != 0) return ExfatCode::bad_name;
    for (size_t i = 11; i < 64; ++i)
        if (s[i] != 0) return ExfatCode::must_be_zero;
    if (load_le16(s + 510) != 0xAA55) return ExfatCode::bad_signature;

    ExfatBoot b{};
    b.partition_offset = load_le64(s + 64);
    b.volume_length = load_le64(s + 72);
    b.fat_offset = load_le32(s + 80);
    b.fat_length = load_le32(s + 84);
    b.heap_offset = load_le32(s + 88);
    b.cluster_count = load_le32(s + 92);
    b.root_cluster = load_le32(s + 96);
    b.serial = load_le32(s + 100);
    b.revision = load_le16(s + 104);
    b.volume_flags = load_le16(s + 106);
    b.sector_shift = s[108];
    b.cluster_shift = s[109];
    b.fat_count = s[110];
    b.drive_select = s[111];
    b.percent_in_use = s[112];

    if (b.sector_shift < 9 || b.sector_shift > 12) return ExfatCode::bad_sector_shift;
    if (b.sector_shift + b.cluster_shift > kMaxClusterBytesShift)
        return ExfatCode::bad_cluster_shift;
    if (b.fat_count < 1 || b.fat_count > 2 || (b.fat_count == 1 && b.active_fat() != 0))
        return ExfatCode::bad_fat_count;
    if (b.volume_length < (uint64_t{1} << 20 >> b.sector_shift)) return ExfatCode::volume_too_small;
    if (b.cluster_count == 0 || b.cluster_count > kExfatMaxClusterCount)
        return ExfatCode::bad_cluster_count;
    // 64-bit sums: every 32-bit field may be near its maximum.
    const uint64_t fats_end = uint64_t{b.fat_offset} + uint64_t{b.fat_length} * b.fat_count;
    if (b.fat_offset < kFirstFatSector || fats_end > b.heap_offset) return ExfatCode::fat_misplaced;
    if ((uint64_t{b.fat_length} << b.sector_shift) < (uint64_t{b.cluster_count} + 2) * 4)
        return ExfatCode::fat_too_short;
    const uint64_t heap_end =
        uint64_t{b.heap_offset} + (uint64_t{b.cluster_count} << b.cluster_shift);
    if (heap_end > b.volume_length) return ExfatCode::heap_past_volume;
    if (b.root_cluster < 2 || b.root_cluster - 2 >= b.cluster_count)
        return ExfatCode::bad_root_cluster;
    *out = b;
    return ExfatCode::ok;
}

void ExfatBootSum::add(const uint8_t *p, size_t n, bool first_sector) {
    for (size_t i = 0; i < n; ++i) {
        if (first_sector && (i == 106 || i == 107 || i == 112)) continue;
        sum = std::rotr(sum, 1) + p[i];
    }
}

uint32_t exfat_boot_checksum(const uint8_t *region, uint32_t sector_size) {
    ExfatBootSum s;
    s.add(region, sector_size, true);
    s.add(region + sector_size, size_t{sector_size} * 10, false);
    return s.sum;
}

ExfatCode check_exfat_boot_region(const uint8_t *region, size_t size, ExfatBoot *out) {
    ExfatBoot b{};
    const ExfatCode code = parse_exfat_boot(region, size, &b);
    if (code != ExfatCode::ok) return code;
    const size_t sector = b.sector_size();
    if (size < sector * kExfatBootSectors) return ExfatCode::short_buffer;
    const uint32_t sum = exfat_boot_checksum(region, b.sector_size());
    const uint8_t *check = region + sector * 11;
    for (size_t i = 0; i < sector; i += 4)
        if (load_le32(check + i) != sum) return ExfatCode::bad_checksum;
    *out = b;
    return ExfatCode::ok;
}

ExfatRegionChoice choose_exfat_boot_region(const uint8_t *main, size_t main_size,
                                           const uint8_t *backup, size_t backup_size) {
    ExfatRegionChoice c{};
    c.region = -1;
    c.main_code = check_exfat_boot_region(main, main_size, &c.boot);
    if (c.main_code == ExfatCode::ok) {
        c.region = 0;
        return c;
    }
    c.backup_code = check_exfat_boot_region(backup, backup_size, &c.boot);
    if (c.backup_code == ExfatCode::ok)
        c.region = 1;
    else
        c.boot = ExfatBoot{};
    return c;
}

} // namespace dorvex
