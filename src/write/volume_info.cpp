// The boot sector's label copy and FSInfo's free count and hint.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

bool label_char(uint8_t c) {
    return c >= 0x20 && c < 0x7F && std::strchr(".\"*+,/:;<=>?[\\]|", c) == nullptr;
}

int patch_boot_label(W *w, uint64_t sector, const uint8_t *label) {
    if (int rc = read_unit(w, sector, w->dir_buf)) return rc;
    const bool f32 = w->rv->fat_type == 32;
    if (load_le16(w->dir_buf + DV_BPB_SIGNATURE) != 0xAA55u) return 0;
    if (w->dir_buf[f32 ? DV_BPB_BOOT_SIGNATURE : DV_BPB16_BOOT_SIGNATURE] != DV_BPB_EXT_BOOT_SIG)
        return 0;
    std::memcpy(w->dir_buf + (f32 ? DV_BPB_VOLUME_LABEL : DV_BPB16_VOLUME_LABEL), label, 11);
    return write_sectors(w, w->dir_buf, sector, w->unit);
}

int count_free(W *w) {
    // In runs as large as the group's data buffer (free at open); without one, through the
    // reader's FAT cache, eight logical sectors in a row (what readfat_free_clusters does).
    readfat_volume *rv = w->rv;
    uint32_t run = w->stage_capacity * rv->cluster_bytes / w->bps;
    uint8_t *buf = w->stage_buf;
    if (run == 0) {
        run = 8;
        const uint32_t cluster_units = rv->sectors_per_cluster >> rv->sector_shift;
        if ((rv->flags & READFAT_FLAG_BATCH) == 0 && cluster_units < run) run = cluster_units;
        std::memset(rv->fat_tag, 0, sizeof rv->fat_tag);
        buf = rv->fat_buf[0];
    }
    if (int rc = count_free_clusters(rv, buf, run, w->free_count)) return rc;
    w->free_known = true;
    return 0;
}

int write_fsinfo(W *w) {
    if (w->fsinfo == 0 || !w->free_known) return 0;
    if (int rc = read_unit(w, w->fsinfo, w->dir_buf)) return rc;
    uint8_t *s = w->dir_buf;
    if (load_le32(s + DV_FSINFO_LEAD_SIG) != DV_FSINFO_LEAD_VALUE ||
        load_le32(s + DV_FSINFO_STRUCT_SIG) != DV_FSINFO_STRUCT_VALUE)
        return 0;
    store_le32(s + DV_FSINFO_FREE_COUNT, w->free_count);
    store_le32(s + DV_FSINFO_NEXT_FREE, w->hint);
    return write_sectors(w, s, w->fsinfo, w->unit);
}

} // namespace dorvex
