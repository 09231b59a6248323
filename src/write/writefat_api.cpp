// The write path's operations: files, directories, removal, renames,
// times, attributes and the label. Each orders its writes so that a crash between any two
// leaves what existed before intact (see writefat.h).
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {
namespace {

// Changes the short entry of `path` in place (times, attributes): a group may keep it.
template <typename Change> int patch_own_entry(W *w, const char *path, Change change) {
    if (!w || !path) return EINVAL;
    if (w->broken) return w->broken;
    Target t;
    Scan s;
    dv_name folded;
    if (int rc = lookup(w, path, t, s, folded)) return rc;
    if (int rc = mark_dirty(w)) return rc;
    uint64_t sector = 0;
    uint8_t *e = nullptr;
    if (int rc = load_entry(w, t.parent, s.run_first + s.run_count - 1, sector, e)) return rc;
    change(e);
    return dir_store(w, sector, w->dir_buf);
}

// Sets the move marks of the short entry at ordinal `at` of `dir` to `bits`, written now.
int set_move_mark(W *w, uint32_t dir, uint32_t at, uint8_t bits) {
    uint64_t sector = 0;
    uint8_t *e = nullptr;
    if (int rc = load_entry(w, dir, at, sector, e)) return rc;
    e[DV_DIRENT_RESERVED] = static_cast<uint8_t>((e[DV_DIRENT_RESERVED] & ~kMoveMarks) | bits);
    return write_sectors(w, w->dir_buf, sector, w->unit);
}

writefat_file *open_handle(W *w, writefat_file *f) {
    return w && f == &w->file && f->in_use ? f : nullptr;
}

void new_handle(W *w, writefat_file *f) {
    std::memset(f, 0, sizeof *f);
    f->in_use = 1;
    f->buf_lo = w->file_buf_bytes;
}

// The directory and name of a file to open for writing: no other file may be open, and the
// name must be one a file can have.
int file_target(W *w, const char *path, Target &t, NamePlan &plan, dv_name &folded) {
    if (w->broken) return w->broken;
    if (w->file.in_use) return EBUSY;
    if (int rc = resolve(w, path, t)) return rc;
    if (t.root) return EISDIR;
    if (int rc = plan_name(t.name, plan)) return rc;
    fold_name(t.name, folded);
    return 0;
}

// Whether the entry at `at` of `dir` is the one of the file open for writing: it may not be
// removed or moved under it (its clusters would be freed or its entry lost).
bool is_open_entry(const W *w, uint32_t dir, uint32_t at) {
    const writefat_file &f = w->file;
    return f.in_use && f.published && f.parent == dir && f.entry_at == at;
}

} // namespace
} // namespace dorvex

using namespace dorvex;

