// writefat_repair: mends a damaged volume as far as it can without losing a byte a live file's
// size covers. FAT copies are made alike first (every later step reads the first copy), then
// one depth-first walk over the tree ends chains that loop or leave the data area, cuts sizes
// to the chains, copies shared clusters for the second owner; lost chains are saved (or left
// to reclaim to free), reclaim runs, and the free count is counted again.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {
namespace {

constexpr uint32_t kMaxDepth = 4096;

bool bit(const uint32_t *b, uint32_t c) {
    return (b[c / 32u] >> (c % 32u) & 1u) != 0;
}
void set_bit(uint32_t *b, uint32_t c) {
    b[c / 32u] |= 1u << (c % 32u);
}
void clear_bit(uint32_t *b, uint32_t c) {
    b[c / 32u] &= ~(1u << (c % 32u));
}

class Repairer {
  public:
    Repairer(W *w, unsigned what, int64_t mtime, writefat_repair_fn fn, void *fn_data)
        : w_(w), what_(what), mtime_(mtime), fn_(fn), fn_data_(fn_data) {}
    ~Repairer() {
        for (void *p : {static_cast<void *>(reached_), static_cast<void *>(pointed_),
                        static_cast<void *>(block_), static_cast<void *>(copy_block_),
                        static_cast<void *>(frames_), static_cast<void *>(path_),
                        static_cast<void *>(moved_), static_cast<void *>(tails_)})
            if (p) w_->free_fn(w_->alloc_data, p);
    }
    Repairer(const Repairer &) = delete;
    Repairer &operator=(const Repairer &) = delete;

    bool left_ = false; // something could not be mended

    int init() {
        const size_t words = w_->max_cluster / 32u + 1u;
        reached_ = static_cast<uint32_t *>(w_->alloc_fn(w_->alloc_data, words * 4u));
        pointed_ = static_cast<uint32_t *>(w_->alloc_fn(w_->alloc_data, words * 4u));
        // A cluster for directories, one for copies: 512-byte aligned for the writer.
        const uint32_t fat_copies = w_->rv->fat_count * w_->bps;
        const uint32_t cb = w_->rv->cluster_bytes > fat_copies ? w_->rv->cluster_bytes : fat_copies;
        block_ = static_cast<uint8_t *>(w_->alloc_fn(w_->alloc_data, cb + 511u));
        copy_block_ = static_cast<uint8_t *>(w_->alloc_fn(w_->alloc_data, cb + 511u));
        if (!reached_ || !pointed_ || !block_ || !copy_block_ || !grow(frames_, frame_cap_, 16) ||
            !grow(path_, path_cap_, 256) || !grow(moved_, moved_cap_, 16) ||
            !grow(tails_, tails_cap_, 16))
            return ENOMEM;
        std::memset(reached_, 0, words * 4u);
        std::memset(pointed_, 0, words * 4u);
        buf_ = aligned(block_);
        copy_ = aligned(copy_block_);
        return 0;
    }

    // ---- FAT copies ------------------------------------------------------------------

