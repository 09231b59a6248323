// info, ls, tree and stat: everything that only reads directories.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unordered_set>
#include <vector>

#include "cli.h"
#include "json.h"
#include "text.h"
#include "walker.h"

namespace dvcli {

namespace {

// The name an entry is shown under: its long (or recovered) name; deleted
// entries come with the names the library recovered (mounted with
// DV_FLAG_DELETED, as -a does).
std::u32string entry_u32(const Listed &l) {
    return l.label ? label_u32(l.entry) : name_to_u32(l.entry.name);
}

std::string entry_display(const Listed &l) {
    // Printable ASCII other than '\\' shows as it is: most names, without a
    // detour through code points (a large listing spends its time here).
    if (!l.label) {
        const dv_name &n = l.entry.name;
        const size_t len = n.len > DV_NAME_MAX ? DV_NAME_MAX : n.len;
        std::string s;
        s.reserve(len + 1); // and the line's end, without a second allocation
        s.resize(len);
        size_t i = 0;
        for (; i < len; ++i) {
            const uint16_t u = n.units[i];
            if (u < 0x20 || u > 0x7E || u == '\\') break;
            s[i] = static_cast<char>(u);
        }
        if (i == len) return s;
    }
    return escape_display(entry_u32(l));
}

// The 8.3 name (none on exFAT); a deleted entry's first byte was overwritten with 0xE5 and
// shows as '_', as the library recovers a lost first character. (Entries of a
// deleted directory are deleted with their first byte intact.)
std::u32string short_u32(const dv_entry &e) {
    if (exfat_record(e)) return U"";
    std::u32string n = short_name_u32(e.shortname);
    if (e.deleted && static_cast<unsigned char>(e.shortname[0]) == 0xE5 && !n.empty()) n[0] = U'_';
    return n;
}

std::string short_display(const dv_entry &e) {
    return escape_display(short_u32(e));
}

// A time of an entry as recorded (exFAT: with its UTC offset, when one is).
void time_member(JsonWriter &j, const char *key, int64_t t, uint8_t off, int32_t nsec = 0,
                 bool date_only = false) {
    j.key(key);
    if (t == DV_TIME_NONE)
        j.null();
    else
        j.str_utf8(recorded_time(t, off, nsec, date_only));
}

std::string kind_of(const dv_entry &e, bool root = false) {
    if (root || (e.attr & DV_ATTR_DIRECTORY)) return "directory";
    if (e.attr & DV_ATTR_VOLUME) return "volume-label";
    return "file";
}

// The members of an entry's JSON object, into the object the caller opened.
// A name with UTF-16 units that are no characters (lone surrogates) is
// written with U+FFFD for them, and its units beside it, losslessly.
void entry_members(JsonWriter &j, const Listed &l) {
    const dv_entry &e = l.entry;
    j.key("name").str(entry_u32(l));
    if (!l.label && has_lone_surrogate(e.name)) {
        j.key("name_units").begin_array();
        for (size_t i = 0; i < e.name.len && i < DV_NAME_MAX; ++i) j.num(e.name.units[i]);
        j.end();
    }
    j.key("short_name");
    if (exfat_record(e))
        j.null();
    else
        j.str(l.label ? label_u32(e) : short_u32(e));
    j.key("type").str_utf8(kind_of(e));
    j.key("attr").num(e.attr);
    j.key("attributes").begin_array();
    for (const std::string &a : attr_names(e.attr)) j.str_utf8(a);
    j.end();
    j.key("cluster").num(e.cluster);
    j.key("size").num(e.size64);
    const bool exfat = exfat_record(e);
    time_member(j, "created", e.ctime64, e.utc_offset[0], e.ctime.nsec);
    time_member(j, "modified", e.mtime64, e.utc_offset[1], e.mtime.nsec);
    time_member(j, "accessed", e.atime64, e.utc_offset[2], 0, !exfat);
    j.key("deleted").boolean(l.deleted);
    if (exfat && !l.label) {
        j.key("valid_size").num(e.valid64);
        j.key("contiguous").boolean((e.stream_flags & DV_STREAM_CONTIGUOUS) != 0);
    }
}

bool shown(const Listed &l, bool all) {
    return all || (!l.dot && !l.deleted && !l.label);
}

// Directories worth descending into: real subdirectories, and with -a deleted
// ones (read by the recovery rules).
bool descend(const Listed &l, bool all) {
    return !l.dot && (all || !l.deleted) && !l.label && (l.entry.attr & DV_ATTR_DIRECTORY);
}

// What ls was asked for.
struct LsOptions {
    bool all = false, longfmt = false, recursive = false, json = false;
    bool paths = false, null = false, human = false;
    SortBy by;
};

LsOptions ls_options(const Args &a) {
    LsOptions o;
    o.all = a.has("all");
    o.longfmt = a.has("long");
    o.recursive = a.has("recursive");
    o.json = a.has("json");
    o.paths = a.has("paths");
    o.null = a.has("null");
    o.human = a.has("human-readable");
    // -U wins over -S, which wins over -t.
    o.by.order = a.has("unsorted")    ? Order::directory
                 : a.has("sort-size") ? Order::size
                 : a.has("sort-time") ? Order::time
                                      : Order::name;
    o.by.reverse = a.has("reverse");
    return o;
}

// The -l line of an entry; `mark`, when given, is a column before the name.
std::string long_line(const Listed &l, const std::string &name, bool human,
                      const char *mark = nullptr) {
    char buf[64];
    if (human)
        std::snprintf(buf, sizeof buf, "%s %6s ", attr_letters(l.entry.attr).c_str(),
                      human_size_ls(l.entry.size64).c_str());
    else
        std::snprintf(buf, sizeof buf, "%s %10" PRIu64 " ", attr_letters(l.entry.attr).c_str(),
                      l.entry.size64);
    std::string s = buf;
    std::string mtime = listing_time(l.entry.mtime64, l.entry.utc_offset[1]);
    // "-" for no date keeps the columns of the lines that have one.
    mtime.resize(utc_times() ? 20 : 19, ' ');
    s += mtime;
    // exFAT has no 8.3 names: "-" keeps the column.
    std::string sn = exfat_record(l.entry) ? "-"
                     : l.label             ? escape_display(label_u32(l.entry))
                                           : short_display(l.entry);
    // Padded by characters, not bytes: a code page gives 8.3 names non-ASCII ones.
    size_t chars = 0;
    for (char c : sn) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (chars < 12) sn.append(12 - chars, ' ');
    return s + "  " + sn + "  " + (mark ? std::string(mark) + " " : "") + name;
}

// The text form of ls: lines ended by '\n', or by NUL with --null.
class LsText {
  public:
    explicit LsText(const LsOptions &o) : o_(o) {}

