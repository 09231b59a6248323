// writefat_reclaim: mends what a cut write leaves. One walk over the whole tree per window of
// clusters marks what live entries reach; clusters used in the FAT that nothing reached are
// freed, but only when no walk met damage. The first walk also gathers the move marks, the
// long-name entries that belong to no entry and the root's label, settled afterwards.
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {
namespace {

constexpr uint32_t kMaxDepth = 4096;

uint32_t raw_first(const W *w, const uint8_t *e) {
    const uint32_t lo = load_le16(e + DV_DIRENT_CLUSTER_LO);
    return w->rv->fat_type == 32 ? uint32_t{load_le16(e + DV_DIRENT_CLUSTER_HI)} << 16 | lo : lo;
}

// A marked short entry: where its run lies and what it names.
struct Mark {
    uint32_t dir, run_first, run_count, first, size;
    uint8_t bits, attr;
    uint16_t mdate, mtime;
    bool done;
};

// Long-name entries that belong to no entry: [first, first + count) of `dir`.
struct Orphan {
    uint32_t dir, first, count;
};

struct Pending {
    uint32_t dir, depth;
};

class Reclaimer {
  public:
    Reclaimer(W *w, writefat_reclaim_report &r) : w_(w), r_(r) {}
    ~Reclaimer() {
        for (void *p :
             {static_cast<void *>(bits_), static_cast<void *>(stack_), static_cast<void *>(marks_),
              static_cast<void *>(orphans_), static_cast<void *>(walked_),
              static_cast<void *>(block_), static_cast<void *>(cuts_)})
            if (p) w_->free_fn(w_->alloc_data, p);
    }
    Reclaimer(const Reclaimer &) = delete;
    Reclaimer &operator=(const Reclaimer &) = delete;

    int init() {
        // Directories are read a cluster at a time, or a sector at a time where the volume's
        // config keeps no cluster-sized buffer (a small device on a card of large clusters).
        const uint32_t unit = w_->dc_by_sector ? w_->bps : w_->rv->cluster_bytes;
        block_ = static_cast<uint8_t *>(w_->alloc_fn(w_->alloc_data, unit + 511u));
        // A window of whole 32-bit words, no larger than the volume needs.
        const uint32_t clusters = w_->max_cluster - 1u;
        uint32_t bytes = w_->reclaim_bytes / 4u * 4u;
        if (bytes < 4u) bytes = 4u;
        if (bytes / 4u > clusters / 32u + 1u) bytes = (clusters / 32u + 1u) * 4u;
        window_ = bytes * 8u;
        bits_ = static_cast<uint32_t *>(w_->alloc_fn(w_->alloc_data, bytes));
        if (!block_ || !bits_ || !grow(stack_, stack_cap_, 64) || !grow(marks_, marks_cap_, 16) ||
            !grow(walked_, walked_cap_, 16) || !grow(orphans_, orphans_cap_, 16) ||
            !grow(cuts_, cuts_cap_, 16))
            return ENOMEM;
        buf_ = block_ + (512u - reinterpret_cast<uintptr_t>(block_) % 512u) % 512u;
        return 0;
    }

    // Walks the tree marking the clusters of [lo, lo + window_); `collect`: gather marks,
    // orphans and the label too. Returns 0 (damage_ tells of damage), ENOMEM or EIO.
    int walk(uint32_t lo, bool collect) {
        lo_ = lo;
        collect_ = collect;
        std::memset(bits_, 0, window_ / 8u);
        walked_n_ = 0;
        depth_n_ = 0;
        uint32_t visits = 0;
        stack_[depth_n_++] = {root_start_cluster(w_->rv), 0};
        while (depth_n_ > 0 && !damage_) {
            const Pending p = stack_[--depth_n_];
            // More directories than clusters: a directory names one of its ancestors.
            if (++visits > w_->max_cluster) return damaged();
            if (int rc = walk_dir(p)) return rc;
        }
        return 0;
    }

    // Ends each chain that ran past its file's size where the size ends; written before any
    // of the clusters past it is freed, so a cut leaves lost clusters, never a chain into
    // free ones.
    int cut_chains() {
        if (cuts_n_ == 0) return 0;
        if (int rc = mark_dirty(w_)) return rc;
        for (uint32_t i = 0; i < cuts_n_; ++i)
            if (int rc = fat_set(w_, cuts_[i], w_->eoc)) return rc;
        r_.files_trimmed = cuts_n_;
        return fat_flush(w_);
    }

    // Frees the clusters of the window that the walk did not reach.
    int free_window() {
        const uint32_t hi =
            lo_ + window_ - 1 < w_->max_cluster ? lo_ + window_ - 1 : w_->max_cluster;
        for (uint32_t c = lo_; c <= hi; ++c) {
            if (reached(c)) continue;
            uint32_t v = 0;
            if (int rc = fat_get(w_, c, v)) return rc;
            const bool end = v >= w_->eoc - 7u;
            if (v == 0 || (!is_link(w_, v) && !end)) continue; // free, bad or reserved
            if (int rc = mark_dirty(w_)) return rc;
            if (int rc = fat_set(w_, c, 0)) return rc;
            if (w_->free_known) ++w_->free_count;
            ++r_.lost_clusters;
            // A chain is counted at its end (or where it runs into a live chain).
            if (end || (v >= lo_ && v <= hi && reached(v))) ++r_.lost_chains;
        }
        return 0;
    }

    // Settles the marks, the orphaned long names and the label the first walk gathered.
    int mend() {
        for (uint32_t i = 0; i < marks_n_; ++i) {
            Mark &to = marks_[i];
            if (!(to.bits & DV_NTRES_MOVE_TO) || to.done) continue;
            for (uint32_t j = 0; j < marks_n_; ++j) {
                Mark &from = marks_[j];
                if (j == i || from.done || !(from.bits & DV_NTRES_MOVE_FROM) || !same(from, to))
                    continue;
                if (int rc = finish_move(from, to)) return rc;
                ++r_.moves_finished;
                break;
            }
        }
        // After damage the other half of a mark may lie where the walk did not go: a mark
        // stays until a whole walk shows it alone.
        for (uint32_t i = 0; i < marks_n_ && !damage_; ++i) {
            if (marks_[i].done) continue;
            if (int rc = clear_mark(marks_[i])) return rc;
            ++r_.marks_cleared;
        }
        for (uint32_t i = 0; i < orphans_n_; ++i) {
            if (int rc = mark_dirty(w_)) return rc;
            const Orphan &o = orphans_[i];
            if (int rc = delete_entries(w_, o.dir, o.first, o.count)) return rc;
            r_.lfn_cleared += o.count;
        }
        return sync_label();
    }

    bool damage_ = false;
    uint32_t window_ = 0; // clusters a walk marks

  private:
    int damaged() {
        damage_ = true;
        return 0;
    }

    bool reached(uint32_t c) const {
        const uint32_t i = c - lo_;
        return c >= lo_ && i < window_ && (bits_[i / 32u] >> (i % 32u) & 1u) != 0;
    }

    // Marks `c` reached; false (damage) when it was already.
    bool reach(uint32_t c) {
        const uint32_t i = c - lo_;
        if (c < lo_ || i >= window_) return true;
        if (bits_[i / 32u] >> (i % 32u) & 1u) return false;
        bits_[i / 32u] |= 1u << (i % 32u);
        return true;
    }

    // Marks the chain from `first` on, bounded by the clusters there are. With `need` (a
    // file's clusters by its size) the chain is marked that far: what a cut append linked
    // past it is cut off (its clusters, unreached, are freed with the lost ones).
    int reach_chain(uint32_t first, uint32_t need) {
        uint32_t c = first;
        for (uint32_t n = 0;; ++n) {
            if (!is_link(w_, c) || n >= w_->max_cluster || !reach(c)) return damaged();
            uint32_t v = 0;
            if (int rc = fat_get(w_, c, v)) return rc;
            if (v >= w_->eoc - 7u) return 0;
            if (n + 1 == need) {
                if (collect_ && cuts_n_ == cuts_cap_ && !grow(cuts_, cuts_cap_, cuts_cap_ * 2))
                    return ENOMEM;
                if (collect_) cuts_[cuts_n_++] = c;
                return 0;
            }
            c = v; // free, bad or outside the data area: damage at the top of the loop
        }
    }

    int walk_dir(const Pending &p) {
        run_n_ = 0;
        in_run_ = 0;
        ended_ = false;
        if (p.dir == kRootRegion) {
            const uint32_t units = w_->rv->root_sectors / w_->unit;
            for (uint32_t u = 0; u < units && !ended_; ++u) {
                if (read_unit(w_, w_->rv->root_start + uint64_t{u} * w_->unit, buf_) != 0)
                    return damaged();
                if (int rc = entries(p, u * w_->epu, w_->epu)) return rc;
                if (damage_) return 0;
            }
            return orphan_run(p.dir);
        }
        const uint32_t epc = w_->rv->dir_entries_per_cluster;
        const uint32_t most = kMaxDirEntries / epc != 0 ? kMaxDirEntries / epc : 1;
        uint32_t c = p.dir;
        for (uint32_t n = 0;; ++n) {
            if (!is_link(w_, c) || n >= most || !reach(c)) return damaged();
            if (!ended_ && !w_->dc_by_sector) {
                if (read_cluster(w_->rv, c, buf_) != ReadResult::ok) return damaged();
                if (int rc = entries(p, n * epc, epc)) return rc;
                if (damage_) return 0;
            }
            const uint64_t at = cluster_first_sector(w_, c);
            for (uint32_t k = 0; !ended_ && w_->dc_by_sector && k < epc / w_->epu; ++k) {
                if (read_unit(w_, at + uint64_t{k} * w_->unit, buf_) != 0) return damaged();
                if (int rc = entries(p, n * epc + k * w_->epu, w_->epu)) return rc;
                if (damage_) return 0;
            }
            uint32_t v = 0;
            if (int rc = fat_get(w_, c, v)) return rc;
            if (v >= w_->eoc - 7u) break;
            c = v;
        }
        return orphan_run(p.dir);
    }

    // The `n` raw entries in buf_, the first of them ordinal `at` of the directory.
    int entries(const Pending &p, uint32_t at, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i, ++at) {
            const uint8_t *e = buf_ + size_t{i} * DV_DIRENT_SIZE;
            if (e[0] == 0) {
                ended_ = true;
                return orphan_run(p.dir);
            }
            if (e[0] == 0xE5) {
                if (int rc = orphan_run(p.dir)) return rc;
                continue;
            }
            if ((e[DV_DIRENT_ATTR] & 0x3Fu) == DV_ATTR_LFN) {
                if (in_run_ == 0) run_at_ = at;
                ++in_run_;
                // The last entries of a run are all a name can own.
                if (run_n_ == kMaxRunEntries - 1) {
                    std::memmove(run_, run_ + DV_DIRENT_SIZE, (run_n_ - 1) * DV_DIRENT_SIZE);
                    --run_n_;
                }
                std::memcpy(run_ + run_n_++ * DV_DIRENT_SIZE, e, DV_DIRENT_SIZE);
                continue;
            }
            // The long-name entries right before a short entry that form its run are its own.
            uint32_t k = 0;
            for (uint32_t j = 1; j <= run_n_ && k == 0; ++j)
                if (run_belongs(run_ + (run_n_ - j) * DV_DIRENT_SIZE, j, e)) k = j;
            in_run_ -= k;
            if (int rc = orphan_run(p.dir)) return rc;
            if (e[DV_DIRENT_ATTR] & DV_ATTR_VOLUME) {
                if (collect_ && p.depth == 0 && !label_found_) {
                    label_found_ = true;
                    std::memcpy(label_, e, 11);
                }
                continue;
            }
            if (is_dot_entry(e)) continue;
            if (int rc = entry(p, e, at - k, k + 1)) return rc;
            if (damage_) return 0;
        }
        return 0;
    }

    // A live short entry: its chain is reached, a directory walked later.
    int entry(const Pending &p, const uint8_t *e, uint32_t run_first, uint32_t run_count) {
        const uint32_t first = raw_first(w_, e);
        const bool dir = (e[DV_DIRENT_ATTR] & DV_ATTR_DIRECTORY) != 0;
        if (entry_marked(e)) {
            if (collect_) {
                if (marks_n_ == marks_cap_ && !grow(marks_, marks_cap_, marks_cap_ * 2))
                    return ENOMEM;
                marks_[marks_n_++] = {p.dir,
                                      run_first,
                                      run_count,
                                      first,
                                      load_le32(e + DV_DIRENT_SIZE_FIELD),
                                      static_cast<uint8_t>(e[DV_DIRENT_RESERVED] & kMoveMarks),
                                      e[DV_DIRENT_ATTR],
                                      load_le16(e + DV_DIRENT_MDATE),
                                      load_le16(e + DV_DIRENT_MTIME),
                                      false};
            }
            // The two names of a cut move share one chain: it is walked once.
            if (first != 0) {
                for (uint32_t i = 0; i < walked_n_; ++i)
                    if (walked_[i] == first) return 0;
                if (walked_n_ == walked_cap_ && !grow(walked_, walked_cap_, walked_cap_ * 2))
                    return ENOMEM;
                walked_[walked_n_++] = first;
            }
        }
        // A marked file's chain is the other name's too: it is kept whole.
        const uint32_t cb = w_->rv->cluster_bytes;
        const uint32_t size = load_le32(e + DV_DIRENT_SIZE_FIELD);
        const uint32_t need =
            entry_marked(e) ? 0 : static_cast<uint32_t>((uint64_t{size} + cb - 1) / cb);
        if (!dir) return first == 0 ? 0 : reach_chain(first, need);
        if (first == 0 || first == root_start_cluster(w_->rv) || p.depth + 1 > kMaxDepth)
            return damaged();
        if (depth_n_ == stack_cap_ && !grow(stack_, stack_cap_, stack_cap_ * 2)) return ENOMEM;
        stack_[depth_n_++] = {first, p.depth + 1};
        return 0;
    }

    // The long-name entries gathered since the last short entry belong to none.
    int orphan_run(uint32_t dir) {
        const uint32_t n = in_run_, at = run_at_;
        in_run_ = run_n_ = 0;
        if (n == 0 || !collect_) return 0;
        if (orphans_n_ == orphans_cap_ && !grow(orphans_, orphans_cap_, orphans_cap_ * 2))
            return ENOMEM;
        orphans_[orphans_n_++] = {dir, at, n};
        return 0;
    }

    // Two marked entries of one move: one chain, or for an empty file the same record.
    static bool same(const Mark &a, const Mark &b) {
        if (a.first != b.first) return false;
        return a.first != 0 ||
               (a.size == b.size && a.attr == b.attr && a.mdate == b.mdate && a.mtime == b.mtime);
    }

    uint32_t short_at(const Mark &m) const { return m.run_first + m.run_count - 1; }

    // The move's last steps, as writefat_rename takes them: "..", the old name, the mark.
    int finish_move(Mark &from, Mark &to) {
        if (int rc = mark_dirty(w_)) return rc;
        const uint32_t root = root_start_cluster(w_->rv);
        if ((to.attr & DV_ATTR_DIRECTORY) && from.dir != to.dir && is_link(w_, to.first)) {
            uint64_t sector = 0;
            uint8_t *e = nullptr;
            if (int rc = load_entry(w_, to.first, 1, sector, e)) return rc;
            const uint32_t up = to.dir == root ? 0 : to.dir;
            if (std::memcmp(e, "..         ", 11) == 0 && raw_first(w_, e) != up) {
                store_cluster(e, up);
                if (int rc = dir_store(w_, sector, w_->dir_buf)) return rc;
            }
        }
        if (int rc = delete_entries(w_, from.dir, from.run_first, from.run_count)) return rc;
        from.done = true;
        if (int rc = clear_mark(to)) return rc;
        to.done = true;
        return 0;
    }

    int clear_mark(Mark &m) {
        if (int rc = mark_dirty(w_)) return rc;
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        if (int rc = load_entry(w_, m.dir, short_at(m), sector, e)) return rc;
        e[DV_DIRENT_RESERVED] = static_cast<uint8_t>(e[DV_DIRENT_RESERVED] & ~kMoveMarks);
        m.done = true;
        return dir_store(w_, sector, w_->dir_buf);
    }

    // The boot sector (and FAT32's backup) takes the root's label: the root entry is written
    // first by writefat_setlabel, so it is the one a cut leaves right.
    int sync_label() {
        const uint8_t *want =
            label_found_ ? label_ : reinterpret_cast<const uint8_t *>("NO NAME    ");
        uint64_t sectors[2] = {w_->vol_start, 0};
        unsigned count = 1;
        if (w_->rv->fat_type == 32) {
            const uint32_t backup = load_le16(w_->rv->boot_buf + DV_BPB_BACKUP_BOOT);
            if (backup != 0 && backup != 0xFFFFu &&
                uint64_t{backup} * w_->unit < w_->rv->reserved_sectors)
                sectors[count++] = w_->vol_start + uint64_t{backup} * w_->unit;
        }
        const bool f32 = w_->rv->fat_type == 32;
        for (unsigned i = 0; i < count; ++i) {
            const uint64_t sector = sectors[i];
            if (int rc = read_unit(w_, sector, w_->dir_buf)) return rc;
            const uint8_t *b = w_->dir_buf;
            if (load_le16(b + DV_BPB_SIGNATURE) != 0xAA55u ||
                b[f32 ? DV_BPB_BOOT_SIGNATURE : DV_BPB16_BOOT_SIGNATURE] != DV_BPB_EXT_BOOT_SIG ||
                std::memcmp(b + (f32 ? DV_BPB_VOLUME_LABEL : DV_BPB16_VOLUME_LABEL), want, 11) == 0)
                continue;
            if (int rc = mark_dirty(w_)) return rc;
            if (int rc = patch_boot_label(w_, sector, want)) return rc;
            r_.label_synced = 1;
        }
        return 0;
    }

    template <typename T> bool grow(T *&p, uint32_t &cap, uint32_t want) {
        return grow_array(w_, p, cap, want);
    }

    W *w_;
    writefat_reclaim_report &r_;
    uint32_t *bits_ = nullptr;
    uint32_t lo_ = 2;
    bool collect_ = false;
    Pending *stack_ = nullptr;
    uint32_t depth_n_ = 0, stack_cap_ = 0;
    Mark *marks_ = nullptr;
    uint32_t marks_n_ = 0, marks_cap_ = 0;
    uint32_t *walked_ = nullptr; // first clusters of marked entries walked in this pass
    uint32_t *cuts_ = nullptr;   // last clusters of files whose chains run past their size
    uint32_t cuts_n_ = 0, cuts_cap_ = 0;
    uint32_t walked_n_ = 0, walked_cap_ = 0;
    Orphan *orphans_ = nullptr;
    uint32_t orphans_n_ = 0, orphans_cap_ = 0;
    uint8_t *block_ = nullptr, *buf_ = nullptr;
    // The long-name entries since the last short entry: how many, where they start, and a
    // copy of the last ones (as many as a name can have).
    uint8_t run_[kMaxRunEntries * DV_DIRENT_SIZE];
    uint32_t run_n_ = 0, in_run_ = 0, run_at_ = 0;
    bool ended_ = false;
    bool label_found_ = false;
    uint8_t label_[11] = {};
};

} // namespace