    // Makes every FAT copy hold the sound one's sectors. Raw sector writes, outside the
    // cache (emptied before and after): a cut leaves copies that differ, as before.
    int sync_fats() {
        const readfat_volume *rv = w_->rv;
        if (rv->fat_count < 2) return 0;
        // FAT32 with mirroring off keeps one active FAT: the others may differ by design.
        if (rv->fat_type == 32 && (load_le16(rv->boot_buf + DV_BPB_EXT_FLAGS) & 0x80u) != 0)
            return 0;
        if (int rc = fat_flush(w_)) return rc;
        drop_fat_cache();
        const uint32_t units = rv->fat_sectors / w_->unit;
        uint32_t run_first = 0, run_count = 0, run_copy = 0;
        for (uint32_t i = 0; i < units; ++i) {
            bool ok[8] = {}, same = true;
            uint32_t bad[8] = {};
            const uint32_t copies = rv->fat_count < 8 ? rv->fat_count : 8;
            for (uint32_t c = 0; c < copies; ++c) {
                ok[c] = read_unit(w_, copy_sector(c, i), copy_ + size_t{c} * w_->bps) == 0;
                if (ok[c]) bad[c] = bad_links(copy_ + size_t{c} * w_->bps, i);
                if (!ok[c] ||
                    (c > 0 && std::memcmp(copy_, copy_ + size_t{c} * w_->bps, w_->bps) != 0))
                    same = false;
            }
            uint32_t keep = copies;
            if (!same) {
                if (ok[0] && bad[0] == 0) keep = 0;
                for (uint32_t c = 1; c < copies && keep == copies; ++c)
                    if (ok[c] && bad[c] == 0) keep = c;
                for (uint32_t c = 0; c < copies && keep == copies; ++c)
                    if (ok[c]) keep = c;
                if (keep == copies) return EIO;
                for (uint32_t c = 0; c < copies; ++c) {
                    const uint8_t *from = copy_ + size_t{keep} * w_->bps;
                    if (c == keep ||
                        (ok[c] && std::memcmp(copy_ + size_t{c} * w_->bps, from, w_->bps) == 0))
                        continue;
                    if (int rc = write_sectors(w_, from, copy_sector(c, i), w_->unit)) return rc;
                }
            }
            if (run_count != 0 && (keep != run_copy || same)) {
                if (int rc = emit_fat(run_first, run_count, run_copy)) return rc;
                run_count = 0;
            }
            if (!same) {
                if (run_count == 0) run_first = i, run_copy = keep;
                ++run_count;
            }
        }
        if (run_count != 0)
            if (int rc = emit_fat(run_first, run_count, run_copy)) return rc;
        drop_fat_cache();
        return 0;
    }

    // ---- The tree ----------------------------------------------------------------------

    // Walks the tree depth-first, mending chains and sizes on the way.
    int walk() {
        const uint32_t root = root_start_cluster(w_->rv);
        if (root != kRootRegion) {
            Place none{};
            uint32_t n = 0;
            if (int rc = follow(root, none, true, n)) return rc;
        }
        frames_[0] = Frame{root, 0, root == kRootRegion ? 0 : root, 0, 0, 0};
        depth_ = 1;
        while (depth_ > 0) {
            Frame &f = frames_[depth_ - 1];
            const uint32_t per = root_region(f) ? w_->epu : w_->rv->dir_entries_per_cluster;
            if (!load(f)) {
                pop();
                continue;
            }
            if (depth_ > 1 && f.block == 0 && f.next == 0)
                if (int rc = mend_dots(f)) return rc;
            bool pushed = false, ended = false;
            for (uint32_t i = f.next; i < per && !pushed; ++i) {
                const uint8_t *e = buf_ + size_t{i} * DV_DIRENT_SIZE;
                if (e[0] == 0) {
                    ended = true;
                    break;
                }
                if (e[0] == 0xE5) {
                    run_len_ = 0;
                    continue;
                }
                if (gather_lfn(run_, run_len_, e)) continue;
                const uint32_t k = run_belongs(run_, run_len_, e) ? run_len_ : 0;
                if ((e[DV_DIRENT_ATTR] & DV_ATTR_VOLUME) || is_dot_entry(e)) {
                    run_len_ = 0;
                    continue;
                }
                f.next = i + 1;
                const Place at{f.dir, f.block * per + i};
                if (int rc = entry(f, e, k, at, pushed)) return rc;
                run_len_ = 0;
            }
            if (pushed) continue;
            if (ended || !advance(frames_[depth_ - 1])) pop();
        }
        dc_drop(w_);
        index_drop(w_);
        w_->last_plan_dir = 0;
        return fat_flush(w_);
    }

    // ---- Lost chains -------------------------------------------------------------------

    // Frees what follows the files' sizes (the walk ended their chains there), up to a
    // cluster something reached: a tail that ran into another chain leaves that one whole.
    int free_tails() {
        for (uint32_t i = 0; i < tails_n_; ++i) {
            uint32_t c = tails_[i];
            if (is_link(w_, c) && !bit(reached_, c)) ++tail_chains_;
            for (uint32_t k = 0; is_link(w_, c) && !bit(reached_, c) && k < w_->max_cluster; ++k) {
                uint32_t v = 0;
                if (int rc = fat_get(w_, c, v)) return rc;
                if (v == 0) break;
                if (int rc = fat_set(w_, c, 0)) return rc;
                if (w_->free_known) ++w_->free_count;
                ++tail_clusters_;
                c = v;
            }
        }
        return fat_flush(w_);
    }