    // Starts the listing of a directory: a blank line after what came
    // before, and its "PATH:" header when `header`.
    void section(const std::string &shown, bool header) {
        if (o_.paths) return;
        if (any_ && !o_.null) out_str("\n");
        any_ = true;
        if (header) line(shown + ":");
    }
    // One entry of the directory `dir` (a volume path in UTF-8). With --paths
    // or --null the path or name ends the line, to be fed back to cat and
    // get: the label, which names no file, is left out, and -la marks deleted
    // entries in a column before the name ('*', as fls marks them), not after.
    void entry(const Listed &l, const std::string &dir) {
        const bool script = o_.paths || o_.null;
        if (script && l.label) return;
        any_ = true;
        std::string name;
        if (o_.paths) {
            std::string p = (dir == "/" ? "/" : dir + "/");
            if (o_.null) {
                p += l.label ? to_utf8(label_u32(l.entry)) : name_to_utf8(l.entry.name);
            } else {
                p = escape_display_utf8(p);
                p += entry_display(l);
            }
            if ((l.entry.attr & DV_ATTR_DIRECTORY) && !l.dot) p += '/';
            name = std::move(p);
        } else {
            name = o_.null ? (l.label ? to_utf8(label_u32(l.entry)) : name_to_utf8(l.entry.name))
                           : entry_display(l);
        }
        if (script) {
            const char *mark = o_.all ? (l.deleted ? "*" : "-") : nullptr;
            line(o_.longfmt ? long_line(l, name, o_.human, mark) : std::move(name));
            return;
        }
        std::string s = o_.longfmt ? long_line(l, name, o_.human) : std::move(name);
        if (l.deleted) s += "  [deleted]";
        if (l.label) s += "  [volume label]";
        line(std::move(s));
    }
    void line(std::string s) {
        s += o_.null ? '\0' : '\n';
        out_str(s);
    }

