// The write-back FAT cache: FAT sectors read once, changed in memory, written to every FAT
// copy when flushed; and the dirty flag set before the first change of a session.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

// ---- The FAT cache ----------------------------------------------------------------------

namespace {

int flush_slot(W *w, unsigned k) {
    const readfat_volume *rv = w->rv;
    const uint64_t at = (w->fat_tag[k] - 1) * w->unit;
    // Every copy alike; the first one first, since a checker trusts it when they differ.
    for (uint32_t c = 0; c < rv->fat_count; ++c)
        if (int rc =
                write_sectors(w, fat_buf(w, k), rv->fat_start + c * rv->fat_sectors + at, w->unit))
            return rc;
    w->fat_dirty[k] = 0;
    return 0;
}

// The logical FAT sector `index` in the cache, or null (`*rc` set).
uint8_t *fat_sector_buf(W *w, uint64_t index, bool write, int *rc) {
    unsigned victim = 0;
    for (unsigned k = 0; k < w->fat_slots; ++k) {
        if (w->fat_tag[k] == index + 1) {
            w->fat_used[k] = ++w->clock;
            if (write) w->fat_dirty[k] = 1;
            return fat_buf(w, k);
        }
        if (w->fat_used[k] < w->fat_used[victim]) victim = k;
    }
    if (w->fat_tag[victim] != 0 && w->fat_dirty[victim]) {
        if ((*rc = flush_slot(w, victim)) != 0) return nullptr;
    }
    w->fat_tag[victim] = 0;
    if (index >= w->rv->fat_sectors / w->unit ||
        (*rc = read_unit(w, w->rv->fat_start + index * w->unit, fat_buf(w, victim))) != 0) {
        *rc = EIO;
        return nullptr;
    }
    w->fat_tag[victim] = index + 1;
    w->fat_used[victim] = ++w->clock;
    w->fat_dirty[victim] = write ? 1 : 0;
    return fat_buf(w, victim);
}

uint8_t *fat_byte(W *w, uint64_t offset, bool write, int *rc) {
    uint8_t *s = fat_sector_buf(w, offset / w->bps, write, rc);
    return s ? s + offset % w->bps : nullptr;
}

} // namespace

int fat_get(W *w, uint32_t cluster, uint32_t &value) {
    int rc = 0;
    switch (w->rv->fat_type) {
    case 12: {
        const uint64_t off = cluster + cluster / 2u;
        const uint8_t *a = fat_byte(w, off, false, &rc);
        if (!a) return rc;
        const uint32_t lo = *a;
        const uint8_t *b = fat_byte(w, off + 1, false, &rc);
        if (!b) return rc;
        const uint32_t v = lo | uint32_t{*b} << 8;
        value = (cluster & 1u) ? v >> 4 : v & 0xFFFu;
        return 0;
    }
    case 16: {
        const uint8_t *p = fat_byte(w, uint64_t{cluster} * 2u, false, &rc);
        if (!p) return rc;
        value = load_le16(p);
        return 0;
    }
    default: {
        const uint8_t *p = fat_byte(w, uint64_t{cluster} * 4u, false, &rc);
        if (!p) return rc;
        value = load_le32(p) & kFatMask;
        return 0;
    }
    }
}

int fat_set(W *w, uint32_t cluster, uint32_t value) {
    int rc = 0;
    switch (w->rv->fat_type) {
    case 12: {
        const uint64_t off = cluster + cluster / 2u;
        uint8_t *a = fat_byte(w, off, true, &rc);
        if (!a) return rc;
        if (cluster & 1u)
            *a = static_cast<uint8_t>((*a & 0x0Fu) | ((value << 4) & 0xF0u));
        else
            *a = static_cast<uint8_t>(value);
        uint8_t *b = fat_byte(w, off + 1, true, &rc);
        if (!b) return rc;
        if (cluster & 1u)
            *b = static_cast<uint8_t>(value >> 4);
        else
            *b = static_cast<uint8_t>((*b & 0xF0u) | ((value >> 8) & 0x0Fu));
        return 0;
    }
    case 16: {
        uint8_t *p = fat_byte(w, uint64_t{cluster} * 2u, true, &rc);
        if (!p) return rc;
        store_le16(p, static_cast<uint16_t>(value));
        return 0;
    }
    default: {
        uint8_t *p = fat_byte(w, uint64_t{cluster} * 4u, true, &rc);
        if (!p) return rc;
        // The top four bits are reserved: they keep what they held.
        store_le32(p, (load_le32(p) & ~kFatMask) | (value & kFatMask));
        return 0;
    }
    }
}

int fat_flush(W *w) {
    // In FAT order, so that a chain's entries reach the medium as they run.
    for (;;) {
        const uint32_t none = w->fat_slots;
        uint32_t best = none;
        for (uint32_t k = 0; k < w->fat_slots; ++k)
            if (w->fat_dirty[k] && (best == none || w->fat_tag[k] < w->fat_tag[best])) best = k;
        if (best == none) break;
        if (int rc = flush_slot(w, best)) return rc;
    }
    // The reader's FAT cache may hold what changed.
    std::memset(w->rv->fat_tag, 0, sizeof w->rv->fat_tag);
    return 0;
}

int mark_dirty(W *w) {
    if (w->broken) return w->broken;
    if (w->dirty_marked) return 0;
    const uint32_t type = w->rv->fat_type;
    if (type != 12) {
        const uint32_t bit = type == 16 ? 0x8000u : 0x08000000u;
        uint32_t v = 0;
        if (int rc = fat_get(w, 1, v)) return rc;
        w->was_clean = (v & bit) != 0;
        if (w->was_clean) {
            if (int rc = fat_set(w, 1, v & ~bit)) return rc;
            if (int rc = fat_flush(w)) return rc;
        }
    }
    w->dirty_marked = true;
    return 0;
}

} // namespace dorvex