    uint32_t trimmed_ = 0, tail_clusters_ = 0, tail_chains_ = 0;

    // Saves each lost chain as a file of FOUND.nnn; with WRITEFAT_REPAIR_FREE_LOST leaves them
    // to reclaim, which frees them.
    int save_lost() {
        if (what_ & WRITEFAT_REPAIR_FREE_LOST) return 0;
        // reached_ becomes the lost set: used in the FAT, reached by nothing.
        for (uint32_t c = 2; c <= w_->max_cluster; ++c) {
            uint32_t v = 0;
            if (int rc = fat_get(w_, c, v)) return rc;
            const bool used = is_link(w_, v) || v >= w_->eoc - 7u;
            if (bit(reached_, c) || !used)
                clear_bit(reached_, c);
            else
                set_bit(reached_, c);
        }
        for (uint32_t c = 2; c <= w_->max_cluster; ++c) {
            if (!bit(reached_, c)) continue;
            uint32_t v = 0;
            if (int rc = fat_get(w_, c, v)) return rc;
            if (is_link(w_, v) && bit(reached_, v)) set_bit(pointed_, v);
        }
        const uint32_t most = static_cast<uint32_t>(0xFFFFFFFFull / w_->rv->cluster_bytes);
        uint32_t found_dir = 0, saved = 0;
        for (uint32_t head = 2; head <= w_->max_cluster; ++head) {
            if (!bit(reached_, head) || bit(pointed_, head)) continue;
            uint32_t n = 1, c = head;
            clear_bit(reached_, c);
            for (;;) {
                uint32_t v = 0;
                if (int rc = fat_get(w_, c, v)) return rc;
                if (v >= w_->eoc - 7u) break;
                if (!is_link(w_, v) || !bit(reached_, v) || n == most) {
                    // Into a live chain, a saved one, out of the data area or too long.
                    if (int rc = mark_dirty(w_)) return rc;
                    if (int rc = fat_set(w_, c, w_->eoc)) return rc;
                    break;
                }
                clear_bit(reached_, v);
                c = v;
                ++n;
            }
            if (saved == 10000) { // FSCK9999.REC is the last name: on in the next FOUND.nnn
                found_dir = 0;
                saved = 0;
            }
            if (found_dir == 0)
                if (int rc = make_found(found_dir)) return rc;
            char name[24];
            std::snprintf(name, sizeof name, "FSCK%04u.REC", saved);
            dv_name nm;
            nm.len = static_cast<uint16_t>(std::strlen(name));
            for (uint16_t i = 0; i < nm.len; ++i) nm.units[i] = static_cast<uint8_t>(name[i]);
            const uint32_t size = n * w_->rv->cluster_bytes;
            if (int rc =
                    publish(w_, found_dir, nm, new_record(DV_ATTR_ARCHIVE, head, size, mtime_)))
                return rc;
            ++saved;
            path_len_ = 0;
            append_path(found_name_, std::strlen(found_name_));
            append_path(name, nm.len);
            if (int rc = emit(WRITEFAT_REPAIR_LOST_SAVED, head, n, size, true)) return rc;
        }
        return fat_flush(w_);
    }

    // ---- Free count and the dirty flag -------------------------------------------------