  private:
    const LsOptions &o_;
    bool any_ = false;
};

// Lists one directory in text: its entries in the chosen order, then with
// -R its subdirectories, each under a header.
int list_text(readfat_volume *vol, const Node &dir, const std::string &path, const LsOptions &o,
              LsText &out, bool header) {
    auto show = [&](const Listed &l) { return shown(l, o.all); };
    if (!o.recursive) {
        out.section(escape_display_utf8(path), header);
        if (int code =
                list_sorted(vol, dir, o.by, show, [&](const Listed &l) { out.entry(l, path); })) {
            report(escape_display_utf8(path), listing_message(code));
            return kFail;
        }
        return kOk;
    }
    // The walker goes down the subdirectories; each directory's own listing
    // is read once more, in order, when the walk gets there.
    Walker w(vol, [&](const Listed &l) { return descend(l, o.all); });
    w.set_order(o.by);
    int rc = kOk;
    w.start(dir, path);
    for (Walker::Step step; (step = w.next()) != Walker::Step::done;) {
        if (step == Walker::Step::listed) {
            out.section(w.shown(), true);
            int code = list_sorted(vol, w.dir_node(), o.by, show,
                                   [&](const Listed &l) { out.entry(l, w.path()); });
            if (!code) code = w.listing_error();
            if (code) {
                report(w.shown(), listing_message(code));
                rc = kFail;
            }
        } else if (step == Walker::Step::entry) {
            w.descend();
        }
    }
    return w.failed() ? kFail : rc;
}

// A directory's JSON object; with -R a directory's object ends with its
// "entries", written as the walk goes down and closed on the way back up.
int list_json(JsonWriter &j, readfat_volume *vol, const Node &dir, const std::string &path,
              const LsOptions &o) {
    j.begin_object().key("path").str_utf8(path).key("type").str_utf8("directory");
    j.key("entries").begin_array(true);
    Walker w(vol, [&](const Listed &l) { return shown(l, o.all); });
    w.set_order(o.by);
    int rc = kOk;
    w.start(dir, path);
    for (Walker::Step step; (step = w.next()) != Walker::Step::done;) {
        if (step == Walker::Step::listed && w.listing_error()) {
            report(w.shown(), w.listing_message());
            rc = kFail;
        } else if (step == Walker::Step::entry) {
            j.begin_object();
            entry_members(j, w.entry());
            if (o.recursive && descend(w.entry(), o.all) && w.descend())
                j.key("entries").begin_array(true);
            else
                j.end();
        } else if (step == Walker::Step::leave && w.depth() > 0) {
            j.end().end();
        }
    }
    j.end().end();
    return w.failed() ? kFail : rc;
}

// Opens the image (a failure is reported).
bool open_image(const Args &a, Session &s) {
    return open_session(a, a.positional[0], s);
}

// Resolves a path argument, reporting a failure. `shown` is the path as the
// output names it.
bool resolve_arg(Session &s, const std::string &user, Node &target, std::string &shown) {
    if (int code = resolve(s.vol, user, target)) {
        report(shown_path(user), dv_strerror(code));
        return false;
    }
    shown = volume_path(user);
    return true;
}

// Opens the image and resolves the command's path argument (`/` when there is none),
// reporting a failure. `shown` is the path as the output names it.
bool open_target(const Args &a, Session &s, std::string &user, Node &target, std::string &shown) {
    if (!open_image(a, s)) return false;
    user = a.positional.size() > 1 ? a.positional[1] : "/";
    return resolve_arg(s, user, target, shown);
}

// ---- ls --bodyfile ---------------------------------------------------------
// The Sleuth Kit's body file (version 3), one line per entry, as `fls -r -m /`
// writes it, for mactime to turn into a timeline:
//   MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime

// An entry's time as TSK gives it: the wall clock read in the host's zone
// (or UTC with --utc), whole seconds; 0 when the entry has none. FAT has no
// change time: ctime is always 0.
int64_t body_time(int64_t wall) {
    time_t t;
    return host_time(wall, utc_times(), t) ? static_cast<int64_t>(t) : 0;
}

// The creation time as TSK gives it. FAT's seconds are even; the 10-ms byte adds
// what the library counts in (a whole second from 100 on), but TSK adds a second
// only above 100: exactly one second more, with nothing after it, is 100.
int64_t body_crtime(const dv_entry &e) {
    const int64_t t = body_time(e.ctime64);
    return t != 0 && (e.ctime64 & 1) && e.ctime.nsec == 0 ? t - 1 : t;
}

// Entries TSK passes over as no file: an 8.3 name with a control character or
// one of "*+,./:;<=>?[\]| in it, or nothing recorded after the name (no
// times, cluster or size), as a slot wiped to 0xE5 and zeros is.
bool body_skips(const dv_entry &e) {
    for (int i = 0; i < 11; ++i) {
        const auto c = static_cast<unsigned char>(e.shortname[i]);
        if (i == 0 && (c == 0xE5 || c == 0x05)) continue;
        if (c < 0x20 || std::strchr("\"*+,./:;<=>?[\\]|", c)) return true;
    }
    return e.lcase == 0 && e.cluster == 0 && e.size64 == 0 && e.ctime64 == DV_TIME_NONE &&
           e.atime64 == DV_TIME_NONE && e.mtime64 == DV_TIME_NONE;
}

// The name TSK gives a record: its long name; an 8.3 name without one as
// stored (with its lower-case flags), each byte above 0x7E as '^'. `lib` is
// the record as the library read it (its 8.3 names in cp437).
std::string body_name(const dv_entry &lib) {
    std::string name = name_to_utf8(lib.name);
    bool high = false;
    for (int i = lib.deleted ? 1 : 0; i < 11; ++i)
        high = high || static_cast<unsigned char>(lib.shortname[i]) >= 0x7F;
    dv_name stored;
    if (!high || lib.name.len > 12 ||
        dv_shortname_to_name(lib.shortname, lib.lcase, "cp437", &stored) < 0)
        return name;
    if (static_cast<unsigned char>(lib.shortname[0]) == 0xE5 && stored.len > 0)
        stored.units[0] = '_';
    if (dv_namecmp(&stored, &lib.name) != 0) return name; // a long name
    name.clear();
    for (size_t i = 0; i < stored.len; ++i)
        name += stored.units[i] < 0x7F ? static_cast<char>(stored.units[i]) : '^';
    return name;
}

// "r/rrwxrwxrwx": the type twice, then permissions as TSK derives them from the
// attributes: read-only takes the read bits away, hidden the write bits.
std::string body_mode(const dv_entry &e) {
    const char type = (e.attr & DV_ATTR_DIRECTORY) ? 'd' : 'r';
    std::string m{type, '/', type};
    for (int i = 0; i < 3; ++i) {
        m += (e.attr & DV_ATTR_READONLY) ? '-' : 'r';
        m += (e.attr & DV_ATTR_HIDDEN) ? '-' : 'w';
        m += 'x';
    }
    return m;
}

// A directory's size as TSK gives it: the bytes of its clusters.
uint64_t body_dir_size(readfat_volume *vol, const dv_entry &e) {
    if (e.deleted) return vol->cluster_bytes; // recovery reads one cluster for sure
    uint64_t bytes = 0;
    int err = 0;
    readfat_extents_each(
        vol, &e,
        [](void *data, const readfat_extent *x) {
            *static_cast<uint64_t *>(data) += uint64_t{x->sectors} * 512u;
            return 0;
        },
        &bytes, &err);
    return bytes;
}

void body_line(std::string &out, const std::string &name, uint64_t inode, const std::string &mode,
               uint64_t size, int64_t atime, int64_t mtime, int64_t crtime) {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "|%" PRIu64 "|%s|0|0|%" PRIu64 "|%" PRId64 "|%" PRId64 "|0|%" PRId64 "\n", inode,
                  mode.c_str(), size, atime, mtime, crtime);
    out += "0|";
    out += name;
    out += buf;
}

// Writes the body file of the tree below `start` (depth first, each directory
// in the order it holds its entries, as fls goes), then, for the root, the
// volume's virtual files that fls adds ($MBR, the FATs, $OrphanFiles). Each
// level keeps only where its listing goes on: a directory's handle is closed
// while the walk is below it and moved back by position, so memory grows
// with the depth, never with a directory's size.
int list_bodyfile(readfat_volume *vol, const Node &start, const std::string &path, bool all) {
    if (vol->fat_type == DV_FAT_EXFAT) {
        report(escape_display_utf8(path), "--bodyfile reads FAT12/16/32 volumes only");
        return kFail;
    }
    struct Frame {
        Node dir;
        std::string path; // "" for the root: lines start with "/"
        uint32_t pos = 0; // raw entry the listing goes on at
        uint32_t idx = 0; // records listed so far (the first two may be "." and "..")
    };
    std::vector<Frame> stack(1);
    stack[0].dir = start;
    stack[0].path = path == "/" ? "" : path;
    // A damaged volume may link a directory into itself: go into each one once.
    std::unordered_set<uint32_t> seen;
    const WalkLimits limits = walk_limits();
    std::string out;
    int rc = kOk;
    auto failed = [&](const std::string &where, int code) {
        out_str(out);
        out.clear();
        report(escape_display_utf8(where.empty() ? "/" : where), listing_message(code));
        rc = kFail;
    };
    while (!stack.empty()) {
        Frame &f = stack.back();
        int err = 0;
        readfat_dir *d = f.dir.is_root ? readfat_opendir(vol, "", &err)
                                       : readfat_opendir_entry(vol, &f.dir.entry, &err);
        if (d && f.pos != 0 && readfat_seekdir(vol, d, f.pos, &err) != 0) {
            readfat_closedir(vol, d);
            d = nullptr;
        }
        if (!d) {
            failed(f.path, err ? err : EIO);
            stack.pop_back();
            continue;
        }
        const bool root = f.dir.is_root || f.dir.entry.cluster == 0;
        Frame child;
        bool down = false;
        for (;;) {
            err = 0;
            const dv_entry *e = readfat_readdir(vol, d, &err);
            if (!e) {
                if (err != DV_E_ENDDIR) failed(f.path, err ? err : EIO);
                break;
            }
            const uint32_t idx = f.idx++;
            const bool is_dir = (e->attr & DV_ATTR_DIRECTORY) != 0;
            if (!root && idx < 2 && is_dir &&
                std::memcmp(e->shortname, idx == 0 ? ".          " : "..         ", 11) == 0)
                continue;
            const bool deleted = e->deleted != 0;
            if ((deleted && !all) || body_skips(*e)) continue;
            readfat_where w{};
            if (readfat_entry_where(vol, d, &w, &err) != 0) {
                failed(f.path, err);
                break;
            }
            dv_entry rec;
            copy_record(rec, *e);
            decode_short_name(rec);
            const bool label = !deleted && (rec.attr & DV_ATTR_VOLUME) && !is_dir;
            std::string name = f.path + "/";
            if (label) {
                std::string text = to_utf8(label_u32(rec));
                text.resize(std::max<size_t>(text.size(), 11), ' ');
                name += text + " (Volume Label Entry)";
            } else {
                name += body_name(*e);
            }
            const bool dir = is_dir && !label;
            body_line(out, deleted ? name + " (deleted)" : name, w.address, body_mode(rec),
                      dir ? body_dir_size(vol, rec) : rec.size64, body_time(rec.atime64),
                      body_time(rec.mtime64), body_crtime(rec));
            if (out.size() > 1 << 16) {
                out_str(out);
                out.clear();
            }
            if (!dir || rec.cluster == 0 || stack.size() > limits.max_depth) continue;
            if (!deleted && !seen.insert(rec.cluster).second) continue;
            child.dir.entry = rec;
            child.path = std::move(name);
            f.pos = readfat_telldir(vol, d);
            down = true;
            break;
        }
        readfat_closedir(vol, d);
        if (down)
            stack.push_back(std::move(child)); // `f` is not used after this
        else
            stack.pop_back();
    }
    if (!start.is_root) {
        out_str(out);
        return rc;
    }
    // fls numbers these after the last directory slot the boot sector's sector count gives.
    readfat_volinfo info{};
    readfat_info(vol, &info);
    const uint64_t first =
        info.fat_type == 32 ? info.first_data_sector
                            : info.reserved_sectors + uint64_t{info.fat_count} * info.fat_sectors;
    const uint64_t slots = info.total_sectors > first ? info.total_sectors - first : 0;
    uint64_t inode = slots * (info.bytes_per_sector / 32u) + 3u;
    body_line(out, "/$MBR", inode++, "v/v---------", info.bytes_per_sector, 0, 0, 0);
    for (uint32_t i = 1; i <= info.fat_count; ++i)
        body_line(out, "/$FAT" + std::to_string(i), inode++, "v/v---------",
                  uint64_t{info.fat_sectors} * info.bytes_per_sector, 0, 0, 0);
    body_line(out, "/$OrphanFiles", inode, "V/V---------", 0, 0, 0, 0);
    out_str(out);
    return rc;
}

} // namespace

