// Sector writes and what a group keeps back: the directory sectors it changed, the file
// data it gathers into large requests, and the order in which it all reaches the medium.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

// ---- Sectors ----------------------------------------------------------------------------

int read_unit(W *w, uint64_t sector, uint8_t *buf) {
    return read_run(w->rv, sector, w->unit, buf, w->vol_start, w->rv->end_sector) == ReadResult::ok
               ? 0
               : EIO;
}

namespace {

// A cached directory unit that `count` sectors at `sector` touch takes their new bytes (or,
// when they did not reach the medium, is dropped).
void dc_note(W *w, const void *buf, uint64_t sector, uint32_t count, bool ok) {
    for (uint32_t k = 0; k < w->dc_slots; ++k) {
        const uint64_t at = w->dc_tag[k];
        if (at == 0) continue;
        const uint64_t end = at + w->dc_span;
        if (sector >= end || at >= sector + count) continue;
        if (!ok) {
            w->dc_tag[k] = 0;
            continue;
        }
        const uint64_t lo = sector > at ? sector : at;
        const uint64_t hi = sector + count < end ? sector + count : end;
        std::memcpy(dc_buf(w, k) + (lo - at) * 512u,
                    static_cast<const uint8_t *>(buf) + (lo - sector) * 512u,
                    static_cast<size_t>(hi - lo) * 512u);
    }
}

// The group's copy of a directory sector, or null.
uint8_t *pending(W *w, uint64_t sector) {
    for (uint32_t k = 0; k < w->pend_count; ++k)
        if (w->pend_tag[k] == sector) return w->pend_buf + size_t{k} * w->bps;
    return nullptr;
}

} // namespace

int write_sectors(W *w, const void *buf, uint64_t sector, uint32_t count) {
    if (w->broken) return w->broken;
    if (sector < w->vol_start || sector >= w->rv->end_sector || count > w->rv->end_sector - sector)
        return EIO;
    const int32_t got = w->writer(w->io_data, buf, sector, count);
    dc_note(w, buf, sector, count, got == static_cast<int32_t>(count));
    if (got == static_cast<int32_t>(count)) return 0;
    // What reached the medium is unknown now: no later change may rest on this one.
    w->broken = got < 0 && got > -4096 ? -got : EIO;
    return w->broken;
}

void dc_drop(W *w) {
    for (uint32_t k = 0; k < w->dc_slots; ++k) w->dc_tag[k] = 0;
}

int dir_store(W *w, uint64_t sector, const uint8_t *buf) {
    if (!w->group) return write_sectors(w, buf, sector, w->unit);
    if (w->pend_slots == 0) {
        // A group without room for sectors keeps its order all the same: the data it
        // gathered and the FAT reach the medium before the directory sector that names them.
        if (int rc = stage_flush(w)) return rc;
        if (int rc = fat_flush(w)) return rc;
        return write_sectors(w, buf, sector, w->unit);
    }
    if (w->broken) return w->broken;
    uint8_t *slot = pending(w, sector);
    if (!slot) {
        if (w->pend_count == w->pend_slots)
            if (int rc = group_flush(w)) return rc;
        w->pend_tag[w->pend_count] = sector;
        slot = w->pend_buf + size_t{w->pend_count++} * w->bps;
    }
    if (slot != buf) std::memcpy(slot, buf, w->bps);
    dc_note(w, buf, sector, w->unit, true);
    return 0;
}