    int finish(const writefat_reclaim_report &r) {
        if (int rc = fat_flush(w_)) return rc;
        const uint32_t type = w_->rv->fat_type;
        bool was_dirty = false;
        if (w_->dirty_marked) {
            was_dirty = !w_->was_clean;
        } else if (type != 12) {
            uint32_t v = 0;
            if (int rc = fat_get(w_, 1, v)) return rc;
            was_dirty = (v & (type == 16 ? 0x8000u : 0x08000000u)) == 0;
        }
        if (int rc = count_free(w_)) return rc;
        bool fsinfo_wrong = false;
        // The next-free hint: the first free cluster.
        for (uint32_t c = 2; c <= w_->max_cluster; ++c) {
            uint32_t v = 0;
            if (int rc = fat_get(w_, c, v)) return rc;
            if (v == 0) {
                w_->hint = c;
                break;
            }
        }
        if (w_->fsinfo != 0 && read_unit(w_, w_->fsinfo, w_->dir_buf) == 0 &&
            load_le32(w_->dir_buf + DV_FSINFO_LEAD_SIG) == DV_FSINFO_LEAD_VALUE) {
            const uint32_t said = load_le32(w_->dir_buf + DV_FSINFO_FREE_COUNT);
            if (said != w_->free_count) {
                if (int rc = emit(WRITEFAT_REPAIR_FSINFO, 0, said, w_->free_count, false))
                    return rc;
                fsinfo_wrong = true;
            }
        }
        // Nothing changed, FSInfo right and the flag clear: the volume is left as it was.
        if (!w_->dirty_marked && !fsinfo_wrong && !was_dirty) return 0;
        // The first change's mark, or the one set at open: FSInfo and the flag follow at close.
        if (int rc = mark_dirty(w_)) return rc;
        if (type == 12 || left_ || r.damaged) return 0;
        // writefat_close sets the clean flag again.
        w_->was_clean = true;
        return was_dirty ? emit(WRITEFAT_REPAIR_CLEAN, 0, 0, 0, false) : 0;
    }

  private:
    struct Frame {
        uint32_t dir;      // first cluster, or kRootRegion
        uint32_t block;    // cluster (or root unit) of the directory being read
        uint32_t cluster;  // that cluster (0 in the root region)
        uint32_t next;     // entry of the block to go on from
        uint32_t path_len; // the directory's path in path_
        uint32_t parent;   // the directory it was found in
    };
    // Where a short entry lies (dir 0: none, the FAT32 root's chain).
    struct Place {
        uint32_t dir, ordinal;
    };

    static uint8_t *aligned(uint8_t *p) {
        return p + (512u - reinterpret_cast<uintptr_t>(p) % 512u) % 512u;
    }
    template <typename T> bool grow(T *&p, uint32_t &cap, uint32_t want) {
        return grow_array(w_, p, cap, want);
    }
    bool root_region(const Frame &f) const { return f.dir == kRootRegion; }

    void drop_fat_cache() {
        for (uint32_t k = 0; k < w_->fat_slots; ++k) w_->fat_tag[k] = 0;
        std::memset(w_->rv->fat_tag, 0, sizeof w_->rv->fat_tag);
    }
    uint64_t copy_sector(uint32_t copy, uint32_t unit_index) const {
        return w_->rv->fat_start + uint64_t{copy} * w_->rv->fat_sectors +
               uint64_t{unit_index} * w_->unit;
    }

    // Links in FAT sector `index` (bytes `s`) that lead out of the data area: not free, not
    // an end, not bad, and not a cluster there is. FAT12 entries cut by the sector's edge are
    // not counted.
    uint32_t bad_links(const uint8_t *s, uint32_t index) const {
        const uint32_t type = w_->rv->fat_type, bps = w_->bps;
        const uint64_t lo = uint64_t{index} * bps, hi = lo + bps;
        const uint32_t bad_mark = type == 12 ? 0xFF7u : type == 16 ? 0xFFF7u : 0x0FFFFFF7u;
        uint32_t n = 0;
        const uint64_t first = type == 12 ? lo * 2 / 3 : lo * 8 / type;
        for (uint64_t c = first < 2 ? 2 : first; c <= w_->max_cluster; ++c) {
            const uint64_t off = type == 12 ? c + c / 2 : c * type / 8;
            if (off >= hi) break;
            if (off < lo || off + (type == 32 ? 4 : 2) > hi) continue;
            const uint8_t *p = s + (off - lo);
            uint32_t v = type == 32 ? load_le32(p) & kFatMask : load_le16(p);
            if (type == 12) v = (c & 1u) ? v >> 4 : v & 0xFFFu;
            if (v == 1 || (v > w_->max_cluster && v < bad_mark)) ++n;
        }
        return n;
    }

