// Removing a whole tree: one entry write detaches it, then a walk frees every directory and
// file below, each directory read once.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

// ---- Removing a tree --------------------------------------------------------------------

namespace {

// writefat_remove_tree's walk: a stack of the directories on the way down, each with the
// live entries of its cluster read last that are still to do. Each directory is read once
// (one that was removed is free in the FAT, one on the way is on the stack), so the work is
// linear in the entries; the memory grows with the depth and those entries only.
class TreeRemoval {
  public:
    TreeRemoval(W *w, writefat_remove_fn fn, void *fn_data) : w_(w), fn_(fn), fn_data_(fn_data) {}
    ~TreeRemoval() {
        if (frames_) w_->free_fn(w_->alloc_data, frames_);
        if (store_) w_->free_fn(w_->alloc_data, store_);
        if (scratch_block_) w_->free_fn(w_->alloc_data, scratch_block_);
    }
    TreeRemoval(const TreeRemoval &) = delete;
    TreeRemoval &operator=(const TreeRemoval &) = delete;

    // Takes the memory a shallow tree needs before anything is written.
    int init() {
        // The cluster goes back to the writer: 512-byte aligned inside its block.
        scratch_block_ =
            static_cast<uint8_t *>(w_->alloc_fn(w_->alloc_data, w_->rv->cluster_bytes + 511u));
        if (scratch_block_)
            scratch_ =
                scratch_block_ + (512u - reinterpret_cast<uintptr_t>(scratch_block_) % 512u) % 512u;
        if (!scratch_ || !grow(frames_, frame_cap_, 16) ||
            !grow(store_, store_cap_, 4 * w_->rv->dir_entries_per_cluster * DV_DIRENT_SIZE))
            return ENOMEM;
        return 0;
    }

    // Whether the directory entry naming `c`, found in `parent`, may be followed: 0, ELOOP,
    // or EIO when its cluster cannot be read. A directory that may be is then in scratch_.
    int check(uint32_t c, uint32_t parent) {
        const uint32_t root = root_start_cluster(w_->rv);
        if (!is_link(w_, c) || c == root) return ELOOP;
        uint32_t v = 0;
        if (int rc = fat_get(w_, c, v)) return rc;
        if (v == 0) return ELOOP; // free: removed already, or never a directory
        for (uint32_t i = 0; i < depth_; ++i)
            if (frames_[i].dir == c) return ELOOP;
        scratch_holds_ = 0;
        if (read_cluster(w_->rv, c, scratch_) != ReadResult::ok) return EIO;
        // Its own "." and "..": a cross-linked entry finds another directory's (or none).
        const uint8_t *dot = scratch_, *dotdot = scratch_ + DV_DIRENT_SIZE;
        if (std::memcmp(dot, ".          ", 11) != 0 || raw_first(w_, dot) != c ||
            std::memcmp(dotdot, "..         ", 11) != 0)
            return ELOOP;
        const uint32_t up = raw_first(w_, dotdot);
        // FAT32 writers differ on the root: 0 or its cluster.
        if (parent == root ? up != 0 && up != root : up != parent) return ELOOP;
        scratch_holds_ = c;
        return 0;
    }

    // Starts on the directory `c` (checked).
    int push(uint32_t c) {
        if (depth_ == frame_cap_ && !grow(frames_, frame_cap_, frame_cap_ * 2)) return ENOMEM;
        if (depth_ > 0) {
            // The entries done of the directory left keep no room.
            Frame &up = frames_[depth_ - 1];
            std::memmove(store_ + size_t{up.base} * DV_DIRENT_SIZE,
                         store_ + size_t{up.next} * DV_DIRENT_SIZE,
                         size_t{up.end - up.next} * DV_DIRENT_SIZE);
            up.end = up.base + (up.end - up.next);
            up.next = up.base;
        }
        Frame &f = frames_[depth_++];
        f = Frame{};
        f.dir = c;
        f.base = f.next = f.end = depth_ > 1 ? frames_[depth_ - 2].end : 0;
        run_len_ = 0;
        return 0;
    }

    // Walks the stack empty. Returns the first failure; a directory that could not be read
    // is reported through fn and makes the result EIO, the others go on.
    int run() {
        int soft = 0;
        while (depth_ > 0) {
            Frame &f = frames_[depth_ - 1];
            if (f.next == f.end) {
                if (!f.done) {
                    if (int rc = load(f)) {
                        if (rc != EIO || w_->broken) return rc;
                        soft = EIO; // the rest of this directory is lost clusters
                        f.done = true;
                    }
                    continue;
                }
                if (int rc = pop()) return rc;
                continue;
            }
            const uint8_t *e = store_ + size_t{f.next++} * DV_DIRENT_SIZE;
            if (gather_lfn(run_, run_len_, e)) continue;
            const uint32_t k = run_belongs(run_, run_len_, e) ? run_len_ : 0;
            run_len_ = 0;
            if ((e[DV_DIRENT_ATTR] & DV_ATTR_VOLUME) || is_dot_entry(e)) continue;
            dv_entry rec;
            decode_run(w_, run_, k, e, rec);
            const uint32_t c = raw_first(w_, e);
            const uint32_t depth = depth_;
            // One name of a cut move: its chain (and what a directory holds) is the other's.
            if (entry_marked(e)) {
                if (fn_) fn_(fn_data_, &rec, depth, 0);
                continue;
            }
            if (rec.attr & DV_ATTR_DIRECTORY) {
                int code = check(c, f.dir);
                if (code != 0 && code != ELOOP && code != EIO) return code;
                if (code == EIO) soft = EIO;
                if (fn_) fn_(fn_data_, &rec, depth, code);
                if (code == 0)
                    if (int rc = push(c)) return rc;
                continue;
            }
            // A file whose chain starts at the root's is no file: leave the root alone.
            const int code = c != 0 && c == root_start_cluster(w_->rv) ? ELOOP : 0;
            if (fn_) fn_(fn_data_, &rec, depth, code);
            if (code == 0 && is_link(w_, c))
                if (int rc = free_chain(w_, c)) return rc;
        }
        return soft;
    }