int cmd_ls(const Args &a) {
    Session s;
    if (!open_image(a, s)) return kFail;
    const OrphansNote orphans_note(s);
    const LsOptions o = ls_options(a);
    if (a.has("bodyfile")) {
        const std::string user = a.positional.size() > 1 ? a.positional[1] : "/";
        Node target;
        std::string path;
        if (a.positional.size() > 2) return usage_error("ls", "--bodyfile takes one directory");
        if (!resolve_arg(s, user, target, path)) return kFail;
        if (!target.is_dir()) {
            report(shown_path(user), dv_strerror(ENOTDIR));
            return kFail;
        }
        return list_bodyfile(s.vol, target, path, a.has("all"));
    }
    std::vector<std::string> users(a.positional.begin() + 1, a.positional.end());
    if (users.empty()) users.push_back("/");
    // Like ls(1): the file arguments first, then each directory.
    struct Target {
        Node node;
        std::string path;
    };
    std::vector<Target> files, dirs;
    int rc = kOk;
    for (const std::string &user : users) {
        Target t;
        if (!resolve_arg(s, user, t.node, t.path)) {
            rc = kFail;
            continue;
        }
        (t.node.is_dir() ? dirs : files).push_back(std::move(t));
    }
    auto as_listed = [](const Node &n) {
        Listed l;
        l.entry = n.entry;
        l.deleted = n.entry.deleted != 0;
        return l;
    };
    if (o.json) {
        // Several paths make an array of the documents one path makes.
        JsonWriter j(stdout);
        bool many = users.size() > 1;
        if (many) j.begin_array(true);
        for (const Target &t : files) {
            j.begin_object().key("path").str_utf8(t.path).key("type").str_utf8("file");
            j.key("entries").begin_array(true).begin_object();
            entry_members(j, as_listed(t.node));
            j.end().end().end();
        }
        for (const Target &t : dirs)
            if (list_json(j, s.vol, t.node, t.path, o) != kOk) rc = kFail;
        j.finish();
        return rc;
    }
    LsText out(o);
    for (const Target &t : files) {
        std::string parent = t.path.substr(0, t.path.rfind('/'));
        if (o.paths) {
            Listed l = as_listed(t.node);
            out.entry(l, parent.empty() ? "/" : parent);
        } else {
            // As the user named it.
            Listed l = as_listed(t.node);
            out.entry(l, "/");
        }
    }
    bool headers = users.size() > 1 || o.recursive;
    for (const Target &t : dirs)
        if (list_text(s.vol, t.node, t.path, o, out, headers) != kOk) rc = kFail;
    return rc;
}

// ---- tree -------------------------------------------------------------------

int cmd_tree(const Args &a) {
    Session s;
    std::string user, path;
    Node target;
    if (!open_target(a, s, user, target, path)) return kFail;
    if (!target.is_dir()) {
        report(shown_path(user), dv_strerror(ENOTDIR));
        return kFail;
    }
    bool all = a.has("all");
    Walker w(s.vol, [&](const Listed &l) { return !l.dot && (all || (!l.deleted && !l.label)); });
    // Names in the order tree(1) gives them.
    w.set_order(SortBy{Order::name, false});
    // One flag per level below the start: whether that directory was the last
    // item of its parent, which decides what its column shows on the lines
    // below it. `prefix` is those columns drawn, one segment per flag.
    std::vector<bool> last_at;
    std::string prefix;
    auto segment = [](bool last) { return last ? "    " : "│   "; };
    std::string line; // reused: deep lines are long
    uint64_t dirs = 0, files = 0;
    int rc = kOk;
    out_str(escape_display_utf8(path) + "\n");
    w.start(target, path);
    for (Walker::Step step; (step = w.next()) != Walker::Step::done;) {
        if (step == Walker::Step::listed && w.listing_error()) {
            report(w.shown(), w.listing_message());
            rc = kFail;
        } else if (step == Walker::Step::leave && w.depth() > 0) {
            // Both segments are 4 columns but not 4 bytes: take off what was added.
            const size_t drop = last_at.back() ? std::strlen("    ") : std::strlen("│   ");
            prefix.erase(prefix.size() > drop ? prefix.size() - drop : 0);
            last_at.pop_back();
        } else if (step == Walker::Step::entry) {
            const Listed &l = w.entry();
            bool last = w.last();
            line.assign(prefix);
            line += last ? "└── " : "├── ";
            line += entry_display(l);
            if (l.deleted) line += "  [deleted]";
            if (l.label) line += "  [volume label]";
            line += '\n';
            out_str(line);
            if (l.label) continue;
            // The counts are of live entries; deleted ones (only with -a) are walked too.
            bool is_dir = (l.entry.attr & DV_ATTR_DIRECTORY) != 0;
            if (!l.deleted) ++(is_dir ? dirs : files);
            if (is_dir && w.descend()) {
                last_at.push_back(last);
                prefix += segment(last);
            }
        }
    }
    out_str("\n" + std::to_string(dirs) + (dirs == 1 ? " directory, " : " directories, ") +
            std::to_string(files) + (files == 1 ? " file\n" : " files\n"));
    return w.failed() ? kFail : rc;
}