    // Reads the frame's block into buf_; false when the directory has no more.
    bool load(const Frame &f) {
        if (root_region(f)) {
            if (f.block >= w_->rv->root_sectors / w_->unit) return false;
            return read_unit(w_, w_->rv->root_start + uint64_t{f.block} * w_->unit, buf_) == 0 ||
                   unreadable();
        }
        return read_cluster(w_->rv, f.cluster, buf_) == ReadResult::ok || unreadable();
    }
    bool unreadable() {
        left_ = true; // what it holds stays as it is (its clusters are lost ones)
        return false;
    }

    // The frame's next block; false at the end of the directory.
    bool advance(Frame &f) {
        f.next = 0;
        ++f.block;
        run_len_ = 0;
        if (root_region(f)) return true;
        const uint32_t epc = w_->rv->dir_entries_per_cluster;
        if (f.block >= (kMaxDirEntries / epc != 0 ? kMaxDirEntries / epc : 1)) return false;
        uint32_t v = 0;
        if (fat_get(w_, f.cluster, v) != 0 || !is_link(w_, v)) return false;
        f.cluster = v;
        return true;
    }

    void pop() {
        --depth_;
        run_len_ = 0;
    }

    void append_path(const char *s, size_t n) {
        for (size_t i = 0; i < n; ++i) path_[path_len_++] = static_cast<uint8_t>(s[i]);
    }

    // A live short entry `e` with `k` long-name entries before it.
    int entry(Frame &f, const uint8_t *e, uint32_t k, const Place &at, bool &pushed) {
        dv_entry rec;
        decode_run(w_, run_, k, e, rec);
        const uint32_t need_units = f.path_len + 1u + rec.name.len;
        if (need_units > path_cap_ && !grow_keep(need_units * 2)) return ENOMEM;
        path_len_ = f.path_len;
        path_[path_len_++] = '/';
        for (uint32_t i = 0; i < rec.name.len; ++i) path_[path_len_++] = rec.name.units[i];
        const uint32_t first = raw_first(w_, e);
        const bool dir = (e[DV_DIRENT_ATTR] & DV_ATTR_DIRECTORY) != 0;
        // The two names of a cut move share one chain: it is followed once.
        if (entry_marked(e) && first != 0) {
            for (uint32_t i = 0; i < moved_n_; ++i)
                if (moved_[i] == first) return 0;
            if (moved_n_ == moved_cap_ && !grow(moved_, moved_cap_, moved_cap_ * 2)) return ENOMEM;
            moved_[moved_n_++] = first;
        }
        if (!dir) {
            uint32_t n = 0;
            return follow(first, at, false, n, entry_marked(e));
        }
        const uint32_t root = root_start_cluster(w_->rv);
        if (first == 0 || first == root || !is_link(w_, first) || bit(reached_, first) ||
            depth_ + 1 > kMaxDepth) {
            left_ = true;
            return emit(WRITEFAT_REPAIR_DIR_LEFT, first, 0, 0, true);
        }
        uint32_t n = 0;
        if (int rc = follow(first, at, true, n)) return rc;
        if (load_le32(e + DV_DIRENT_SIZE_FIELD) != 0) {
            if (int rc = set_entry(at, nullptr, 0)) return rc;
            if (int rc = emit(WRITEFAT_REPAIR_DIR_SIZE, first, 0, 0, true)) return rc;
        }
        const uint32_t parent = f.dir; // `f` moves when the stack grows
        if (depth_ == frame_cap_ && !grow_frames()) return ENOMEM;
        frames_[depth_++] = Frame{first, 0, first, 0, path_len_, parent};
        pushed = true;
        return 0;
    }