  private:
    struct Frame {
        uint32_t dir;             // first cluster
        uint32_t cluster;         // the cluster read last, 0 before the first
        uint32_t walked;          // clusters read: bounded by the largest directory
        uint32_t base, next, end; // its entries in store_: [next, end) still to do
        bool done;                // its end mark or the end of its chain was reached
    };

    template <typename T> bool grow(T *&p, uint32_t &cap, uint32_t want) {
        return grow_array(w_, p, cap, want);
    }

    // Reads the directory's next cluster, keeps its live entries and writes it back with
    // them marked deleted ("." and ".." stay, as Windows and mdeltree leave them).
    int load(Frame &f) {
        uint32_t c = f.dir;
        if (f.cluster != 0) {
            uint32_t next = 0;
            if (int rc = fat_get(w_, f.cluster, next)) return rc;
            if (!is_link(w_, next)) {
                f.done = true;
                return 0;
            }
            c = next;
        }
        const uint32_t epc = w_->rv->dir_entries_per_cluster;
        const uint32_t most = kMaxDirEntries / epc != 0 ? kMaxDirEntries / epc : 1;
        if (++f.walked > most) { // a chain longer than any directory: it loops
            f.done = true;
            return 0;
        }
        f.cluster = c;
        if (f.dir == w_->ix_dir) index_drop(w_);
        if (scratch_holds_ != c && read_cluster(w_->rv, c, scratch_) != ReadResult::ok) return EIO;
        scratch_holds_ = 0;
        const uint32_t need = (f.base + epc) * DV_DIRENT_SIZE;
        if (need > store_cap_ && !grow(store_, store_cap_, need * 2)) return ENOMEM;
        f.next = f.end = f.base;
        bool changed = false;
        for (uint32_t i = 0; i < epc; ++i) {
            uint8_t *e = scratch_ + size_t{i} * DV_DIRENT_SIZE;
            if (e[0] == 0) {
                f.done = true;
                break;
            }
            if (e[0] == 0xE5 || is_dot_entry(e)) continue;
            std::memcpy(store_ + size_t{f.end++} * DV_DIRENT_SIZE, e, DV_DIRENT_SIZE);
            e[0] = 0xE5;
            changed = true;
        }
        if (!changed) return 0;
        return write_sectors(w_, scratch_, cluster_first_sector(w_, c),
                             w_->rv->sectors_per_cluster);
    }

    // The directory on top is done: its chain goes.
    int pop() {
        const uint32_t dir = frames_[--depth_].dir;
        run_len_ = 0;
        if (w_->last_plan_dir == dir) w_->last_plan_dir = 0;
        // A file being written into it can no longer be published.
        if (w_->file.in_use && w_->file.parent == dir && w_->file.code == 0)
            fail_file(w_, &w_->file, ENOENT);
        return free_chain(w_, dir);
    }

    W *w_;
    writefat_remove_fn fn_;
    void *fn_data_;
    Frame *frames_ = nullptr;
    uint32_t depth_ = 0, frame_cap_ = 0;
    uint8_t *store_ = nullptr; // raw entries
    uint32_t store_cap_ = 0;   // bytes
    uint8_t *scratch_ = nullptr, *scratch_block_ = nullptr;
    uint32_t scratch_holds_ = 0; // the cluster check() left in scratch_
    uint8_t run_[kMaxRunEntries * DV_DIRENT_SIZE];
    uint32_t run_len_ = 0;
};

} // namespace

int remove_tree(W *w, const char *path, writefat_remove_fn fn, void *fn_data) {
    const Ordered ordered(w); // the top entry leaves the medium before anything is freed
    if (ordered.rc) return ordered.rc;
    Target t;
    Scan s;
    dv_name folded;
    if (int rc = lookup(w, path, t, s, folded)) return rc;
    const uint32_t first = entry_first(w, s.rec);
    const uint32_t root = root_start_cluster(w->rv);
    TreeRemoval tree(w, fn, fn_data);
    int code = first != 0 && first == root ? ELOOP : 0;
    // A name left marked by a cut move goes alone: what it names belongs to the other too.
    const bool marked = entry_marked(s.rec);
    if ((s.rec.attr & DV_ATTR_DIRECTORY) && !marked) {
        if (int rc = tree.init()) return rc;
        code = tree.check(first, t.parent);
        if (code == EIO || (code != 0 && code != ELOOP)) return code;
    }
    if (int rc = mark_dirty(w)) return rc;
    // The whole tree hangs on this one write: a crash after it leaves lost clusters only.
    if (int rc = delete_entries(w, t.parent, s.run_first, s.run_count)) return rc;
    if (fn) fn(fn_data, &s.rec, 0, code);
    int rc = 0;
    if (marked) {
        // Nothing freed: writefat_reclaim frees the chain if no name is left.
    } else if (code == 0 && (s.rec.attr & DV_ATTR_DIRECTORY)) {
        rc = tree.push(first);
        if (rc == 0) rc = tree.run();
    } else if (code == 0 && is_link(w, first)) {
        rc = free_chain(w, first);
    }
    // Freed directory clusters may be taken for file data: no cached copy may outlive them.
    dc_drop(w);
    if (w->broken) return w->broken;
    const int flushed = fat_flush(w);
    return rc != 0 ? rc : flushed;
}

} // namespace dorvex