extern "C" {

readfat_volume *writefat_reader(writefat_volume *w) {
    return w ? w->rv : nullptr;
}

writefat_file *writefat_create(writefat_volume *w, const char *path, uint32_t flags, int *err) {
    if (!w || !path || (flags & ~WRITEFAT_REPLACE) != 0) {
        set_err(err, EINVAL);
        return nullptr;
    }
    Target t;
    NamePlan plan;
    dv_name folded;
    Scan s;
    int rc = file_target(w, path, t, plan, folded);
    if (rc == 0 && !index_says_free(w, t.parent, folded, plan))
        rc = find(w, t.parent, t.name, folded, s);
    if (rc == 0 && s.found)
        rc = (s.rec.attr & DV_ATTR_DIRECTORY) ? EISDIR : (flags & WRITEFAT_REPLACE) ? 0 : EEXIST;
    if (rc != 0) {
        set_err(err, rc);
        return nullptr;
    }
    writefat_file *f = &w->file;
    new_handle(w, f);
    f->replace = (flags & WRITEFAT_REPLACE) != 0;
    f->parent = t.parent;
    dv_namecpy(&f->name, &t.name);
    return f;
}

writefat_file *writefat_open_file(writefat_volume *w, const char *path, uint32_t flags, int *err) {
    const uint32_t known = WRITEFAT_CREATE | WRITEFAT_APPEND | WRITEFAT_TRUNCATE;
    if (!w || !path || (flags & ~known) != 0) {
        set_err(err, EINVAL);
        return nullptr;
    }
    Target t;
    NamePlan plan;
    dv_name folded;
    Scan s;
    int rc = file_target(w, path, t, plan, folded);
    if (rc == 0) rc = find(w, t.parent, t.name, folded, s);
    if (rc == 0 && s.found && (s.rec.attr & DV_ATTR_DIRECTORY)) rc = EISDIR;
    if (rc == 0 && !s.found && !(flags & WRITEFAT_CREATE)) rc = ENOENT;
    writefat_file *f = &w->file;
    if (rc == 0) {
        new_handle(w, f);
        f->parent = t.parent;
        dv_namecpy(&f->name, &t.name);
        if (s.found) rc = adopt_entry(w, f, t.parent, s);
        if (rc != 0) std::memset(f, 0, sizeof *f);
    }
    if (rc != 0) {
        set_err(err, rc);
        return nullptr;
    }
    f->append = (flags & WRITEFAT_APPEND) != 0;
    if (flags & WRITEFAT_TRUNCATE) truncate_file(w, f, 0);
    if (f->append) f->pos = f->size;
    return f;
}

int writefat_write(writefat_volume *w, writefat_file *f, const void *data, size_t len, int *err) {
    f = open_handle(w, f);
    if (!f || (!data && len != 0)) {
        set_err(err, EINVAL);
        return -1;
    }
    int rc = f->code;
    const uint64_t at = f->append ? f->size : f->pos;
    if (rc == 0 && (at > 0xFFFFFFFFu || len > 0xFFFFFFFFu - at)) rc = EFBIG;
    if (rc == 0 && len != 0) {
        rc = mark_dirty(w);
        if (rc == 0) rc = write_data(w, f, static_cast<const uint8_t *>(data), len);
        if (rc != 0) fail_file(w, f, rc);
    }
    if (rc != 0) {
        set_err(err, rc);
        return -1;
    }
    return 0;
}

int writefat_seek(writefat_volume *w, writefat_file *f, uint64_t pos) {
    f = open_handle(w, f);
    if (!f || pos > 0xFFFFFFFFu) return EINVAL;
    if (f->code) return f->code;
    f->pos = pos;
    return 0;
}

uint64_t writefat_tell(writefat_volume *w, writefat_file *f) {
    f = open_handle(w, f);
    return f ? (f->append ? f->size : f->pos) : 0;
}

uint64_t writefat_filesize(writefat_volume *w, writefat_file *f) {
    f = open_handle(w, f);
    return f ? f->size : 0;
}

int writefat_truncate(writefat_volume *w, writefat_file *f, uint64_t size) {
    f = open_handle(w, f);
    if (!f) return EINVAL;
    if (f->code) return f->code;
    if (size > 0xFFFFFFFFu) return EFBIG;
    if (int rc = mark_dirty(w)) return rc;
    const int rc = truncate_file(w, f, size);
    if (rc != 0 && rc != EFBIG) fail_file(w, f, rc);
    return rc;
}

int writefat_preallocate(writefat_volume *w, writefat_file *f, uint64_t size) {
    f = open_handle(w, f);
    if (!f) return EINVAL;
    if (f->code) return f->code;
    return preallocate_file(w, f, size);
}

int writefat_flush(writefat_volume *w, writefat_file *f, int64_t mtime) {
    f = open_handle(w, f);
    if (!f) return EINVAL;
    const Ordered ordered(w); // durable: nothing of it stays in a group
    int rc = ordered.rc ? ordered.rc : flush_file(w, f, mtime, false);
    if (rc != 0 && f->code == 0) fail_file(w, f, rc);
    return rc;
}

int writefat_finish(writefat_volume *w, writefat_file *f, int64_t mtime) {
    f = open_handle(w, f);
    if (!f) return EINVAL;
    int rc = 0;
    if (f->replace || f->published || f->trim) {
        const Ordered ordered(w); // the entry is written before any chain is freed
        rc = ordered.rc ? ordered.rc : flush_file(w, f, mtime, true);
    } else {
        rc = flush_file(w, f, mtime, true);
    }
    drop_file(w, f);
    return rc;
}

void writefat_abort(writefat_volume *w, writefat_file *f) {
    f = open_handle(w, f);
    if (f) drop_file(w, f);
}

int writefat_mkdir(writefat_volume *w, const char *path, int64_t mtime) {
    if (!w || !path) return EINVAL;
    if (w->broken) return w->broken;
    Target t;
    if (int rc = resolve(w, path, t)) return rc;
    if (t.root) return EEXIST;
    NamePlan plan;
    if (int rc = plan_name(t.name, plan)) return rc;
    Scan s;
    dv_name folded;
    fold_name(t.name, folded);
    if (!index_says_free(w, t.parent, folded, plan))
        if (int rc = find(w, t.parent, t.name, folded, s)) return rc;
    if (s.found) return EEXIST;
    if (int rc = mark_dirty(w)) return rc;
    uint32_t c = 0;
    if (int rc = alloc_cluster(w, 0, c)) return rc;
    // "." and "..", written through the codec as short entries alone.
    const uint32_t up = t.parent == root_start_cluster(w->rv) ? 0 : t.parent;
    dv_entry dots[2] = {new_record(DV_ATTR_DIRECTORY, c, 0, mtime),
                        new_record(DV_ATTR_DIRECTORY, up, 0, mtime)};
    std::memcpy(dots[0].shortname, ".          ", 12);
    std::memcpy(dots[1].shortname, "..         ", 12);
    std::memset(w->dir_buf, 0, w->bps);
    const dv_entry *r = dots;
    int count = 2;
    uint8_t *cursor = w->dir_buf;
    unsigned room = w->epu;
    dv_writeentry(w->ctx, &r, &count, &cursor, &room);
    int rc = write_dir_cluster(w, c, w->dir_buf);
    if (rc == 0 && !w->group) rc = fat_flush(w);
    if (rc == 0) rc = publish(w, t.parent, t.name, new_record(DV_ATTR_DIRECTORY, c, 0, mtime));
    if (rc != 0 && !w->broken && free_chain(w, c) == 0) fat_flush(w);
    return rc;
}

int writefat_remove(writefat_volume *w, const char *path) {
    if (!w || !path) return EINVAL;
    if (w->broken) return w->broken;
    Target t;
    Scan s;
    dv_name folded;
    const Ordered ordered(w); // the entry leaves the medium before its clusters are freed
    if (ordered.rc) return ordered.rc;
    if (int rc = lookup(w, path, t, s, folded)) return rc;
    if (is_open_entry(w, t.parent, s.run_first + s.run_count - 1)) return EBUSY;
    const uint32_t first = entry_first(w, s.rec);
    if (s.rec.attr & DV_ATTR_DIRECTORY) {
        Scan inner;
        if (!is_link(w, first)) return EIO;
        if (int rc = scan_dir(w, first, inner)) return rc;
        if (inner.nonempty) return ENOTEMPTY;
    }
    if (int rc = mark_dirty(w)) return rc;
    // The entry goes first: a crash after it leaves lost clusters, never a half file.
    if (int rc = delete_entries(w, t.parent, s.run_first, s.run_count)) return rc;
    // A damaged entry may name the root's chain, which is no one's to free; a marked one
    // shares its chain with the other name of a cut move (reclaim frees it if it is lost).
    if (is_link(w, first) && first != root_start_cluster(w->rv) && !entry_marked(s.rec))
        if (int rc = free_chain(w, first)) return rc;
    return fat_flush(w);
}

int writefat_remove_tree(writefat_volume *w, const char *path, writefat_remove_fn fn,
                         void *fn_data) {
    if (!w || !path) return EINVAL;
    if (w->broken) return w->broken;
    // The tree may hold the file open for writing: its chain must not be freed under it.
    if (w->file.in_use && w->file.published) return EBUSY;
    return remove_tree(w, path, fn, fn_data);
}

int writefat_rename(writefat_volume *w, const char *from, const char *to) {
    if (!w || !from || !to) return EINVAL;
    if (w->broken) return w->broken;
    const Ordered ordered(w); // the new name is written before the old one goes
    if (ordered.rc) return ordered.rc;
    Target src, dst;
    Scan s;
    dv_name folded;
    if (int rc = lookup(w, from, src, s, folded)) return rc;
    if (is_open_entry(w, src.parent, s.run_first + s.run_count - 1)) return EBUSY;
    if (int rc = resolve(w, to, dst)) return rc;
    if (dst.root) return EINVAL;
    const bool is_dir = (s.rec.attr & DV_ATTR_DIRECTORY) != 0;
    const uint32_t first = entry_first(w, s.rec);
    if (is_dir && is_link(w, first)) {
        bool inside = false;
        if (int rc = below(w, dst.parent, first, inside)) return rc;
        if (inside) return EINVAL;
    }
    const bool same_dir = dst.parent == src.parent;
    // A name taken refuses before anything is marked.
    Scan taken;
    taken.skip_first = same_dir ? s.run_first : 0;
    taken.skip_count = same_dir ? s.run_count : 0;
    dv_name taken_folded;
    if (int rc = find(w, dst.parent, dst.name, taken_folded, taken)) return rc;
    if (taken.found) return EEXIST;
    if (int rc = mark_dirty(w)) return rc;
    // Both names exist for a while, on one chain: each is marked while the other may be
    // there, so that removing either keeps the chain, and writefat_reclaim can finish a cut
    // move. First the old name is marked "leaving".
    const uint32_t old_at = s.run_first + s.run_count - 1;
    if (int rc = set_move_mark(w, src.parent, old_at, DV_NTRES_MOVE_FROM)) return rc;
    // Then the new name, marked "arriving": a crash leaves both names, never neither.
    dv_entry rec = s.rec;
    rec.lcase = DV_NTRES_MOVE_TO;
    uint32_t new_at = 0;
    if (int rc = publish(w, dst.parent, dst.name, rec, same_dir ? s.run_first : 0,
                         same_dir ? s.run_count : 0, nullptr, &new_at)) {
        if (!w->broken) set_move_mark(w, src.parent, old_at, 0);
        return rc;
    }
    if (is_dir && !same_dir && is_link(w, first)) {
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        if (int rc = load_entry(w, first, 1, sector, e)) return rc;
        if (std::memcmp(e, "..         ", 11) == 0) {
            store_cluster(e, dst.parent == root_start_cluster(w->rv) ? 0 : dst.parent);
            if (int rc = write_sectors(w, w->dir_buf, sector, w->unit)) return rc;
        }
    }
    if (int rc = delete_entries(w, src.parent, s.run_first, s.run_count)) return rc;
    // The old name is gone: the new one's mark goes.
    return set_move_mark(w, dst.parent, new_at, 0);
}

int writefat_settimes(writefat_volume *w, const char *path, int64_t ctime, int64_t mtime,
                      int64_t atime) {
    return patch_own_entry(w, path, [&](uint8_t *e) {
        uint16_t date = 0, tw = 0;
        uint8_t ms = 0;
        if (ctime != DV_TIME_NONE &&
            dv_encodets64(ctime < k1980 ? k1980 : ctime, 0, &date, &tw, &ms) == 0) {
            e[DV_DIRENT_CTIME_MS] = ms;
            store_le16(e + DV_DIRENT_CTIME, tw);
            store_le16(e + DV_DIRENT_CDATE, date);
        }
        if (mtime != DV_TIME_NONE &&
            dv_encodets64(mtime < k1980 ? k1980 : mtime, 0, &date, &tw, nullptr) == 0) {
            store_le16(e + DV_DIRENT_MTIME, tw);
            store_le16(e + DV_DIRENT_MDATE, date);
        }
        if (atime != DV_TIME_NONE &&
            dv_encodets64(atime < k1980 ? k1980 : atime, 0, &date, nullptr, nullptr) == 0)
            store_le16(e + DV_DIRENT_ADATE, date);
    });
}

int writefat_setattr(writefat_volume *w, const char *path, uint32_t attr) {
    const uint32_t settable = DV_ATTR_READONLY | DV_ATTR_HIDDEN | DV_ATTR_SYSTEM | DV_ATTR_ARCHIVE;
    if (attr & ~settable) return EINVAL;
    return patch_own_entry(w, path, [&](uint8_t *e) {
        e[DV_DIRENT_ATTR] = static_cast<uint8_t>((e[DV_DIRENT_ATTR] & ~settable) | attr);
    });
}

int writefat_group(writefat_volume *w, int on) {
    if (!w) return EINVAL;
    if (on) {
        w->group = true;
        return w->broken;
    }
    const int rc = group_flush(w);
    w->group = false;
    return rc;
}

int writefat_sync(writefat_volume *w) {
    if (!w) return EINVAL;
    if (w->broken) return w->broken;
    return group_flush(w);
}

int writefat_setlabel(writefat_volume *w, const char *label) {
    if (!w) return EINVAL;
    if (w->broken) return w->broken;
    uint8_t text[11];
    std::memset(text, ' ', 11);
    size_t n = label ? std::strlen(label) : 0;
    while (n > 0 && label[n - 1] == ' ') --n;
    if (n > 11) return EINVAL;
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = static_cast<uint8_t>(label[i]);
        if (!label_char(c)) return EINVAL;
        if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 32);
        text[i] = c;
    }
    const Ordered ordered(w);
    if (ordered.rc) return ordered.rc;
    const uint32_t root = root_start_cluster(w->rv);
    Scan s;
    if (int rc = scan_dir(w, root, s)) return rc;
    if (int rc = mark_dirty(w)) return rc;
    if (n == 0) {
        if (s.label_found)
            if (int rc = delete_entries(w, root, s.label_at, 1)) return rc;
    } else if (s.label_found) {
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        if (int rc = load_entry(w, root, s.label_at, sector, e)) return rc;
        std::memcpy(e, text, 11);
        if (int rc = write_sectors(w, w->dir_buf, sector, w->unit)) return rc;
    } else {
        dv_entry rec = new_record(DV_ATTR_VOLUME, 0, 0, k1980);
        rec.name.len = 0;
        std::memcpy(rec.shortname, text, 11);
        if (int rc = place_record(w, root, rec, nullptr)) return rc;
    }
    const uint8_t *boot_label = n == 0 ? reinterpret_cast<const uint8_t *>("NO NAME    ") : text;
    if (int rc = patch_boot_label(w, w->vol_start, boot_label)) return rc;
    if (w->rv->fat_type == 32) {
        const uint32_t backup = load_le16(w->rv->boot_buf + DV_BPB_BACKUP_BOOT);
        if (backup != 0 && backup != 0xFFFFu &&
            uint64_t{backup} * w->unit < w->rv->reserved_sectors)
            return patch_boot_label(w, w->vol_start + uint64_t{backup} * w->unit, boot_label);
    }
    return 0;
}

} // extern "C"