// ---- stat -------------------------------------------------------------------

namespace {

// Where an entry's data lies, as the library reports it, and the code that
// ended the walk (0 when it went to the end).
struct Runs {
    std::vector<readfat_extent> list;
    int code = 0;
};

Runs runs_of(readfat_volume *vol, const dv_entry &e) {
    Runs r;
    int err = 0;
    if (readfat_extents_each(
            vol, &e,
            [](void *d, const readfat_extent *x) {
                static_cast<std::vector<readfat_extent> *>(d)->push_back(*x);
                return 0;
            },
            &r.list, &err) != 0)
        r.code = err ? err : EIO;
    return r;
}

void runs_json(JsonWriter &j, const Runs &r) {
    j.key("extents").begin_array(true);
    for (const readfat_extent &x : r.list) {
        j.begin_object().key("offset").num(x.offset64).key("sector").num(x.sector);
        j.key("sectors").num(x.sectors).key("cluster").num(x.cluster);
        j.key("clusters").num(x.clusters).key("bytes").num(x.bytes);
        j.key("recovered").boolean(x.flags & READFAT_EXTENT_RECOVERED);
        j.key("damaged").boolean(x.flags & READFAT_EXTENT_DAMAGED).end();
    }
    j.end();
    if (r.code) j.key("extents_error").str_utf8(dv_strerror(r.code));
}

// One line per run under a header; deleted files' runs say how they were
// found.
std::string runs_text(const Runs &r) {
    std::string out = "Extents:     " + std::to_string(r.list.size()) +
                      (r.list.size() == 1 ? " run\n" : " runs\n");
    if (r.list.empty()) return out;
    char line[160];
    std::snprintf(line, sizeof line, "  %12s %14s %10s %10s %10s %12s\n", "offset", "sector",
                  "sectors", "cluster", "clusters", "bytes");
    out += line;
    for (const readfat_extent &x : r.list) {
        const char *how = (x.flags & READFAT_EXTENT_DAMAGED)     ? "  recovered, damaged"
                          : (x.flags & READFAT_EXTENT_RECOVERED) ? "  recovered"
                                                                 : "";
        std::snprintf(line, sizeof line,
                      "  %12" PRIu64 " %14" PRIu64 " %10" PRIu32 " %10" PRIu32 " %10" PRIu32
                      " %12" PRIu32 "%s\n",
                      x.offset64, x.sector, x.sectors, x.cluster, x.clusters, x.bytes, how);
        out += line;
    }
    return out;
}

} // namespace

int cmd_stat(const Args &a) {
    Session s;
    std::string user, path;
    Node n;
    if (!open_target(a, s, user, n, path)) return kFail;
    const bool clusters = a.has("clusters");
    Runs runs;
    if (clusters) {
        dv_entry root{};
        root.attr = DV_ATTR_DIRECTORY;
        runs = runs_of(s.vol, n.is_root ? root : n.entry);
    }
    // A chain that breaks is told after what was found.
    auto finish = [&] {
        if (!runs.code) return kOk;
        report(escape_display_utf8(path), std::string("extents: ") + dv_strerror(runs.code));
        return kFail;
    };
    if (n.is_root) {
        if (a.has("json")) {
            JsonWriter j(stdout);
            j.begin_object().key("path").str_utf8("/").key("name").str_utf8("");
            j.key("type").str_utf8("directory").key("root").boolean(true);
            j.key("cluster").num(s.vol->root_cluster);
            if (clusters) runs_json(j, runs);
            j.finish();
        } else {
            out_str("Path:        /\nType:        directory (the root; it has no entry of "
                    "its own)\nCluster:     " +
                    std::to_string(s.vol->root_cluster) + "\n" + (clusters ? runs_text(runs) : ""));
        }
        return finish();
    }
    Listed l;
    l.entry = n.entry;
    l.deleted = n.entry.deleted != 0;
    if (a.has("json")) {
        JsonWriter j(stdout);
        j.begin_object().key("path").str_utf8(path);
        entry_members(j, l);
        if (clusters) runs_json(j, runs);
        j.finish();
        return finish();
    }
    const dv_entry &e = n.entry;
    char attr[64];
    std::snprintf(attr, sizeof attr, "0x%02X", static_cast<unsigned>(e.attr & 0xFF));
    std::string attrs = attr;
    for (const std::string &nm : attr_names(e.attr)) attrs += " " + nm;
    std::string raw;
    for (int i = 0; i < 11; ++i) {
        unsigned char c = static_cast<unsigned char>(e.shortname[i]);
        char b[8];
        if (c >= 0x20 && c < 0x7F && c != '\\')
            raw.push_back(static_cast<char>(c));
        else {
            std::snprintf(b, sizeof b, "\\x%02X", c);
            raw += b;
        }
    }
    std::string out;
    out += "Path:        " + escape_display_utf8(path) + "\n";
    out += "Name:        " + display_name(e.name) + "\n";
    // exFAT has no 8.3 names; its times may carry their UTC offsets, and the access time
    // its time of day.
    const bool exfat = exfat_record(e);
    if (!exfat) out += "Short name:  " + short_display(e) + "  (stored \"" + raw + "\")\n";
    out += "Type:        " + kind_of(e) + "\n";
    out += "Attributes:  " + attrs + "\n";
    out += "Cluster:     " + std::to_string(e.cluster) + "\n";
    out += "Size:        " + std::to_string(e.size64) + " bytes\n";
    if (exfat && e.valid64 < e.size64)
        out += "Valid data:  " + std::to_string(e.valid64) + " bytes (the rest reads as zeros)\n";
    if (exfat && !(e.attr & DV_ATTR_VOLUME))
        out += std::string("Allocation:  ") + ((e.stream_flags & DV_STREAM_CONTIGUOUS)
                                                   ? "contiguous (no FAT chain)\n"
                                                   : "FAT chain\n");
    out += "Created:     " + recorded_time(e.ctime64, e.utc_offset[0], e.ctime.nsec) + "\n";
    out += "Modified:    " + recorded_time(e.mtime64, e.utc_offset[1], e.mtime.nsec) + "\n";
    out += "Accessed:    " + recorded_time(e.atime64, e.utc_offset[2], 0, !exfat) + "\n";
    if (clusters) out += runs_text(runs);
    out_str(out);
    return finish();
}

// ---- info -------------------------------------------------------------------

