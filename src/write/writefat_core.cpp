// The write path's machinery: sector writes, the write-back FAT cache, allocation, names
// and 8.3 aliases, directory scans and the placement of entry runs.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "charset/casefold.h"
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

// A cached directory cluster that `count` sectors at `sector` touch takes their new bytes
// (or, when they did not reach the medium, is dropped).
void dc_note(W *w, const void *buf, uint64_t sector, uint32_t count, bool ok) {
    for (unsigned k = 0; k < kDirSlots; ++k) {
        if (w->dc_tag[k] == 0) continue;
        const uint64_t at = cluster_sector(w->rv, w->dc_tag[k]);
        const uint64_t end = at + w->rv->sectors_per_cluster;
        if (sector >= end || at >= sector + count) continue;
        if (!ok) {
            w->dc_tag[k] = 0;
            continue;
        }
        const uint64_t lo = sector > at ? sector : at;
        const uint64_t hi = sector + count < end ? sector + count : end;
        std::memcpy(w->dc_buf[k] + (lo - at) * 512u,
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

int dir_store(W *w, uint64_t sector, const uint8_t *buf) {
    if (!w->group) return write_sectors(w, buf, sector, w->unit);
    if (w->broken) return w->broken;
    uint8_t *slot = pending(w, sector);
    if (!slot) {
        if (w->pend_count == kPendSlots)
            if (int rc = group_flush(w)) return rc;
        w->pend_tag[w->pend_count] = sector;
        slot = w->pend_buf + size_t{w->pend_count++} * w->bps;
    }
    if (slot != buf) std::memcpy(slot, buf, w->bps);
    dc_note(w, buf, sector, w->unit, true);
    return 0;
}

int data_store(W *w, uint32_t cluster, const uint8_t *buf, uint32_t n) {
    const uint32_t cb = w->rv->cluster_bytes;
    if (!w->group || n > w->stage_capacity)
        return write_sectors(w, buf, cluster_first_sector(w, cluster),
                             n * w->rv->sectors_per_cluster);
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

// ---- The FAT cache ----------------------------------------------------------------------

namespace {

int flush_slot(W *w, unsigned k) {
    const readfat_volume *rv = w->rv;
    const uint64_t at = (w->fat_tag[k] - 1) * w->unit;
    // Every copy alike; the first one first, since a checker trusts it when they differ.
    for (uint32_t c = 0; c < rv->fat_count; ++c)
        if (int rc =
                write_sectors(w, w->fat_buf[k], rv->fat_start + c * rv->fat_sectors + at, w->unit))
            return rc;
    w->fat_dirty[k] = 0;
    return 0;
}

// The logical FAT sector `index` in the cache, or null (`*rc` set).
uint8_t *fat_sector_buf(W *w, uint64_t index, bool write, int *rc) {
    unsigned victim = 0;
    for (unsigned k = 0; k < kFatSlots; ++k) {
        if (w->fat_tag[k] == index + 1) {
            w->fat_used[k] = ++w->clock;
            if (write) w->fat_dirty[k] = 1;
            return w->fat_buf[k];
        }
        if (w->fat_used[k] < w->fat_used[victim]) victim = k;
    }
    if (w->fat_tag[victim] != 0 && w->fat_dirty[victim]) {
        if ((*rc = flush_slot(w, victim)) != 0) return nullptr;
    }
    w->fat_tag[victim] = 0;
    if (index >= w->rv->fat_sectors / w->unit ||
        (*rc = read_unit(w, w->rv->fat_start + index * w->unit, w->fat_buf[victim])) != 0) {
        *rc = EIO;
        return nullptr;
    }
    w->fat_tag[victim] = index + 1;
    w->fat_used[victim] = ++w->clock;
    w->fat_dirty[victim] = write ? 1 : 0;
    return w->fat_buf[victim];
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
        unsigned best = kFatSlots;
        for (unsigned k = 0; k < kFatSlots; ++k)
            if (w->fat_dirty[k] && (best == kFatSlots || w->fat_tag[k] < w->fat_tag[best]))
                best = k;
        if (best == kFatSlots) break;
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

int alloc_cluster(W *w, uint32_t prev, uint32_t &out) {
    const uint32_t span = w->max_cluster - 1; // clusters 2 .. max_cluster
    uint32_t start = prev != 0 && prev < w->max_cluster ? prev + 1 : w->hint;
    if (start < 2 || start > w->max_cluster) start = 2;
    for (uint32_t i = 0; i < span; ++i) {
        const uint32_t c = 2 + (start - 2 + i) % span;
        uint32_t v = 0;
        if (int rc = fat_get(w, c, v)) return rc;
        if (v != 0) continue;
        if (int rc = fat_set(w, c, w->eoc)) return rc;
        if (prev != 0)
            if (int rc = fat_set(w, prev, c)) return rc;
        w->hint = c + 1 > w->max_cluster ? 2 : c + 1;
        if (w->free_known && w->free_count > 0) --w->free_count;
        out = c;
        return 0;
    }
    return ENOSPC;
}

int free_chain(W *w, uint32_t first) {
    forget_chain(w->rv, first);
    uint32_t c = first;
    for (uint32_t n = 0; is_link(w, c) && n < w->max_cluster; ++n) {
        uint32_t next = 0;
        if (int rc = fat_get(w, c, next)) return rc;
        if (next == 0) break; // already free: a damaged chain ends here
        if (c == w->ix_dir) index_drop(w);
        if (int rc = fat_set(w, c, 0)) return rc;
        if (w->free_known) ++w->free_count;
        c = next;
    }
    return 0;
}

// ---- Names ------------------------------------------------------------------------------

namespace {

bool bad_long_unit(uint16_t u) {
    return u < 0x20 || u == '"' || u == '*' || u == '/' || u == ':' || u == '<' || u == '>' ||
           u == '?' || u == '\\' || u == '|';
}

// A character an 8.3 name holds as it is (upper-case letters, digits, the allowed marks).
bool short_char(uint16_t u) {
    if ((u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')) return true;
    return u < 0x80 && u != 0 && std::strchr("!#$%&'()-@^_`{}~", static_cast<int>(u)) != nullptr;
}

} // namespace

int plan_name(const dv_name &name, NamePlan &p) {
    const int n = name.len;
    if (n == 0 || n > DV_NAME_MAX) return EINVAL;
    if ((n == 1 && name.units[0] == '.') ||
        (n == 2 && name.units[0] == '.' && name.units[1] == '.'))
        return EINVAL;
    if (name.units[n - 1] == '.' || name.units[n - 1] == ' ') return EINVAL;
    for (int i = 0; i < n; ++i)
        if (bad_long_unit(name.units[i])) return EINVAL;
    std::memset(&p, 0, sizeof p);
    std::memset(p.shortname, ' ', 11);

    // A plain 8.3 name, each part in one case: no long name needed.
    int dot = -1, dots = 0;
    for (int i = 0; i < n; ++i)
        if (name.units[i] == '.') {
            dot = i;
            ++dots;
        }
    const int base_n = dot < 0 ? n : dot, ext_n = dot < 0 ? 0 : n - dot - 1;
    bool fits = dots <= 1 && base_n >= 1 && base_n <= 8 && ext_n <= 3;
    bool up[2] = {false, false}, low[2] = {false, false};
    for (int i = 0; fits && i < n; ++i) {
        if (i == dot) continue;
        uint16_t u = name.units[i];
        const int part = dot >= 0 && i > dot;
        if (u >= 'a' && u <= 'z') {
            low[part] = true;
            u = static_cast<uint16_t>(u - 32);
        } else if (u >= 'A' && u <= 'Z') {
            up[part] = true;
        }
        if (!short_char(u)) fits = false;
    }
    if (fits) {
        for (int i = 0, k = 0; i < n; ++i) {
            if (i == dot) {
                k = 8;
                continue;
            }
            const uint16_t u = name.units[i];
            p.shortname[k++] = static_cast<uint8_t>(u >= 'a' && u <= 'z' ? u - 32 : u);
        }
        if (!(up[0] && low[0]) && !(up[1] && low[1])) {
            p.lcase =
                static_cast<uint8_t>((low[0] ? DV_LCASE_BASE : 0) | (low[1] ? DV_LCASE_EXT : 0));
            return 0;
        }
    }

    // A long name; its alias is made from the upper-cased name without spaces and leading
    // dots, other characters as '_', the base before the last dot and its extension after.
    p.need_lfn = true;
    p.lossy = !fits;
    int start = 0;
    while (start < n && name.units[start] == '.') ++start;
    int last_dot = -1;
    for (int i = start; i < n; ++i)
        if (name.units[i] == '.') last_dot = i;
    auto put = [&](uint16_t u, uint8_t *out, int &len, int room) {
        if (u == ' ' || u == '.') {
            p.lossy = true;
            return;
        }
        if (u >= 'a' && u <= 'z') u = static_cast<uint16_t>(u - 32);
        if (!short_char(u)) {
            u = '_';
            p.lossy = true;
        }
        if (len == room) {
            p.lossy = true;
            return;
        }
        out[len++] = static_cast<uint8_t>(u);
    };
    const int base_end = last_dot < 0 ? n : last_dot;
    for (int i = start; i < base_end; ++i) put(name.units[i], p.base, p.base_len, 8);
    for (int i = base_end + 1; last_dot >= 0 && i < n; ++i) put(name.units[i], p.ext, p.ext_len, 3);
    if (p.base_len == 0) {
        p.base[0] = '_';
        p.base_len = 1;
        p.lossy = true;
    }
    std::memcpy(p.shortname, p.base, static_cast<size_t>(p.base_len));
    std::memcpy(p.shortname + 8, p.ext, static_cast<size_t>(p.ext_len));
    return 0;
}

namespace {

int digits(uint32_t v) {
    int d = 1;
    while (v >= 10) {
        v /= 10;
        ++d;
    }
    return d;
}

// The base an alias with tail `t` keeps of `plan`'s base.
int tail_prefix(const NamePlan &plan, uint32_t t) {
    const int room = 8 - 1 - digits(t);
    return plan.base_len < room ? plan.base_len : room;
}

// Marks the tail of an existing 8.3 name when it is one this plan could make.
void note_tail(W *w, const NamePlan &plan, const uint8_t *sn) {
    if (std::memcmp(sn + 8, "   ", 3) != 0 || plan.ext_len != 0) {
        uint8_t ext[3] = {' ', ' ', ' '};
        std::memcpy(ext, plan.ext, static_cast<size_t>(plan.ext_len));
        if (std::memcmp(sn + 8, ext, 3) != 0) return;
    }
    int len = 8;
    while (len > 0 && sn[len - 1] == ' ') --len;
    int tilde = len - 1;
    uint32_t t = 0, scale = 1;
    while (tilde >= 0 && sn[tilde] >= '0' && sn[tilde] <= '9') {
        t += (sn[tilde] - '0') * scale;
        scale *= 10;
        --tilde;
    }
    if (tilde < 0 || sn[tilde] != '~' || tilde == len - 1 || t == 0 || t >= kTailCount) return;
    if (tilde != tail_prefix(plan, t) ||
        std::memcmp(sn, plan.base, static_cast<size_t>(tilde)) != 0)
        return;
    w->tails[t / 32] |= 1u << (t % 32);
}

} // namespace

bool is_dot_entry(const uint8_t *e) {
    return std::memcmp(e, ".          ", 11) == 0 || std::memcmp(e, "..         ", 11) == 0;
}

bool gather_lfn(uint8_t *run, uint32_t &run_len, const uint8_t *e) {
    if ((e[DV_DIRENT_ATTR] & 0x3Fu) != DV_ATTR_LFN) return false;
    if (e[0] & DV_LFN_LAST) run_len = 0;
    if (run_len < kMaxRunEntries - 1)
        std::memcpy(run + run_len++ * DV_DIRENT_SIZE, e, DV_DIRENT_SIZE);
    else
        run_len = 0; // longer than any name: damaged
    return true;
}

// Whether `k` long-name entries before the short entry `sn` form its whole run.
bool run_belongs(const uint8_t *run, uint32_t k, const uint8_t *sn) {
    if (k == 0) return false;
    const uint8_t sum = shortname_checksum(sn);
    if ((run[0] & DV_LFN_LAST) == 0 || (run[0] & 0x1Fu) != k) return false;
    for (uint32_t i = 0; i < k; ++i) {
        const uint8_t *e = run + i * DV_DIRENT_SIZE;
        if ((e[0] & 0x1Fu) != k - i || e[DV_LFN_CHECKSUM] != sum) return false;
    }
    return true;
}

namespace {

// Whether the long-name entry of ordinal 1 `e` may start the folded name `want`: false only
// when a unit stored there surely folds to another one.
bool lfn_head_may_match(const uint8_t *e, const dv_name &want) {
    static const uint8_t kAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const int n = want.len < 13 ? want.len : 13;
    for (int i = 0; i < n; ++i) {
        const uint16_t u = load_le16(e + kAt[i]);
        if (u >= 0xD800 && u <= 0xDFFF) return true; // left to the decoder
        if (fold_unit(u) != want.units[i]) return false;
    }
    return true;
}

// A directory cluster through the cache, or null when it cannot be read.
const uint8_t *dir_cluster(W *w, uint32_t cluster) {
    unsigned victim = 0;
    for (unsigned k = 0; k < kDirSlots; ++k) {
        if (w->dc_tag[k] == cluster) {
            w->dc_used[k] = ++w->clock;
            return w->dc_buf[k];
        }
        if (w->dc_used[k] < w->dc_used[victim]) victim = k;
    }
    w->dc_tag[victim] = 0;
    if (read_cluster(w->rv, cluster, w->dc_buf[victim]) != ReadResult::ok) return nullptr;
    // The group's sectors are newer than the medium.
    const uint64_t at = cluster_sector(w->rv, cluster);
    for (uint32_t k = 0; k < w->pend_count; ++k)
        if (w->pend_tag[k] >= at && w->pend_tag[k] < at + w->rv->sectors_per_cluster)
            std::memcpy(w->dc_buf[victim] + (w->pend_tag[k] - at) * 512u,
                        w->pend_buf + size_t{k} * w->bps, w->bps);
    w->dc_tag[victim] = cluster;
    w->dc_used[victim] = ++w->clock;
    return w->dc_buf[victim];
}

// One unit of a directory's walk: the fixed root region or a chain of clusters.
struct DirWalk {
    uint32_t dir, cluster, pos;
    uint64_t sector;
};

int walk_begin(W *w, uint32_t dir, DirWalk &d) {
    d.dir = dir;
    d.cluster = dir;
    d.pos = 0;
    if (dir == kRootRegion) {
        d.sector = w->rv->root_start;
        return 0;
    }
    if (!is_link(w, dir)) return EIO;
    d.sector = cluster_first_sector(w, dir);
    return 0;
}

// Moves to the next unit; `end` at the end of the directory.
int walk_next(W *w, DirWalk &d, bool &end) {
    end = false;
    ++d.pos;
    if (d.dir == kRootRegion) {
        end = d.pos >= w->rv->root_sectors / w->unit;
        d.sector += w->unit;
        return 0;
    }
    if (d.pos < w->rv->sectors_per_cluster / w->unit) {
        d.sector += w->unit;
        return 0;
    }
    uint32_t next = 0;
    if (int rc = fat_get(w, d.cluster, next)) return rc;
    if (!is_link(w, next)) {
        end = true;
        return 0;
    }
    d.cluster = next;
    d.pos = 0;
    d.sector = cluster_first_sector(w, next);
    return 0;
}

} // namespace

int scan_dir(W *w, uint32_t dir, Scan &s) {
    if (s.plan) std::memset(w->tails, 0, kTailCount / 8);
    if (s.build_index) {
        index_drop(w);
        std::memset(w->ix_table, 0, kIndexSlots * sizeof(uint32_t));
    }
    DirWalk d;
    if (int rc = walk_begin(w, dir, d)) return rc;
    uint8_t run[kMaxRunEntries * DV_DIRENT_SIZE];
    uint32_t run_len = 0, free_len = 0, ordinal = 0;
    const uint32_t units_max = kMaxDirEntries / w->epu;
    for (uint32_t u = 0; u < units_max; ++u) {
        if (d.dir != kRootRegion) s.last_cluster = d.cluster;
        // A cluster directory is read a whole cluster at a time.
        const uint8_t *unit = w->dir_buf;
        if (!s.has_end && d.dir != kRootRegion) {
            const uint8_t *c = dir_cluster(w, d.cluster);
            if (!c) return EIO;
            unit = c + size_t{d.pos} * w->bps;
        } else if (!s.has_end) {
            if (int rc = read_dir_unit(w, d.sector, w->dir_buf)) return rc;
        }
        if (s.need <= w->epu) free_len = 0; // a run stays inside one sector
        for (uint32_t i = 0; i < w->epu; ++i, ++ordinal) {
            const uint8_t *e = unit + i * DV_DIRENT_SIZE;
            if (!s.has_end && e[0] == 0) {
                s.has_end = true;
                s.end_at = ordinal;
            }
            if (s.has_end || e[0] == 0xE5) {
                run_len = 0;
                if (++free_len >= s.need && s.need != 0 && !s.free_found) {
                    s.free_found = true;
                    s.free_at = ordinal + 1 - s.need;
                }
                continue;
            }
            free_len = 0;
            if (gather_lfn(run, run_len, e)) continue;
            const uint32_t k = run_belongs(run, run_len, e) ? run_len : 0;
            run_len = 0;
            if (e[DV_DIRENT_ATTR] & DV_ATTR_VOLUME) {
                if (dir == root_start_cluster(w->rv) && !s.label_found) {
                    s.label_found = true;
                    s.label_at = ordinal;
                }
                continue;
            }
            if (is_dot_entry(e)) continue;
            s.nonempty = true;
            if (s.plan) {
                note_tail(w, *s.plan, e);
                if (std::memcmp(e, s.plan->shortname, 11) == 0) s.alias_taken = true;
            }
            const uint32_t first = ordinal - k;
            if (s.build_index) index_add(w, index_hash('S', e, 11));
            const bool match = s.want && !s.found && !(s.skip_count && first == s.skip_first);
            if (!match && !s.build_index) continue;
            // Most names differ from the one sought within their first 13 units: skip their
            // decoding. (Longer than 12 units it cannot be an 8.3 name.)
            if (!s.build_index && k > 0 && s.want->len > 12 &&
                !lfn_head_may_match(run + (k - 1) * DV_DIRENT_SIZE, *s.want))
                continue;
            std::memcpy(run + k * DV_DIRENT_SIZE, e, DV_DIRENT_SIZE);
            // A match found already keeps its record: later names go to a scratch one.
            dv_entry scratch;
            dv_entry *const into = s.found ? &scratch : &s.rec;
            const uint8_t *p = run;
            int count = static_cast<int>(k + 1), room = 1;
            dv_entry *rec = into;
            if (dv_readentry(w->ctx, &p, &count, &rec, &room) != 0 || room != 0) {
                // The run did not decode: the short entry alone.
                p = e;
                count = room = 1;
                rec = into;
                if (dv_readentry(w->ctx, &p, &count, &rec, &room) != 0 || room != 0) continue;
            }
            if (s.build_index) {
                dv_name folded;
                fold_name(into->name, folded);
                index_add(w, index_hash('N', folded.units, folded.len));
            }
            if (match && (folds_equal(s.rec.name, *s.want) || alias_folds_equal(s.rec, *s.want))) {
                s.found = true;
                s.run_first = first;
                s.run_count = k + 1;
                // A lookup alone needs nothing after its match.
                if (!s.plan && s.need == 0) return 0;
            }
        }
        bool end = false;
        if (int rc = walk_next(w, d, end)) return rc;
        if (end) {
            s.capacity = ordinal;
            return 0;
        }
    }
    s.capacity = ordinal;
    return 0;
}

int locate(W *w, uint32_t dir, uint32_t ordinal, uint64_t &sector) {
    // New names of an indexed directory go to its last cluster: no walk along its chain.
    const uint32_t epc = w->rv->dir_entries_per_cluster;
    if (dir == w->ix_dir && dir != kRootRegion && ordinal < w->ix_capacity &&
        ordinal >= w->ix_capacity - epc) {
        sector = cluster_first_sector(w, w->ix_last_cluster) +
                 uint64_t{(ordinal - (w->ix_capacity - epc)) / w->epu} * w->unit;
        return 0;
    }
    DirWalk d;
    if (int rc = walk_begin(w, dir, d)) return rc;
    for (uint32_t u = ordinal / w->epu; u > 0; --u) {
        bool end = false;
        if (int rc = walk_next(w, d, end)) return rc;
        if (end) return EIO;
    }
    sector = d.sector;
    return 0;
}

int read_dir_unit(W *w, uint64_t sector, uint8_t *buf) {
    if (const uint8_t *kept = pending(w, sector)) {
        if (kept != buf) std::memcpy(buf, kept, w->bps);
        return 0;
    }
    // A cached directory cluster holds what was written last (write_sectors keeps it).
    for (unsigned k = 0; k < kDirSlots; ++k) {
        if (w->dc_tag[k] == 0) continue;
        const uint64_t at = cluster_sector(w->rv, w->dc_tag[k]);
        if (sector < at || sector >= at + w->rv->sectors_per_cluster) continue;
        std::memcpy(buf, w->dc_buf[k] + (sector - at) * 512u, w->bps);
        return 0;
    }
    return read_unit(w, sector, buf);
}

namespace {

// Read-modify-write of the sectors holding ordinals [at, at + n): entries from `src` (or,
// with null `src`, marked deleted).
int patch_entries(W *w, uint32_t dir, uint32_t at, const uint8_t *src, uint32_t n) {
    if (dir == w->ix_dir && !w->ix_writing) index_drop(w);
    while (n > 0) {
        uint64_t sector = 0;
        if (int rc = locate(w, dir, at, sector)) return rc;
        if (int rc = read_dir_unit(w, sector, w->dir_buf)) return rc;
        const uint32_t i = at % w->epu;
        const uint32_t k = w->epu - i < n ? w->epu - i : n;
        for (uint32_t j = 0; j < k; ++j) {
            uint8_t *e = w->dir_buf + (i + j) * DV_DIRENT_SIZE;
            if (src) {
                std::memcpy(e, src, DV_DIRENT_SIZE);
                src += DV_DIRENT_SIZE;
            } else {
                e[0] = 0xE5;
            }
        }
        if (int rc = dir_store(w, sector, w->dir_buf)) return rc;
        at += k;
        n -= k;
    }
    return 0;
}

} // namespace

int write_entries(W *w, uint32_t dir, uint32_t at, const uint8_t *entries, uint32_t n) {
    return patch_entries(w, dir, at, entries, n);
}

int delete_entries(W *w, uint32_t dir, uint32_t first, uint32_t n) {
    return patch_entries(w, dir, first, nullptr, n);
}

void alias_with_tail(const NamePlan &plan, uint32_t t, uint8_t out[11]) {
    std::memcpy(out, plan.shortname, 11);
    std::memset(out, ' ', 8);
    const int keep = tail_prefix(plan, t);
    std::memcpy(out, plan.base, static_cast<size_t>(keep));
    out[keep] = '~';
    uint32_t v = t;
    for (int pos = keep + digits(t); pos > keep; --pos, v /= 10)
        out[pos] = static_cast<uint8_t>('0' + v % 10);
}

int choose_alias(W *w, const NamePlan &plan, const Scan &s, uint8_t out[11]) {
    std::memcpy(out, plan.shortname, 11);
    if (!plan.need_lfn || (!plan.lossy && !s.alias_taken)) return 0;
    for (uint32_t t = 1; t < kTailCount; ++t) {
        if (w->tails[t / 32] & (1u << (t % 32))) continue;
        alias_with_tail(plan, t, out);
        return 0;
    }
    return ENOSPC;
}

int write_dir_cluster(W *w, uint32_t cluster, const uint8_t *first_unit) {
    const uint64_t at = cluster_first_sector(w, cluster);
    if (int rc = write_sectors(w, first_unit, at, w->unit)) return rc;
    static const uint8_t kZero[4096] = {};
    for (uint32_t s = w->unit; s < w->rv->sectors_per_cluster; s += w->unit)
        if (int rc = write_sectors(w, kZero, at + s, w->unit)) return rc;
    return 0;
}

int grow_dir(W *w, uint32_t last, uint32_t &added) {
    uint32_t c = 0;
    if (int rc = alloc_cluster(w, 0, c)) return rc;
    std::memset(w->dir_buf, 0, w->bps);
    int rc = write_dir_cluster(w, c, w->dir_buf);
    // The new cluster is whole and ends its chain before the directory links to it.
    if (rc == 0) rc = fat_flush(w);
    if (rc != 0) {
        free_chain(w, c);
        return rc;
    }
    if ((rc = fat_set(w, last, c)) != 0) return rc;
    if ((rc = fat_flush(w)) != 0) return rc;
    added = c;
    return 0;
}

uint32_t run_entries(const dv_entry &rec) {
    return (rec.name.len + 12u) / 13u + 1u; // the codec's NT form
}

int place_record(W *w, uint32_t dir, const dv_entry &rec, const Scan *first, uint32_t *placed) {
    uint8_t raw[(kMaxRunEntries + 1) * DV_DIRENT_SIZE];
    std::memset(raw, 0, sizeof raw);
    const uint32_t k = run_entries(rec);
    for (int attempt = 0; attempt < 2; ++attempt) {
        Scan s;
        if (attempt == 0 && first != nullptr) {
            s = *first;
        } else {
            s.need = k;
            if (int rc = scan_dir(w, dir, s)) return rc;
        }
        if (!s.free_found) {
            if (attempt == 1 || dir == kRootRegion) return ENOSPC;
            if (s.capacity + w->rv->dir_entries_per_cluster > kMaxDirEntries) return ENOSPC;
            index_drop(w); // its extent changes: the next full scan rebuilds it
            uint32_t added = 0;
            if (int rc = grow_dir(w, s.last_cluster, added)) return rc;
            continue;
        }
        const uint32_t at = s.free_at;
        // Entries skipped at the old end (a run kept inside one sector) become deleted ones,
        // so the end mark stays behind the new run.
        if (s.has_end && at > s.end_at)
            if (int rc = delete_entries(w, dir, s.end_at, at - s.end_at)) return rc;
        uint32_t n = k;
        if (s.has_end && at + k >= s.end_at && at + k < s.capacity) {
            if ((at + k) % w->epu != 0) {
                n = k + 1; // the zeroed entry after the run ends the directory
            } else {
                uint8_t zero[DV_DIRENT_SIZE] = {};
                uint64_t sector = 0;
                if (int rc = locate(w, dir, at + k, sector)) return rc;
                if (int rc = read_dir_unit(w, sector, w->dir_buf)) return rc;
                if (w->dir_buf[0] != 0)
                    if (int rc = write_entries(w, dir, at + k, zero, 1)) return rc;
            }
        }
        const dv_entry *r = &rec;
        int count = 1;
        uint8_t *cursor = raw;
        unsigned room = kMaxRunEntries + 1;
        if (dv_writeentry(w->ctx, &r, &count, &cursor, &room) != 0) return EINVAL;
        if (placed) *placed = at;
        return write_entries(w, dir, at, raw, n);
    }
    return ENOSPC;
}

uint32_t index_hash(char domain, const uint16_t *units, size_t n) {
    uint32_t h = 2166136261u ^ static_cast<uint8_t>(domain);
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ (units[i] & 0xFFu)) * 16777619u;
        h = (h ^ (units[i] >> 8)) * 16777619u;
    }
    return h == 0 ? 1 : h;
}

uint32_t index_hash(char domain, const uint8_t *bytes, size_t n) {
    uint32_t h = 2166136261u ^ static_cast<uint8_t>(domain);
    for (size_t i = 0; i < n; ++i) h = (h ^ bytes[i]) * 16777619u;
    return h == 0 ? 1 : h;
}

bool index_has(const W *w, uint32_t h) {
    for (uint32_t i = h & (kIndexSlots - 1);; i = (i + 1) & (kIndexSlots - 1)) {
        if (w->ix_table[i] == h) return true;
        if (w->ix_table[i] == 0) return false;
    }
}

void index_add(W *w, uint32_t h) {
    if (w->ix_count >= kIndexSlots / 2) return; // more than a directory can hold: never
    for (uint32_t i = h & (kIndexSlots - 1);; i = (i + 1) & (kIndexSlots - 1)) {
        if (w->ix_table[i] == h) return;
        if (w->ix_table[i] == 0) {
            w->ix_table[i] = h;
            ++w->ix_count;
            return;
        }
    }
}

void index_drop(W *w) {
    w->ix_dir = 0;
    w->ix_count = 0;
}

} // namespace dorvex