    // A subdirectory's "." and ".." (in buf_, its first cluster) name it and its parent; a
    // directory without them is left.
    int mend_dots(const Frame &f) {
        const uint32_t root = root_start_cluster(w_->rv);
        const uint32_t want[2] = {f.dir, f.parent == root ? 0 : f.parent};
        for (uint32_t i = 0; i < 2; ++i) {
            const uint8_t *e = buf_ + size_t{i} * DV_DIRENT_SIZE;
            if (std::memcmp(e, i == 0 ? ".          " : "..         ", 11) != 0 ||
                (e[DV_DIRENT_ATTR] & DV_ATTR_DIRECTORY) == 0) {
                left_ = true;
                return 0;
            }
            const uint32_t got = raw_first(w_, e);
            // FAT32 writers put 0 in the ".." of a directory below the root; some the root's.
            if (got == want[i] || (i == 1 && want[i] == 0 && got == root)) continue;
            if (int rc = mark_dirty(w_)) return rc;
            uint64_t sector = 0;
            uint8_t *raw = nullptr;
            if (int rc = load_entry(w_, f.dir, i, sector, raw)) return rc;
            store_cluster(raw, want[i]);
            if (int rc = dir_store(w_, sector, w_->dir_buf)) return rc;
            path_len_ = f.path_len;
            if (int rc = emit(WRITEFAT_REPAIR_DOTS, want[i], i + 1, got, true)) return rc;
        }
        return 0;
    }

    bool grow_frames() { return grow(frames_, frame_cap_, frame_cap_ * 2); }
    bool grow_keep(uint32_t want) {
        const uint32_t len = path_len_;
        const bool ok = grow(path_, path_cap_, want);
        path_len_ = len;
        return ok;
    }

    // Follows the chain of the entry at `at` (a file, a directory, or with at.dir 0 the
    // FAT32 root), marking it reached and mending it; `n` receives its clusters. A file's
    // chain that runs past its size (a cut append) ends there, its tail kept for free_tails;
    // a moved file's (`marked`) is the other name's too and is kept whole.
    int follow(uint32_t first, const Place &at, bool dir, uint32_t &n, bool marked = false) {
        const uint64_t size = dir ? 0 : load_size(at);
        const uint64_t cb = w_->rv->cluster_bytes;
        n = 0;
        if (first == 0 || !is_link(w_, first)) {
            if (dir || (first == 0 && size == 0)) return 0;
            // No chain, or one that starts outside the data area: an empty file.
            if (int rc = set_entry(at, &kNone, 0)) return rc;
            return emit(first == 0 ? WRITEFAT_REPAIR_SIZE_CUT : WRITEFAT_REPAIR_CHAIN_ENDED, 0, 0,
                        0, true);
        }
        const uint32_t need = dir ? w_->max_cluster : clusters_for(w_, size);
        uint32_t c = first, prev = 0;
        bool ended = false;
        for (;;) {
            if (bit(reached_, c)) {
                // Its own loop, or another entry's chain.
                if (prev != 0 && own(first, c, n)) {
                    if (int rc = end_at(prev)) return rc;
                    ended = true;
                } else if (int rc = cross(at, dir, prev, c, n, need, ended)) {
                    return rc;
                }
                if (kept_) {
                    kept_ = false;
                    return 0; // the entry stays as it was
                }
                break;
            }
            set_bit(reached_, c);
            ++n;
            uint32_t v = 0;
            if (int rc = fat_get(w_, c, v)) return rc;
            if (v >= w_->eoc - 7u) {
                last_ = c;
                break;
            }
            if (!dir && !marked && n == need) {
                if (is_link(w_, v)) {
                    if (tails_n_ == tails_cap_ && !grow(tails_, tails_cap_, tails_cap_ * 2))
                        return ENOMEM;
                    tails_[tails_n_++] = v;
                }
                if (int rc = end_at(c)) return rc;
                ++trimmed_;
                break;
            }
            uint32_t vv = 0;
            if (is_link(w_, v))
                if (int rc = fat_get(w_, v, vv)) return rc;
            if (!is_link(w_, v) || vv == 0) { // out of the data area, bad, or free
                if (int rc = end_at(c)) return rc;
                ended = true;
                break;
            }
            prev = c;
            c = v;
        }
        if (dir) return ended ? emit(WRITEFAT_REPAIR_CHAIN_ENDED, last_, n, 0, at.dir != 0) : 0;
        const uint64_t holds = uint64_t{n} * cb;
        if (size <= holds && !ended) return 0;
        const uint64_t now = size < holds ? size : holds;
        if (now != size)
            if (int rc = set_entry(at, n == 0 ? &kNone : nullptr, now)) return rc;
        return emit(ended ? WRITEFAT_REPAIR_CHAIN_ENDED : WRITEFAT_REPAIR_SIZE_CUT, last_, n, now,
                    true);
    }