namespace {

// Everything info shows, gathered before either form is written.
struct InfoReport {
    std::string image;
    uint64_t image_bytes = 0, image_sectors = 0;
    PartitionTable table;
    bool mounted = false;
    std::string where, oem, label, volume_id;
    uint64_t start = 0, sectors = 0;
    uint32_t sectors_per_cluster = 0, cluster_bytes = 0, reserved = 0, fats = 0;
    uint32_t fat_sectors = 0, root_cluster = 0, fat_type = 0, bytes_per_sector = 0;
    uint32_t root_entries = 0;
    uint64_t fat_start = 0, data_start = 0, clusters = 0;
    int64_t free_clusters = -1; // counted in the FAT; -1: unknown (the FAT unreadable)
    int64_t fsinfo_free = -1;   // FAT32's FSInfo hint; -1: none, or not plausible
    uint32_t notes = 0;         // DV_VOL_NOTE_* of the volume record
    uint32_t backup_boot = 0;   // the backup boot sector mounted from, or 0
    uint64_t files = 0, dirs = 0, file_bytes = 0;
    // exFAT: the rest of its boot sector and of the root's bitmap and up-case entries.
    uint32_t revision = 0, volume_flags = 0, percent_stored = 0;
    uint32_t bitmap_cluster = 0, upcase_cluster = 0, upcase_checksum = 0;
    uint64_t bitmap_bytes = 0, upcase_bytes = 0, partition_offset = 0;
    bool exfat() const { return fat_type == DV_FAT_EXFAT; }
    // The share of clusters in use as the bitmap counts it, rounded down; -1: unknown.
    int64_t percent_counted() const {
        if (free_clusters < 0 || clusters == 0) return -1;
        return static_cast<int64_t>((clusters - static_cast<uint64_t>(free_clusters)) * 100 /
                                    clusters);
    }
    std::string revision_text() const {
        char b[16];
        std::snprintf(b, sizeof b, "%u.%02u", revision >> 8, revision & 0xFF);
        return b;
    }
};

// Counts the files, directories and bytes of the volume and finds the label
// entry of the root. Returns kOk or kFail after reporting.
int count_tree(readfat_volume *vol, InfoReport &r) {
    std::string label;
    Walker w(vol, [&](const Listed &l) {
        if (l.label && label.empty() && w.depth() == 0) {
            if (exfat_record(l.entry)) {
                label = name_to_utf8(l.entry.name);
            } else {
                label.assign(l.entry.shortname, strnlen(l.entry.shortname, 11));
                while (!label.empty() && label.back() == ' ') label.pop_back();
            }
        }
        if (l.dot || l.deleted || l.label) return false;
        if (l.entry.attr & DV_ATTR_DIRECTORY) {
            ++r.dirs;
            return true;
        }
        ++r.files;
        r.file_bytes += l.entry.size64;
        return false;
    });
    int rc = kOk;
    Node root;
    root.is_root = true;
    w.start(root, "/");
    for (Walker::Step step; (step = w.next()) != Walker::Step::done;) {
        if (step == Walker::Step::listed && w.listing_error()) {
            report(w.shown(), w.listing_message());
            rc = kFail;
        } else if (step == Walker::Step::entry) {
            w.descend();
        }
    }
    if (!label.empty()) r.label = label;
    return w.failed() ? kFail : rc;
}

// The boot-sector text fields as shown: trailing spaces and zeros dropped.
std::string field_text(const char *p, size_t n) {
    std::string t(p, strnlen(p, n));
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

// Takes the volume record and walks the mounted volume.
int gather_volume(Session &s, InfoReport &r) {
    const readfat_volinfo &v = s.image.volume_info();
    const uint64_t vol_sectors = s.image.volume_end() - s.image.volume_start();
    r.mounted = true;
    r.where = s.image.volume_where();
    r.start = s.image.volume_start();
    // In 512-byte sectors: the volume's logical sectors may be larger.
    const uint32_t per = v.bytes_per_sector / 512;
    const uint64_t total = v.total_sectors * per;
    r.sectors = total ? std::min<uint64_t>(total, vol_sectors) : vol_sectors;
    r.clusters = v.cluster_count;
    r.fat_type = v.fat_type;
    r.bytes_per_sector = v.bytes_per_sector;
    r.root_entries = v.root_entries;
    // FSInfo's count when it is there and plausible.
    if (v.fsinfo_free != 0xFFFFFFFFu && v.fsinfo_free <= r.clusters) r.fsinfo_free = v.fsinfo_free;
    // The FAT says what is free; FSInfo is only a hint that may be stale.
    uint32_t free = 0;
    int err = 0;
    int rc = kOk;
    if (readfat_free_clusters(s.vol, &free, &err) == 0) {
        r.free_clusters = free;
    } else {
        report_code(escape_display_utf8(r.image) + ": counting free clusters", err);
        rc = kFail;
    }
    r.oem = field_text(v.oem_name, sizeof v.oem_name);
    r.label = field_text(v.label, sizeof v.label);
    char vid[16];
    std::snprintf(vid, sizeof vid, "%04X-%04X", v.volume_id >> 16, v.volume_id & 0xFFFF);
    r.volume_id = vid;
    r.sectors_per_cluster = v.sectors_per_cluster;
    r.cluster_bytes = v.cluster_bytes;
    r.reserved = v.reserved_sectors;
    r.fats = v.fat_count;
    r.fat_sectors = v.fat_sectors;
    r.fat_start = v.first_fat_sector;
    r.data_start = v.first_data_sector;
    r.root_cluster = v.root_cluster;
    r.notes = v.notes;
    r.backup_boot = (v.notes & DV_VOL_NOTE_BACKUP_BOOT) ? v.backup_boot_sector : 0;
    r.revision = v.fs_revision;
    r.volume_flags = v.volume_flags;
    r.percent_stored = v.percent_in_use;
    r.bitmap_cluster = v.bitmap_cluster;
    r.bitmap_bytes = v.bitmap_bytes;
    r.upcase_cluster = v.upcase_cluster;
    r.upcase_checksum = v.upcase_checksum;
    r.upcase_bytes = v.upcase_bytes;
    r.partition_offset = v.partition_offset;
    // The root's label entry wins over the boot sector's.
    if (count_tree(s.vol, r) != kOk) rc = kFail;
    if (r.label == "NO NAME") r.label.clear();
    return rc;
}

// The partition table's rows under their headings, each column as wide as what it holds,
// so long GPT type names keep the columns in line.
std::string partition_rows(const std::vector<Partition> &parts) {
    if (parts.empty()) return "";
    struct Row {
        std::string cells[6];
        std::string name;
    };
    std::vector<Row> rows{{{"#", "Type", "Start", "Sectors", "Size", "File system"}, ""}};
    for (const Partition &p : parts)
        rows.push_back(
            {{std::to_string(p.number), p.type + " " + p.type_name, std::to_string(p.start),
              std::to_string(p.sectors), human_size(p.sectors * 512), fs_shown(p)},
             p.name.empty() ? "" : "  \"" + p.name + "\""});
    size_t width[6] = {};
    for (const Row &row : rows)
        for (size_t c = 0; c < 6; ++c) width[c] = std::max(width[c], row.cells[c].size());
    std::string out;
    for (const Row &row : rows) {
        std::string line = "  ";
        for (size_t c = 0; c < 6; ++c) {
            const std::string pad(width[c] - row.cells[c].size(), ' ');
            // Numbers and sizes to the right, text to the left; the last column unpadded.
            if (c > 0) line += "  ";
            line += c >= 2 && c <= 4 ? pad + row.cells[c] : row.cells[c] + (c == 5 ? "" : pad);
        }
        out += line + row.name + "\n";
    }
    return out;
}

// What the volume record says of the volume's state: "clean", "dirty (...)" and the marks of
// a damaged boot sector or recorded I/O errors; "" when nothing is known (FAT12 keeps no flag).
std::string volume_state(const InfoReport &r) {
    std::string state;
    if (r.exfat())
        state = (r.notes & DV_VOL_NOTE_DIRTY) ? "dirty (not closed cleanly: fsck.exfat closes it)"
                                              : "clean";
    else if (r.fat_type != 12 && !(r.notes & DV_VOL_NOTE_FAT_UNREADABLE))
        state = (r.notes & DV_VOL_NOTE_DIRTY) ? "dirty (not closed cleanly: fsck or a write "
                                                "with dorvex closes it)"
                                              : "clean";
    auto add = [&](const std::string &what) { state += (state.empty() ? "" : "; ") + what; };
    if (r.fat_type != 12 && (r.notes & DV_VOL_NOTE_HARD_ERROR))
        add(r.exfat() ? "media failure recorded" : "I/O errors recorded");
    if (r.exfat() && (r.notes & DV_VOL_NOTE_BACKUP_BOOT))
        add("main boot region damaged, read from the backup boot region");
    else if (r.backup_boot)
        add("boot sector damaged, read from the backup at sector " + std::to_string(r.backup_boot));
    if (r.notes & DV_VOL_NOTE_UPCASE_BAD) add("up-case table damaged, the default one used");
    if (r.notes & DV_VOL_NOTE_BITMAP_BAD)
        add("allocation bitmap damaged: free clusters and recovery checks unknown");
    return state;
}

// The volume's lines of an exFAT volume; `free` is the free clusters' text.
std::string exfat_text(const InfoReport &r, const std::string &free) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", r.upcase_checksum);
    std::string out;
    out += "  File system:         exFAT, revision " + r.revision_text() + "\n";
    out += "  Label:               " + (r.label.empty() ? "(none)" : escape_display_utf8(r.label)) +
           "\n";
    out += "  Serial number:       " + r.volume_id + "\n";
    out += "  Bytes per sector:    " + std::to_string(r.bytes_per_sector) + "\n";
    out += "  Bytes per cluster:   " + std::to_string(r.cluster_bytes) + " (" +
           std::to_string(r.sectors_per_cluster) +
           (r.sectors_per_cluster == 1 ? " sector)\n" : " sectors)\n");
    out += "  FATs:                " + std::to_string(r.fats) + " x " +
           std::to_string(r.fat_sectors) + " sectors, first at sector " +
           std::to_string(r.fat_start) +
           (r.fats > 1 && (r.volume_flags & 1) ? ", second active" : "") + "\n";
    out += "  Cluster heap:        sector " + std::to_string(r.data_start) + "\n";
    out += "  Root cluster:        " + std::to_string(r.root_cluster) + "\n";
    out += "  Allocation bitmap:   cluster " + std::to_string(r.bitmap_cluster) + ", " +
           std::to_string(r.bitmap_bytes) + " bytes\n";
    out += "  Up-case table:       cluster " + std::to_string(r.upcase_cluster) + ", " +
           std::to_string(r.upcase_bytes) + " bytes, checksum " + hex + "\n";
    out += "  Clusters:            " + std::to_string(r.clusters) + "\n";
    out += "  Free clusters:       " + free + "\n";
    std::string in_use =
        r.percent_stored <= 100 ? std::to_string(r.percent_stored) + "%" : std::string("unknown");
    in_use += " as stored";
    if (r.percent_counted() >= 0)
        in_use += ", " + std::to_string(r.percent_counted()) + "% counted in the bitmap";
    out += "  In use:              " + in_use + "\n";
    if (const std::string state = volume_state(r); !state.empty())
        out += "  State:               " + state + "\n";
    out += "  Files:               " + std::to_string(r.files) + " (" + human_size(r.file_bytes) +
           ")\n";
    out += "  Directories:         " + std::to_string(r.dirs) + "\n";
    return out;
}

void info_text(const InfoReport &r) {
    std::string out;
    out += "Image:           " + escape_display_utf8(r.image) + " (" +
           std::to_string(r.image_bytes) + " bytes, " + std::to_string(r.image_sectors) +
           " sectors of 512 bytes)\n";
    out += "Partition table: " + r.table.kind + "\n";
    out += partition_rows(r.table.parts);
    for (const std::string &n : r.table.notes) out += "  note: " + n + "\n";
    if (!r.mounted) {
        out_str(out);
        return;
    }
    std::string free = "unknown";
    if (r.free_clusters >= 0)
        free = std::to_string(r.free_clusters) + " (" +
               human_size(static_cast<uint64_t>(r.free_clusters) * r.cluster_bytes) + ")";
    if (r.fsinfo_free >= 0 && r.fsinfo_free != r.free_clusters)
        free += ", FSInfo says " + std::to_string(r.fsinfo_free);
    out += "Volume:          " + r.where + ", sectors " + std::to_string(r.start) + " to " +
           std::to_string(r.start + r.sectors - 1) + " (" + human_size(r.sectors * 512) + ")\n";
    if (r.exfat()) {
        out += exfat_text(r, free);
        out_str(out);
        return;
    }
    out += "  OEM name:            " + escape_display_utf8(r.oem) + "\n";
    out += "  Label:               " + (r.label.empty() ? "(none)" : escape_display_utf8(r.label)) +
           "\n";
    out += "  Volume ID:           " + r.volume_id + "\n";
    out += "  FAT type:            FAT" + std::to_string(r.fat_type) + "\n";
    out += "  Bytes per sector:    " + std::to_string(r.bytes_per_sector) + "\n";
    out += "  Bytes per cluster:   " + std::to_string(r.cluster_bytes) + " (" +
           std::to_string(r.sectors_per_cluster) +
           (r.sectors_per_cluster == 1 ? " sector)\n" : " sectors)\n");
    out += "  Reserved sectors:    " + std::to_string(r.reserved) + "\n";
    out += "  FATs:                " + std::to_string(r.fats) + " x " +
           std::to_string(r.fat_sectors) + " sectors, first at sector " +
           std::to_string(r.fat_start) + "\n";
    out += "  Data start:          sector " + std::to_string(r.data_start) + "\n";
    if (r.fat_type == 32)
        out += "  Root cluster:        " + std::to_string(r.root_cluster) + "\n";
    else
        out += "  Root entries:        " + std::to_string(r.root_entries) + "\n";
    out += "  Clusters:            " + std::to_string(r.clusters) + "\n";
    out += "  Free clusters:       " + free + "\n";
    if (const std::string state = volume_state(r); !state.empty())
        out += "  State:               " + state + "\n";
    out += "  Files:               " + std::to_string(r.files) + " (" + human_size(r.file_bytes) +
           ")\n";
    out += "  Directories:         " + std::to_string(r.dirs) + "\n";
    out_str(out);
}

void info_json(const InfoReport &r) {
    JsonWriter j(stdout);
    j.begin_object().key("image").str_utf8(r.image).key("size").num(r.image_bytes);
    j.key("partition_table").str_utf8(r.table.kind);
    j.key("partitions").begin_array(true);
    for (const Partition &p : r.table.parts) {
        j.begin_object().key("number").num(p.number);
        j.key("type").str_utf8(p.type).key("type_name").str_utf8(p.type_name);
        j.key("name").str_utf8(p.name).key("start").num(p.start).key("sectors").num(p.sectors);
        j.key("fat32").boolean(p.fat == 32).key("file_system").str_utf8(fs_shown(p));
        j.key("fat");
        if (p.fat)
            j.num(p.fat);
        else
            j.null();
        j.end();
    }
    j.end().line_break().key("volume");
    if (!r.mounted) {
        j.null();
        j.finish();
        return;
    }
    j.begin_object().key("where").str_utf8(r.where).key("start_sector").num(r.start);
    j.key("sectors").num(r.sectors).key("oem").str_utf8(r.oem).key("label").str_utf8(r.label);
    j.key("volume_id").str_utf8(r.volume_id).key("fat_type").num(r.fat_type);
    j.key("bytes_per_sector").num(r.bytes_per_sector);
    j.key("sectors_per_cluster").num(r.sectors_per_cluster);
    j.key("bytes_per_cluster").num(r.cluster_bytes);
    j.key("reserved_sectors").num(r.reserved).key("fats").num(r.fats);
    j.key("fat_sectors").num(r.fat_sectors).key("fat_start").num(r.fat_start);
    j.key("data_start").num(r.data_start).key("root_cluster").num(r.root_cluster);
    j.key("root_entries").num(r.root_entries);
    j.key("clusters").num(r.clusters);
    for (const auto &[key, value] :
         {std::pair{"free_clusters", r.free_clusters}, {"fsinfo_free_clusters", r.fsinfo_free}}) {
        j.key(key);
        if (value < 0)
            j.null();
        else
            j.num(static_cast<uint64_t>(value));
    }
    j.key("files").num(r.files).key("directories").num(r.dirs);
    j.key("file_bytes").num(r.file_bytes);
    // FAT12 keeps no clean flag.
    j.key("dirty");
    if (r.fat_type == 12 || (r.notes & DV_VOL_NOTE_FAT_UNREADABLE))
        j.null();
    else
        j.boolean((r.notes & DV_VOL_NOTE_DIRTY) != 0);
    j.key("backup_boot_sector");
    if (r.backup_boot && !r.exfat())
        j.num(r.backup_boot);
    else
        j.null();
    j.key("file_system").str_utf8(r.exfat() ? "exFAT" : "FAT" + std::to_string(r.fat_type));
    j.key("exfat");
    if (!r.exfat()) {
        j.null();
        j.finish();
        return;
    }
    j.begin_object().key("revision").str_utf8(r.revision_text());
    j.key("volume_flags").num(r.volume_flags);
    j.key("active_fat").num((r.volume_flags & 1) ? 2 : 1);
    j.key("cluster_heap_start").num(r.data_start);
    j.key("bitmap_cluster").num(r.bitmap_cluster).key("bitmap_bytes").num(r.bitmap_bytes);
    j.key("upcase_cluster").num(r.upcase_cluster).key("upcase_bytes").num(r.upcase_bytes);
    j.key("upcase_checksum").num(r.upcase_checksum);
    j.key("partition_offset").num(r.partition_offset);
    j.key("percent_in_use");
    if (r.percent_stored <= 100)
        j.num(r.percent_stored);
    else
        j.null();
    j.key("percent_in_use_counted");
    if (r.percent_counted() >= 0)
        j.num(static_cast<uint64_t>(r.percent_counted()));
    else
        j.null();
    j.key("media_failure").boolean((r.notes & DV_VOL_NOTE_HARD_ERROR) != 0);
    j.key("backup_boot_region").boolean((r.notes & DV_VOL_NOTE_BACKUP_BOOT) != 0);
    j.key("upcase_bad").boolean((r.notes & DV_VOL_NOTE_UPCASE_BAD) != 0);
    j.key("bitmap_bad").boolean((r.notes & DV_VOL_NOTE_BITMAP_BAD) != 0);
    j.end();
    j.finish();
}

} // namespace

int cmd_info(const Args &a) {
    Session s;
    std::string error;
    InfoReport r;
    r.image = a.positional[0];
    if (!s.image.open(r.image, error)) {
        report(escape_display_utf8(r.image), error);
        return kFail;
    }
    r.image_bytes = s.image.size_bytes();
    r.image_sectors = s.image.sectors();
    r.table = s.image.partitions();
    int rc = kFail;
    s.vol = s.image.mount(a.volume, error);
    if (s.vol) {
        rc = gather_volume(s, r);
        // The text shows them with the table's notes; JSON has no place for them.
        for (const std::string &n : s.image.notes()) {
            if (a.has("json"))
                warning(escape_display_utf8(r.image) + ": " + n);
            else
                r.table.notes.push_back(n);
        }
    } else {
        std::string where = s.image.volume_where();
        report(escape_display_utf8(r.image) +
                   (where.empty() || where == "whole image" ? "" : " (" + where + ")"),
               error);
    }
    if (a.has("json"))
        info_json(r);
    else
        info_text(r);
    return rc;
}

} // namespace dvcli
