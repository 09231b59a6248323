// check: what is wrong with a FAT volume (readfat_check), and with --repair everything the
// library can mend mended (writefat_repair), --dry-run on a copy of the changed sectors in memory.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"
#include "dorvex/checkfat.h"
#include "dorvex/writefat.h"
#include "json.h"
#include "text.h"

namespace dvcli {
namespace {

// The image as the repair sees it: reads pass through, writes go to the image or, for a dry
// run, are kept here and read back, so the repair and the check after it see the same volume
// a real repair would leave.
struct Staged {
    Image *image = nullptr;
    bool dry = false;
    std::map<uint64_t, std::array<uint8_t, 512>> kept;

    static int32_t read(void *data, void *buf, uint64_t sector, uint32_t count) {
        auto *s = static_cast<Staged *>(data);
        const int32_t rc = Image::reader(s->image, buf, sector, count);
        if (rc <= 0 || s->kept.empty()) return rc;
        auto *out = static_cast<uint8_t *>(buf);
        for (auto it = s->kept.lower_bound(sector); it != s->kept.end() && it->first < sector + rc;
             ++it)
            std::memcpy(out + (it->first - sector) * 512, it->second.data(), 512);
        return rc;
    }
    static int32_t write(void *data, const void *buf, uint64_t sector, uint32_t count) {
        auto *s = static_cast<Staged *>(data);
        if (!s->dry) return Image::writer(s->image, buf, sector, count);
        const auto *in = static_cast<const uint8_t *>(buf);
        for (uint32_t i = 0; i < count; ++i)
            std::memcpy(s->kept[sector + i].data(), in + size_t{i} * 512, 512);
        return static_cast<int32_t>(count);
    }
};

struct Kind {
    uint32_t code;
    const char *name; // JSON
    const char *what; // the text's words
};

const Kind kKinds[] = {
    {READFAT_FIND_FAT_DIFFERS, "fat-differs", "FAT copy differs from the first"},
    {READFAT_FIND_LOST, "lost", "lost clusters (marked used, reached by no file)"},
    {READFAT_FIND_CROSSLINK, "cross-link", "cross-linked: shares a cluster with another file"},
    {READFAT_FIND_LOOP, "loop", "cluster chain loops"},
    {READFAT_FIND_BAD_LINK, "bad-link", "cluster chain leads to a free, bad or missing cluster"},
    {READFAT_FIND_CHAIN_LONG, "chain-long", "cluster chain runs past the size"},
    {READFAT_FIND_CHAIN_SHORT, "chain-short", "cluster chain shorter than the size"},
    {READFAT_FIND_BAD_DOT, "bad-dot", "bad '.' entry"},
    {READFAT_FIND_BAD_DOTDOT, "bad-dotdot", "bad '..' entry"},
    {READFAT_FIND_FSINFO_FREE, "fsinfo-free", "FSInfo free count is wrong"},
    {READFAT_FIND_DIRTY, "dirty", "not unmounted cleanly (dirty flag set)"},
    {READFAT_FIND_UNREADABLE, "unreadable", "directory cannot be read to its end"},
    {READFAT_FIND_TOO_DEEP, "too-deep", "directory too deep, not checked"},
    {READFAT_FIND_MOVE_PAIR, "move-pair", "second name of a cut move (one chain, two names)"},
    {READFAT_FIND_LFN_ORPHAN, "orphan-lfn", "long-name entries that belong to no file"},
    {READFAT_FIND_BOOT_BACKUP, "boot-backup", "backup boot sector differs"},
    {READFAT_FIND_DIR_SIZE, "dir-size", "directory's size field is not 0"},
    {READFAT_FIND_LABEL, "label", "boot sector's label differs from the root directory's"},
    {READFAT_FIND_BOOT_REGION, "boot-region", "boot region fails its checksum or checks"},
    {READFAT_FIND_PERCENT_IN_USE, "percent-in-use", "PercentInUse disagrees with the bitmap"},
    {READFAT_FIND_BITMAP_FREE, "bitmap-free", "uses clusters the allocation bitmap marks free"},
    {READFAT_FIND_BITMAP_BAD, "bitmap-bad", "allocation bitmap missing, short or scattered"},
    {READFAT_FIND_UPCASE_BAD, "upcase-bad", "up-case table missing or fails its checksum"},
    {READFAT_FIND_SET_CHECKSUM, "set-checksum", "entry set checksum is wrong"},
    {READFAT_FIND_NAME_HASH, "name-hash", "name hash does not match the name"},
    {READFAT_FIND_SET_DAMAGED, "set-damaged", "entry set cannot be read"},
    {READFAT_FIND_VALID_PAST_SIZE, "valid-past-size", "valid data length past the size"},
    {READFAT_FIND_BAD_TIME, "bad-time", "impossible timestamp"},
};

const Kind &kind_of(uint32_t code) {
    static const Kind unknown{0, "unknown", "unknown finding"};
    for (const Kind &k : kKinds)
        if (k.code == code) return k;
    return unknown;
}

// A finding, copied out of the callback.
struct Finding {
    readfat_finding f;
    std::u32string path;
    bool has_path;
};

std::string plural(uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string hex4(uint32_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04X", v & 0xFFFFu);
    return b;
}

// The numbers that say where, in the text.
std::string detail(const readfat_finding &f) {
    switch (f.kind) {
    case READFAT_FIND_FAT_DIFFERS:
        return "copy " + std::to_string(f.count + 2) + ", " +
               plural(f.length, "sector", "sectors") + " from cluster " + std::to_string(f.cluster);
    case READFAT_FIND_LOST:
        return "clusters " + std::to_string(f.cluster) + ".." +
               std::to_string(f.cluster + f.length - 1);
    case READFAT_FIND_CROSSLINK:
    case READFAT_FIND_LOOP:
    case READFAT_FIND_MOVE_PAIR:
        return "at cluster " + std::to_string(f.cluster);
    case READFAT_FIND_BAD_LINK:
        return "cluster " + std::to_string(f.cluster) + " -> " + std::to_string(f.count);
    case READFAT_FIND_CHAIN_LONG:
    case READFAT_FIND_CHAIN_SHORT:
        return plural(f.length, "cluster", "clusters") + " for " + plural(f.size, "byte", "bytes");
    case READFAT_FIND_FSINFO_FREE:
        return "says " + std::to_string(f.count) + ", the FAT has " + std::to_string(f.length);
    case READFAT_FIND_LFN_ORPHAN:
        return plural(f.length, "entry", "entries") + " from entry " + std::to_string(f.count);
    case READFAT_FIND_DIR_SIZE:
        return "says " + plural(f.size, "byte", "bytes");
    case READFAT_FIND_BOOT_BACKUP:
        return plural(f.length, "byte", "bytes") + ", backup at sector " + std::to_string(f.count);
    case READFAT_FIND_BOOT_REGION:
        return std::string(f.count == 0 ? "main" : "backup") +
               (f.length == 1 ? ", checksum" : ", boot sector");
    case READFAT_FIND_PERCENT_IN_USE:
        return "says " + std::to_string(f.count) + "%, the bitmap has " + std::to_string(f.length) +
               "%";
    case READFAT_FIND_BITMAP_FREE:
        return plural(f.length, "cluster", "clusters") + " from cluster " +
               std::to_string(f.cluster);
    case READFAT_FIND_SET_CHECKSUM:
    case READFAT_FIND_NAME_HASH:
        return "says " + hex4(f.count) + ", is " + hex4(f.length);
    case READFAT_FIND_SET_DAMAGED:
        return "entry " + std::to_string(f.count);
    case READFAT_FIND_BAD_TIME:
        return f.count == 0 ? "created" : f.count == 1 ? "modified" : "accessed";
    default:
        return "";
    }
}

// One change writefat_repair made, copied out of the callback.
struct Change {
    writefat_repair_record r;
    std::u32string path;
    bool has_path;
};

struct Repair {
    bool ran = false, dry = false, free_lost = false;
    writefat_reclaim_report r{};
    std::vector<Change> changes;
};

const Kind kChanges[] = {
    {WRITEFAT_REPAIR_FAT_SYNCED, "fat-synced", ""},
    {WRITEFAT_REPAIR_CHAIN_ENDED, "chain-ended", ""},
    {WRITEFAT_REPAIR_SIZE_CUT, "size-cut", ""},
    {WRITEFAT_REPAIR_DIR_SIZE, "dir-size", ""},
    {WRITEFAT_REPAIR_LOST_SAVED, "lost-saved", ""},
    {WRITEFAT_REPAIR_CROSS_COPIED, "cross-copied", ""},
    {WRITEFAT_REPAIR_CROSS_LEFT, "cross-left", ""},
    {WRITEFAT_REPAIR_FSINFO, "fsinfo", ""},
    {WRITEFAT_REPAIR_CLEAN, "clean", ""},
    {WRITEFAT_REPAIR_DIR_LEFT, "dir-left", ""},
    {WRITEFAT_REPAIR_DOTS, "dots", ""},
};

const char *change_name(uint32_t kind) {
    for (const Kind &k : kChanges)
        if (k.code == kind) return k.name;
    return "unknown";
}

// The words of one change.
std::string change_line(const Change &c, const std::string &did) {
    const writefat_repair_record &r = c.r;
    const std::string where = c.has_path ? escape_display(c.path) + ": " : "";
    switch (r.kind) {
    case WRITEFAT_REPAIR_FAT_SYNCED:
        return did + "copy " + plural(r.count, "FAT sector", "FAT sectors") + " from cluster " +
               std::to_string(r.cluster) + " on from copy " + std::to_string(r.copy + 1) +
               " to the others";
    case WRITEFAT_REPAIR_CHAIN_ENDED:
        return where + did + "end the broken chain after " +
               plural(r.count, "cluster", "clusters") + " (size " +
               plural(r.size, "byte", "bytes") + ")";
    case WRITEFAT_REPAIR_SIZE_CUT:
        return where + did + "cut the size to " + plural(r.size, "byte", "bytes") + ", what its " +
               plural(r.count, "cluster holds", "clusters hold");
    case WRITEFAT_REPAIR_DIR_SIZE:
        return where + did + "set the directory's size field to 0";
    case WRITEFAT_REPAIR_LOST_SAVED:
        return did + "save the lost chain at cluster " + std::to_string(r.cluster) + " (" +
               plural(r.count, "cluster", "clusters") + ") as " + escape_display(c.path);
    case WRITEFAT_REPAIR_CROSS_COPIED:
        return where + did + "copy " + plural(r.count, "cluster", "clusters") +
               " it shares with another file from cluster " + std::to_string(r.cluster);
    case WRITEFAT_REPAIR_CROSS_LEFT:
        return where + "shares clusters from cluster " + std::to_string(r.cluster) +
               " with another file, no room for a copy: left";
    case WRITEFAT_REPAIR_FSINFO:
        return did + "set the FSInfo free count to " + std::to_string(r.size) + " (was " +
               std::to_string(r.count) + ")";
    case WRITEFAT_REPAIR_CLEAN:
        return did + "clear the dirty flag";
    case WRITEFAT_REPAIR_DIR_LEFT:
        return where + "directory entry naming cluster " + std::to_string(r.cluster) +
               " not followed: left";
    case WRITEFAT_REPAIR_DOTS:
        return where + did + "point '" + (r.count == 1 ? "." : "..") + "' at cluster " +
               std::to_string(r.cluster) + " (was " + std::to_string(r.size) + ")";
    default:
        return where + "unknown change";
    }
}

// The repair's changes, one line each; none when there was nothing to do.
std::vector<std::string> repair_lines(const Repair &rp) {
    const writefat_reclaim_report &r = rp.r;
    std::vector<std::string> out;
    const std::string did = rp.dry ? "would " : "";
    for (const Change &c : rp.changes) out.push_back(change_line(c, did));
    if (r.lost_clusters)
        out.push_back(did + "free " + plural(r.lost_clusters, "lost cluster", "lost clusters") +
                      " (" + plural(r.lost_chains, "chain", "chains") + ")");
    if (r.files_trimmed)
        out.push_back(did + "end " + plural(r.files_trimmed, "file", "files") +
                      " at its size (a cut append)");
    if (r.moves_finished)
        out.push_back(did + "finish " + plural(r.moves_finished, "cut move", "cut moves"));
    if (r.marks_cleared)
        out.push_back(did + "clear " +
                      plural(r.marks_cleared, "lone move mark", "lone move marks"));
    if (r.lfn_cleared)
        out.push_back(
            did + "delete " +
            plural(r.lfn_cleared, "orphaned long-name entry", "orphaned long-name entries"));
    if (r.label_synced) out.push_back(did + "copy the root's label to the boot sector");
    if (r.damaged)
        out.push_back(std::string("damage found: no cluster ") + (rp.dry ? "would be" : "was") +
                      " freed");
    return out;
}

void print_text(const std::string &image, const Repair &rp, const std::vector<Finding> &found) {
    std::string text;
    if (rp.ran) {
        const std::vector<std::string> lines = repair_lines(rp);
        if (lines.empty()) text += "repair: nothing to mend\n";
        for (const std::string &l : lines) text += "repair: " + l + "\n";
    }
    std::map<uint32_t, uint32_t> counts;
    for (const Finding &x : found) {
        ++counts[x.f.kind];
        std::string where = x.has_path ? escape_display(x.path.empty() ? U"/" : x.path) + ": " : "";
        const std::string d = detail(x.f);
        text += where + kind_of(x.f.kind).what + (d.empty() ? "" : " (" + d + ")") + "\n";
    }
    // The line read at a glance: sound, or how many of what.
    text += escape_display_utf8(image) + ": ";
    if (found.empty())
        text += !rp.ran  ? "sound\n"
                : rp.dry ? "would be sound after repair\n"
                         : "sound after repair\n";
    else {
        text += plural(found.size(), "finding", "findings");
        if (rp.ran) text += rp.dry ? " would remain" : " remain";
        std::string sep = " (";
        for (const auto &[kind, n] : counts) {
            text += sep + std::to_string(n) + " " + kind_of(kind).name;
            sep = ", ";
        }
        text += ")\n";
    }
    out_str(text);
}

void print_json(const std::string &image, const Repair &rp, const std::vector<Finding> &found) {
    JsonWriter j(stdout);
    j.begin_object().key("image").str_utf8(image).key("sound").boolean(found.empty());
    if (rp.ran) {
        const writefat_reclaim_report &r = rp.r;
        j.key("repair").begin_object();
        j.key("dry_run").boolean(rp.dry);
        j.key("lost_clusters").num(r.lost_clusters).key("lost_chains").num(r.lost_chains);
        j.key("files_trimmed").num(r.files_trimmed).key("moves_finished").num(r.moves_finished);
        j.key("marks_cleared").num(r.marks_cleared).key("lfn_cleared").num(r.lfn_cleared);
        j.key("label_synced").boolean(r.label_synced != 0).key("damaged").boolean(r.damaged != 0);
        j.key("changes").begin_array(true);
        for (const Change &c : rp.changes) {
            j.begin_object().key("kind").str_utf8(change_name(c.r.kind)).key("code").num(c.r.kind);
            j.key("path");
            if (c.has_path)
                j.str(c.path);
            else
                j.null();
            j.key("cluster").num(c.r.cluster).key("copy").num(c.r.copy);
            j.key("sector").num(c.r.sector).key("count").num(c.r.count).key("size").num(c.r.size);
            j.end();
        }
        j.end();
        j.end();
    }
    j.key("findings").begin_array(true);
    for (const Finding &x : found) {
        j.begin_object().key("kind").str_utf8(kind_of(x.f.kind).name).key("code").num(x.f.kind);
        j.key("path");
        if (x.has_path)
            j.str(x.path.empty() ? U"/" : x.path);
        else
            j.null();
        j.key("cluster").num(x.f.cluster).key("count").num(x.f.count);
        j.key("length").num(x.f.length).key("sector").num(x.f.sector).key("size").num(x.f.size);
        j.end();
    }
    j.end();
    j.finish();
}

void *heap_alloc(void *, size_t n) {
    return std::malloc(n);
}
void heap_free(void *, void *p) {
    std::free(p);
}

// Mends what writefat_repair mends, through `st`; false (reported) when the volume could
// not be opened or written.
bool repair(const std::string &shown, Staged &st, uint64_t start, uint64_t end, Repair &rp) {
    writefat_config c;
    writefat_config_init(&c, WRITEFAT_CONFIG_FAST);
    c.options &= ~WRITEFAT_OPT_RECLAIM; // run below, once, with its report
    int err = 0;
    writefat_volume *w = writefat_open3(start, end, 512, &st, &Staged::read, &Staged::write,
                                        kVolumeFlags & ~READFAT_FLAG_BATCH, 2, 2, &c, &err, nullptr,
                                        &heap_alloc, &heap_free);
    if (!w) {
        report(shown, dv_strerror(err));
        return false;
    }
    const int rc = writefat_repair(
        w, rp.free_lost ? WRITEFAT_REPAIR_FREE_LOST : 0, static_cast<int64_t>(std::time(nullptr)),
        [](void *data, const writefat_repair_record *r) {
            Change c{*r, r->path ? utf16_to_u32(r->path, r->path_len) : U"", r->path != nullptr};
            c.r.path = nullptr;
            static_cast<Repair *>(data)->changes.push_back(std::move(c));
            return 0;
        },
        &rp, &rp.r);
    const int closed = writefat_close(w);
    if (rc != 0 || closed != 0) {
        report(shown, dv_strerror(rc != 0 ? rc : closed));
        return false;
    }
    rp.ran = true;
    return true;
}

} // namespace

int cmd_check(const Args &a) {
    const std::string &path = a.positional[0];
    const std::string shown = escape_display_utf8(path);
    const bool fix = a.has("repair"), dry = a.has("dry-run");
    if (dry && !fix) return usage_error("check", "--dry-run goes with --repair");
    if (a.has("free-lost") && !fix) return usage_error("check", "--free-lost goes with --repair");
    // The volume is found through a read-only open first: exFAT is checked, never repaired,
    // and its image is not opened writable for a refused repair.
    Image probe, writable;
    Image *image = &probe;
    std::string error;
    uint64_t start = 0, end = 0;
    std::string fs;
    if (!probe.open(path, error) || !probe.locate(a.volume, start, end, error, &fs)) {
        report(shown, error);
        return kFail;
    }
    if (fs == "exFAT" && fix) {
        report(shown, "exFAT volumes are checked, not repaired");
        return kFail;
    }
    if (fix && !dry) {
        image = &writable;
        if (!writable.open(path, error, true) || !writable.lock_for_writing(error) ||
            !writable.locate(a.volume, start, end, error, &fs)) {
            report(shown, error);
            return kFail;
        }
    }
    Staged st;
    st.image = image;
    st.dry = dry;
    Repair rp;
    rp.dry = dry;
    rp.free_lost = a.has("free-lost");
    if (fix && !repair(shown, st, start, end, rp)) return kFail;

    int err = 0;
    readfat_volume *vol =
        readfat_new(start, end, 512, &st, &Staged::read, kVolumeFlags, 1, 2, &err);
    if (!vol) {
        report(shown, dv_strerror(err));
        return kFail;
    }
    std::vector<Finding> found;
    const long n = readfat_check(
        vol, READFAT_CHECK_ALL,
        [](void *data, const readfat_finding *f) {
            Finding x{*f, f->path ? utf16_to_u32(f->path, f->path_len) : U"", f->path != nullptr};
            x.f.path = nullptr;
            x.f.entry = nullptr;
            static_cast<std::vector<Finding> *>(data)->push_back(std::move(x));
            return 0;
        },
        &found, &err);
    readfat_delete(vol);
    if (n < 0) {
        report(shown, dv_strerror(err));
        return kFail;
    }
    if (a.has("json"))
        print_json(path, rp, found);
    else
        print_text(path, rp, found);
    return found.empty() ? kOk : kFail;
}

} // namespace dvcli