    // Whether `c` is one of the first `n` clusters of the chain from `first`.
    bool own(uint32_t first, uint32_t c, uint32_t n) {
        uint32_t x = first;
        for (uint32_t i = 0; i < n; ++i) {
            if (x == c) return true;
            uint32_t v = 0;
            if (fat_get(w_, x, v) != 0 || !is_link(w_, v)) return false;
            x = v;
        }
        return false;
    }

    // The chain ends at `c`.
    int end_at(uint32_t c) {
        if (int rc = mark_dirty(w_)) return rc;
        last_ = c;
        return fat_set(w_, c, w_->eoc);
    }

    // The chain (of `n` clusters so far, the last `prev`) runs into `c`, reached by another
    // entry: a file gets its own copy of what its size still covers; a directory, or a file
    // it covers nothing of, ends before it.
    int cross(const Place &at, bool dir, uint32_t prev, uint32_t c, uint32_t &n, uint32_t need,
              bool &ended) {
        if (dir || need <= n) {
            ended = true;
            if (prev != 0) return end_at(prev);
            last_ = 0;
            return set_entry(at, &kNone, 0);
        }
        if (int rc = mark_dirty(w_)) return rc;
        uint32_t got = 0, head = 0, last = 0, src = c;
        while (n + got < need) {
            uint32_t nc = 0;
            int rc = alloc_cluster(w_, last, nc);
            if (rc == ENOSPC) {
                if (head != 0)
                    if (int frc = free_chain(w_, head)) return frc;
                left_ = kept_ = true;
                return emit(WRITEFAT_REPAIR_CROSS_LEFT, c, need - n, 0, true);
            }
            if (rc != 0) return rc;
            if (head == 0) head = nc;
            last = nc;
            set_bit(reached_, nc);
            ++got;
            if (read_cluster(w_->rv, src, copy_) != ReadResult::ok) return EIO;
            if (int wrc = write_sectors(w_, copy_, cluster_first_sector(w_, nc),
                                        w_->rv->sectors_per_cluster))
                return wrc;
            uint32_t v = 0;
            if (int grc = fat_get(w_, src, v)) return grc;
            if (!is_link(w_, v)) break; // the other chain ends: the size is cut to it
            src = v;
        }
        // The copy is whole before the file is pointed at it.
        if (int rc = fat_flush(w_)) return rc;
        if (prev != 0) {
            if (int rc = fat_set(w_, prev, head)) return rc;
        } else if (int rc = set_entry(at, &head, load_size(at))) {
            return rc;
        }
        n += got;
        last_ = last;
        return emit(WRITEFAT_REPAIR_CROSS_COPIED, c, got, 0, true);
    }

    uint64_t load_size(const Place &at) {
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        if (at.dir == 0 || load_entry(w_, at.dir, at.ordinal, sector, e) != 0) return 0;
        return load_le32(e + DV_DIRENT_SIZE_FIELD);
    }

    // Sets the size (and, when given, the first cluster) of the entry at `at`.
    int set_entry(const Place &at, const uint32_t *first, uint64_t size) {
        if (at.dir == 0) return 0;
        if (int rc = mark_dirty(w_)) return rc;
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        if (int rc = load_entry(w_, at.dir, at.ordinal, sector, e)) return rc;
        if (first) store_cluster(e, *first);
        store_le32(e + DV_DIRENT_SIZE_FIELD, static_cast<uint32_t>(size));
        return dir_store(w_, sector, w_->dir_buf);
    }