int data_store(W *w, uint32_t cluster, const uint8_t *buf, uint32_t n) {
    const uint32_t cb = w->rv->cluster_bytes, spc = w->rv->sectors_per_cluster;
    if (!w->group || n > w->stage_capacity) {
        if (reinterpret_cast<uintptr_t>(buf) % 512u == 0)
            return write_sectors(w, buf, cluster_first_sector(w, cluster), n * spc);
        // The writer is given 512-byte aligned buffers only: the caller's data goes through
        // the stage buffer, which is empty outside a group (and emptied inside one).
        if (int rc = stage_flush(w)) return rc;
        if (w->stage_capacity == 0) {
            // No stage buffer: a logical sector at a time through the scratch sector.
            const uint64_t first = cluster_first_sector(w, cluster);
            for (uint64_t i = 0, units = uint64_t{n} * cb / w->bps; i < units; ++i) {
                std::memcpy(w->dir_buf, buf + i * w->bps, w->bps);
                if (int rc = write_sectors(w, w->dir_buf, first + i * w->unit, w->unit)) return rc;
            }
            return 0;
        }
        while (n > 0) {
            const uint32_t k = n < w->stage_capacity ? n : w->stage_capacity;
            std::memcpy(w->stage_buf, buf, size_t{k} * cb);
            if (int rc = write_sectors(w, w->stage_buf, cluster_first_sector(w, cluster), k * spc))
                return rc;
            buf += size_t{k} * cb;
            cluster += k;
            n -= k;
        }
        return 0;
    }
    if (w->stage_count != 0 &&
        (cluster != w->stage_first + w->stage_count || w->stage_count + n > w->stage_capacity))
        if (int rc = stage_flush(w)) return rc;
    if (w->stage_count == 0) w->stage_first = cluster;
    std::memcpy(w->stage_buf + size_t{w->stage_count} * cb, buf, size_t{n} * cb);
    w->stage_count += n;
    return 0;
}

int stage_flush(W *w) {
    if (w->stage_count == 0) return 0;
    const uint32_t spc = w->rv->sectors_per_cluster;
    const uint32_t per = kMaxWrite / spc != 0 ? kMaxWrite / spc : 1; // clusters per request
    for (uint32_t done = 0; done < w->stage_count;) {
        const uint32_t n = w->stage_count - done < per ? w->stage_count - done : per;
        if (int rc = write_sectors(w, w->stage_buf + size_t{done} * w->rv->cluster_bytes,
                                   cluster_first_sector(w, w->stage_first + done), n * spc))
            return rc;
        done += n;
    }
    w->stage_count = 0;
    return 0;
}

int group_flush(W *w) {
    // File data before the FAT links to it.
    if (int rc = stage_flush(w)) return rc;
    if (w->pend_count == 0) return 0;
    // Every chain the kept entries publish is linked before any of them is written.
    if (int rc = fat_flush(w)) return rc;
    while (w->pend_count > 0) {
        uint32_t lo = 0;
        for (uint32_t k = 1; k < w->pend_count; ++k)
            if (w->pend_tag[k] < w->pend_tag[lo]) lo = k;
        uint8_t *at = w->pend_buf + size_t{lo} * w->bps;
        if (int rc = write_sectors(w, at, w->pend_tag[lo], w->unit)) return rc;
        // The last slot moves into the written one.
        const uint32_t last = --w->pend_count;
        if (lo != last) {
            w->pend_tag[lo] = w->pend_tag[last];
            std::memcpy(at, w->pend_buf + size_t{last} * w->bps, w->bps);
        }
    }
    return 0;
}

uint64_t cluster_first_sector(const W *w, uint32_t cluster) {
    return cluster_sector(w->rv, cluster);
}

int read_dir_unit(W *w, uint64_t sector, uint8_t *buf) {
    if (const uint8_t *kept = pending(w, sector)) {
        if (kept != buf) std::memcpy(buf, kept, w->bps);
        return 0;
    }
    // A cached directory unit holds what was written last (write_sectors keeps it).
    for (uint32_t k = 0; k < w->dc_slots; ++k) {
        const uint64_t at = w->dc_tag[k];
        if (at == 0 || sector < at || sector >= at + w->dc_span) continue;
        std::memcpy(buf, dc_buf(w, k) + (sector - at) * 512u, w->bps);
        return 0;
    }
    return read_unit(w, sector, buf);
}

} // namespace dorvex