int reclaim(W *w, writefat_reclaim_report &r) {
    std::memset(&r, 0, sizeof r);
    if (w->broken) return w->broken;
    if (w->file.in_use) return EBUSY;
    const Ordered ordered(w); // what the group keeps is on the medium before the walk reads it
    if (ordered.rc) return ordered.rc;
    Reclaimer rc_walk(w, r);
    if (int rc = rc_walk.init()) return rc;
    const uint32_t windows = (w->max_cluster - 2u) / rc_walk.window_ + 1u;
    // Every window is walked once to find damage anywhere before anything is freed; the
    // last window's marks are still at hand, the others are walked again to free theirs.
    for (uint32_t k = 0; k < windows && !rc_walk.damage_; ++k) {
        if (int rc = rc_walk.walk(2u + k * rc_walk.window_, k == 0)) return rc;
        ++r.passes;
    }
    int rc = 0;
    if (!rc_walk.damage_) {
        rc = rc_walk.cut_chains();
        if (rc == 0) rc = rc_walk.free_window();
        for (uint32_t k = 0; rc == 0 && k + 1 < windows && !rc_walk.damage_; ++k) {
            rc = rc_walk.walk(2u + k * rc_walk.window_, false);
            ++r.passes;
            if (rc == 0 && !rc_walk.damage_) rc = rc_walk.free_window();
        }
    }
    r.damaged = rc_walk.damage_ ? 1u : 0u;
    if (r.lost_clusters != 0) {
        // Freed clusters may be taken for file data: no cached directory may outlive them.
        for (uint32_t k = 0; k < w->dc_slots; ++k) w->dc_tag[k] = 0;
        index_drop(w);
        w->last_plan_dir = 0;
    }
    // The marks, orphans and label are settled even after damage: that frees nothing.
    if (rc == 0) rc = rc_walk.mend();
    if (w->broken) return w->broken;
    const int flushed = fat_flush(w);
    return rc != 0 ? rc : flushed;
}

int reclaim_at_open(W *w) {
    const uint32_t type = w->rv->fat_type;
    if (type == 12) return 0; // no dirty flag to tell
    uint32_t v = 0;
    if (int rc = fat_get(w, 1, v)) return rc;
    if (v & (type == 16 ? 0x8000u : 0x08000000u)) return 0; // closed cleanly
    const int rc = reclaim(w, w->reclaim_report);
    w->reclaimed = rc == 0;
    return rc;
}

} // namespace dorvex

using namespace dorvex;

extern "C" {

int writefat_reclaim(writefat_volume *w, writefat_reclaim_report *report) {
    if (!w) return EINVAL;
    writefat_reclaim_report r;
    const int rc = reclaim(w, r);
    if (report) *report = r;
    return rc;
}

int writefat_reclaimed(const writefat_volume *w, writefat_reclaim_report *report) {
    if (!w || !w->reclaimed) return 0;
    if (report) *report = w->reclaim_report;
    return 1;
}

} // extern "C"