    // Makes FOUND.000 (FOUND.001 ... when taken) and gives its first cluster.
    int make_found(uint32_t &dir) {
        for (uint32_t k = 0; k < 1000; ++k) {
            std::snprintf(found_name_, sizeof found_name_, "/FOUND.%03u/", k);
            found_name_[10] = 0;
            const int rc = writefat_mkdir(w_, found_name_, mtime_);
            if (rc == EEXIST) continue;
            if (rc != 0) return rc;
            Target t;
            Scan s;
            dv_name folded;
            if (int lrc = lookup(w_, found_name_, t, s, folded)) return lrc;
            dir = entry_first(w_, s.rec);
            found_name_[10] = '/';
            return 0;
        }
        return ENOSPC;
    }

    int emit_fat(uint32_t first, uint32_t count, uint32_t copy) {
        writefat_repair_record r{};
        r.kind = WRITEFAT_REPAIR_FAT_SYNCED;
        r.copy = copy;
        r.sector = first;
        r.count = count;
        const uint32_t type = w_->rv->fat_type;
        r.cluster = static_cast<uint32_t>(uint64_t{first} * w_->bps * (type == 12 ? 2 : 8) /
                                          (type == 12 ? 3 : type));
        return fn_ ? fn_(fn_data_, &r) : 0;
    }

    int emit(uint32_t kind, uint32_t cluster, uint64_t count, uint64_t size, bool with_path) {
        if (!fn_) return 0;
        writefat_repair_record r{};
        r.kind = kind;
        r.cluster = cluster;
        r.count = count;
        r.size = size;
        if (with_path) {
            r.path = path_;
            r.path_len = path_len_;
        }
        return fn_(fn_data_, &r);
    }

    static const uint32_t kNone;

    W *w_;
    unsigned what_;
    int64_t mtime_;
    writefat_repair_fn fn_;
    void *fn_data_;
    uint32_t *reached_ = nullptr, *pointed_ = nullptr;
    uint8_t *block_ = nullptr, *copy_block_ = nullptr, *buf_ = nullptr, *copy_ = nullptr;
    Frame *frames_ = nullptr;
    uint32_t depth_ = 0, frame_cap_ = 0;
    uint16_t *path_ = nullptr;
    uint32_t path_len_ = 0, path_cap_ = 0;
    uint32_t *moved_ = nullptr; // first clusters of marked entries followed
    uint32_t moved_n_ = 0, moved_cap_ = 0;
    uint32_t *tails_ = nullptr; // the first clusters past files' sizes
    uint32_t tails_n_ = 0, tails_cap_ = 0;
    uint32_t last_ = 0; // where the chain last ended
    bool kept_ = false; // cross() left the chain alone
    uint8_t run_[kMaxRunEntries * DV_DIRENT_SIZE + DV_DIRENT_SIZE];
    uint32_t run_len_ = 0;
    char found_name_[24] = {};
};

const uint32_t Repairer::kNone = 0;

} // namespace

int repair(W *w, unsigned what, int64_t mtime, writefat_repair_fn fn, void *fn_data,
           writefat_reclaim_report &r) {
    std::memset(&r, 0, sizeof r);
    if (w->broken) return w->broken;
    if (w->file.in_use) return EBUSY;
    const Ordered ordered(w);
    if (ordered.rc) return ordered.rc;
    Repairer rp(w, what, mtime, fn, fn_data);
    if (int rc = rp.init()) return rc;
    if (int rc = rp.sync_fats()) return rc;
    if (int rc = rp.walk()) return rc;
    if (int rc = rp.free_tails()) return rc;
    if (int rc = rp.save_lost()) return rc;
    if (int rc = reclaim(w, r)) return rc;
    // The tails the walk cut count as reclaim's would.
    r.files_trimmed += rp.trimmed_;
    r.lost_clusters += rp.tail_clusters_;
    r.lost_chains += rp.tail_chains_;
    return rp.finish(r);
}

} // namespace dorvex

using namespace dorvex;

extern "C" {

int writefat_repair(writefat_volume *w, unsigned what, int64_t mtime, writefat_repair_fn fn,
                    void *fn_data, writefat_reclaim_report *report) {
    if (!w) return EINVAL;
    writefat_reclaim_report r;
    const int rc = repair(w, what, mtime, fn, fn_data, r);
    if (report) *report = r;
    return rc;
}

} // extern "C"
