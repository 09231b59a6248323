// info, ls, tree and stat: everything that only reads directories.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>

#include "cli.h"
#include "text.h"

namespace dvcli {

namespace {

std::string entry_display(const Listed &l) {
    std::u32string n = name_to_u32(l.entry.name);
    if (l.deleted && !n.empty()) n[0] = '?'; // the first byte was overwritten with 0xE5
    return escape_display(n);
}

std::string short_display(const dv_entry &e) {
    return escape_display(short_name_u32(e.shortname));
}

std::string kind_of(const dv_entry &e, bool root = false) {
    if (root || (e.attr & DV_ATTR_DIRECTORY)) return "directory";
    if (e.attr & DV_ATTR_VOLUME) return "volume-label";
    return "file";
}

std::string entry_json(const Listed &l) {
    const dv_entry &e = l.entry;
    std::u32string n = name_to_u32(e.name);
    if (l.deleted && !n.empty()) n[0] = '?';
    std::string s = "{\"name\":" + json_string(n);
    s += ",\"short_name\":" + json_string(short_name_u32(e.shortname));
    s += ",\"type\":\"" + kind_of(e) + "\"";
    s += ",\"attr\":" + std::to_string(e.attr) + ",\"attributes\":[";
    std::vector<std::string> names = attr_names(e.attr);
    for (size_t i = 0; i < names.size(); ++i) s += (i ? ",\"" : "\"") + names[i] + "\"";
    s += "],\"cluster\":" + std::to_string(e.cluster) + ",\"size\":" + std::to_string(e.size);
    s += ",\"created\":\"" + iso_time(e.ctime) + "\",\"modified\":\"" + iso_time(e.mtime) +
         "\",\"accessed\":\"" + iso_time(e.atime, true) + "\"";
    s += std::string(",\"deleted\":") + (l.deleted ? "true" : "false");
    s += "}";
    return s;
}

bool shown(const Listed &l, bool all) {
    return all || (!l.dot && !l.deleted && !l.label);
}

// Directories worth descending into: real subdirectories only.
bool descend(const Listed &l) {
    return !l.dot && !l.deleted && !l.label && (l.entry.attr & DV_ATTR_DIRECTORY);
}

std::string join(const std::string &dir, const std::string &name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string long_line(const Listed &l) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %10" PRIu32 " ", attr_letters(l.entry.attr).c_str(),
                  l.entry.size);
    std::string s = buf;
    s += iso_time(l.entry.mtime);
    std::string sn = short_display(l.entry);
    if (sn.size() < 12) sn.resize(12, ' ');
    s += "  " + sn + "  " + entry_display(l);
    if (l.deleted) s += "  [deleted]";
    if (l.label) s += "  [volume label]";
    return s;
}

std::string short_line(const Listed &l) {
    std::string s = entry_display(l);
    if (l.deleted) s += "  [deleted]";
    if (l.label) s += "  [volume label]";
    return s;
}

struct Lister {
    readfat_volume *vol;
    bool all, longfmt, recursive, json;
    std::set<uint32_t> seen;
    int rc = kOk;

    // Text listing of one directory; then its subdirectories with -R.
    void text(const Node &dir, const std::string &path, bool header) {
        // Entries are printed as they are read; only the subdirectories to
        // visit next are kept, since the walk closes this handle first.
        if (header) out_str(escape_display_utf8(path) + ":\n");
        std::vector<dv_entry> subdirs;
        std::string line;
        int code = scan_dir(vol, dir, [&](const Listed &l) {
            if (shown(l, all)) {
                line = longfmt ? long_line(l) : short_line(l);
                line += '\n';
                out_str(line);
            }
            if (recursive && descend(l)) subdirs.push_back(l.entry);
            return true;
        });
        if (code) {
            report(escape_display_utf8(path), dv_strerror(code));
            rc = kFail;
        }
        if (!recursive) return;
        for (const dv_entry &e : subdirs) {
            Node sub;
            sub.entry = e;
            std::string p = join(path, name_to_utf8(e.name));
            if (!seen.insert(dir_cluster(vol, sub)).second) {
                warning(escape_display_utf8(p) + ": directory loop, not followed");
                rc = kFail;
                continue;
            }
            out_str("\n");
            text(sub, p, true);
        }
    }

    // JSON array of one directory's entries, nested with -R.
    std::string json_list(const Node &dir, const std::string &path) {
        std::vector<Listed> list;
        int code = list_dir(vol, dir, list);
        if (code) {
            report(escape_display_utf8(path), dv_strerror(code));
            rc = kFail;
        }
        std::string s = "[";
        bool first = true;
        for (const Listed &l : list) {
            if (!shown(l, all)) continue;
            std::string obj = entry_json(l);
            if (recursive && descend(l)) {
                Node sub;
                sub.entry = l.entry;
                std::string p = join(path, name_to_utf8(l.entry.name));
                if (seen.insert(dir_cluster(vol, sub)).second) {
                    obj.pop_back();
                    obj += ",\"entries\":" + json_list(sub, p) + "}";
                } else {
                    warning(escape_display_utf8(p) + ": directory loop, not followed");
                    rc = kFail;
                }
            }
            s += (first ? "\n" : ",\n") + obj;
            first = false;
        }
        return s + "]";
    }
};

// Opens the image and resolves the command's path argument (`/` when there is none),
// reporting a failure. `shown` is the path as the output names it.
bool open_target(const Args &a, Session &s, std::string &user, Node &target, std::string &shown) {
    if (!open_session(a, a.positional[0], s)) return false;
    user = a.positional.size() > 1 ? a.positional[1] : "/";
    if (int code = resolve(s.vol, user, target)) {
        report(shown_path(user), dv_strerror(code));
        return false;
    }
    shown = "/";
    for (const std::string &c : split_path(user)) shown = join(shown, c);
    return true;
}

} // namespace

int cmd_ls(const Args &a) {
    Session s;
    std::string user, path;
    Node target;
    if (!open_target(a, s, user, target, path)) return kFail;
    Lister ls{s.vol, a.has("all"), a.has("long"), a.has("recursive"), a.has("json"), {}, kOk};
    ls.seen.insert(s.vol->root_cluster);
    if (!target.is_dir()) {
        Listed l;
        l.entry = target.entry;
        if (ls.json)
            out_str("{\"path\":" + json_string_utf8(path) + ",\"type\":\"file\",\"entries\":[\n" +
                    entry_json(l) + "]}\n");
        else
            out_str((ls.longfmt ? long_line(l) : entry_display(l)) + "\n");
        return kOk;
    }
    ls.seen.insert(dir_cluster(s.vol, target));
    if (ls.json) {
        std::string body = ls.json_list(target, path);
        out_str("{\"path\":" + json_string_utf8(path) +
                ",\"type\":\"directory\",\"entries\":" + body + "}\n");
    } else {
        ls.text(target, path, ls.recursive);
    }
    return ls.rc;
}

// ---- tree -------------------------------------------------------------------

namespace {
struct TreeWalk {
    readfat_volume *vol;
    bool all;
    std::set<uint32_t> seen;
    uint64_t dirs = 0, files = 0;
    int rc = kOk;

    void walk(const Node &dir, const std::string &path, const std::string &prefix) {
        std::vector<Listed> list;
        int code = list_dir(vol, dir, list);
        if (code) {
            report(escape_display_utf8(path), dv_strerror(code));
            rc = kFail;
        }
        std::vector<const Listed *> items;
        for (const Listed &l : list)
            if (!l.dot && (all || (!l.deleted && !l.label))) items.push_back(&l);
        for (size_t i = 0; i < items.size(); ++i) {
            const Listed &l = *items[i];
            bool last = i + 1 == items.size();
            std::string line = prefix + (last ? "└── " : "├── ") + entry_display(l);
            if (l.deleted) line += "  [deleted]";
            if (l.label) line += "  [volume label]";
            out_str(line + "\n");
            if (l.deleted || l.label) continue;
            if (!(l.entry.attr & DV_ATTR_DIRECTORY)) {
                ++files;
                continue;
            }
            ++dirs;
            Node sub;
            sub.entry = l.entry;
            std::string p = join(path, name_to_utf8(l.entry.name));
            if (!seen.insert(dir_cluster(vol, sub)).second) {
                warning(escape_display_utf8(p) + ": directory loop, not followed");
                rc = kFail;
                continue;
            }
            walk(sub, p, prefix + (last ? "    " : "│   "));
        }
    }
};
} // namespace

int cmd_tree(const Args &a) {
    Session s;
    std::string user, path;
    Node target;
    if (!open_target(a, s, user, target, path)) return kFail;
    if (!target.is_dir()) {
        report(shown_path(user), dv_strerror(ENOTDIR));
        return kFail;
    }
    TreeWalk t{s.vol, a.has("all"), {}, 0, 0, kOk};
    t.seen.insert(s.vol->root_cluster);
    t.seen.insert(dir_cluster(s.vol, target));
    out_str(escape_display_utf8(path) + "\n");
    t.walk(target, path, "");
    out_str("\n" + std::to_string(t.dirs) + (t.dirs == 1 ? " directory, " : " directories, ") +
            std::to_string(t.files) + (t.files == 1 ? " file\n" : " files\n"));
    return t.rc;
}

// ---- stat -------------------------------------------------------------------

int cmd_stat(const Args &a) {
    Session s;
    std::string user, path;
    Node n;
    if (!open_target(a, s, user, n, path)) return kFail;
    if (n.is_root) {
        if (a.has("json"))
            out_str("{\"path\":\"/\",\"name\":\"\",\"type\":\"directory\",\"root\":true,"
                    "\"cluster\":" +
                    std::to_string(s.vol->root_cluster) + "}\n");
        else
            out_str("Path:        /\nType:        directory (the root; it has no entry of "
                    "its own)\nCluster:     " +
                    std::to_string(s.vol->root_cluster) + "\n");
        return kOk;
    }
    Listed l;
    l.entry = n.entry;
    if (a.has("json")) {
        std::string obj = entry_json(l);
        out_str("{\"path\":" + json_string_utf8(path) + "," + obj.substr(1) + "\n");
        return kOk;
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
    out += "Short name:  " + short_display(e) + "  (stored \"" + raw + "\")\n";
    out += "Type:        " + kind_of(e) + "\n";
    out += "Attributes:  " + attrs + "\n";
    out += "Cluster:     " + std::to_string(e.cluster) + "\n";
    out += "Size:        " + std::to_string(e.size) + " bytes\n";
    out += "Created:     " + iso_time(e.ctime) + "\n";
    out += "Modified:    " + iso_time(e.mtime) + "\n";
    out += "Accessed:    " + iso_time(e.atime, true) + "\n";
    out_str(out);
    return kOk;
}

// ---- info -------------------------------------------------------------------

namespace {
struct Counter {
    readfat_volume *vol;
    std::set<uint32_t> seen;
    uint64_t files = 0, dirs = 0, bytes = 0;
    std::string label;
    int rc = kOk;
    void walk(const Node &dir, const std::string &path, bool root) {
        std::vector<Listed> list;
        int code = list_dir(vol, dir, list);
        if (code) {
            report(escape_display_utf8(path), dv_strerror(code));
            rc = kFail;
        }
        for (const Listed &l : list) {
            if (root && l.label && label.empty()) {
                label.assign(l.entry.shortname, strnlen(l.entry.shortname, 11));
                while (!label.empty() && label.back() == ' ') label.pop_back();
            }
            if (l.dot || l.deleted || l.label) continue;
            if (!(l.entry.attr & DV_ATTR_DIRECTORY)) {
                ++files;
                bytes += l.entry.size;
                continue;
            }
            ++dirs;
            Node sub;
            sub.entry = l.entry;
            std::string p = join(path, name_to_utf8(l.entry.name));
            if (!seen.insert(dir_cluster(vol, sub)).second) {
                warning(escape_display_utf8(p) + ": directory loop, not followed");
                rc = kFail;
                continue;
            }
            walk(sub, p, false);
        }
    }
};

} // namespace

int cmd_info(const Args &a) {
    Session s;
    std::string error;
    const std::string &img_path = a.positional[0];
    if (!s.image.open(img_path, error)) {
        report(escape_display_utf8(img_path), error);
        return kFail;
    }
    PartitionTable t = s.image.partitions();
    bool json = a.has("json");
    std::string out;
    std::string jparts = "[";
    if (!json) {
        out += "Image:           " + escape_display_utf8(img_path) + " (" +
               std::to_string(s.image.size_bytes()) + " bytes, " +
               std::to_string(s.image.sectors()) + " sectors of 512 bytes)\n";
        out += "Partition table: " + t.kind + "\n";
    }
    if (!t.parts.empty() && !json) {
        char buf[256];
        std::snprintf(buf, sizeof buf, "  %-3s %-40s %12s %12s %10s  %s\n", "#", "Type", "Start",
                      "Sectors", "Size", "FAT32");
        out += buf;
    }
    for (const Partition &p : t.parts) {
        std::string type = p.type + " " + p.type_name;
        if (!json) {
            char buf[512];
            std::snprintf(buf, sizeof buf, "  %-3u %-40s %12" PRIu64 " %12" PRIu64 " %10s  %s%s\n",
                          p.number, type.c_str(), p.start, p.sectors,
                          human_size(p.sectors * 512).c_str(), p.fat32 ? "yes" : "no",
                          p.name.empty() ? "" : ("  \"" + p.name + "\"").c_str());
            out += buf;
        } else {
            jparts += (jparts.size() > 1 ? ",\n" : "\n") + std::string("{\"number\":") +
                      std::to_string(p.number) + ",\"type\":" + json_string_utf8(p.type) +
                      ",\"type_name\":" + json_string_utf8(p.type_name) +
                      ",\"name\":" + json_string_utf8(p.name) +
                      ",\"start\":" + std::to_string(p.start) +
                      ",\"sectors\":" + std::to_string(p.sectors) +
                      ",\"fat32\":" + (p.fat32 ? "true" : "false") + "}";
        }
    }
    jparts += "]";
    for (const std::string &n : t.notes)
        if (!json) out += "  note: " + n + "\n";
    if (!json) out_str(out);
    out.clear();

    s.vol = s.image.mount(a.volume, error);
    if (!s.vol) {
        std::string where = s.image.volume_where();
        report(escape_display_utf8(img_path) +
                   (where.empty() || where == "whole image" ? "" : " (" + where + ")"),
               error);
        if (json)
            out_str("{\"image\":" + json_string_utf8(img_path) + ",\"size\":" +
                    std::to_string(s.image.size_bytes()) + ",\"partition_table\":\"" + t.kind +
                    "\",\"partitions\":" + jparts + ",\"volume\":null}\n");
        return kFail;
    }
    uint8_t bs[512];
    s.image.read_sectors(s.image.volume_start(), 1, bs);
    BootInfo b = parse_boot(bs);
    uint64_t vol_sectors = s.image.volume_end() - s.image.volume_start();
    uint64_t total =
        b.total_sectors ? std::min<uint64_t>(b.total_sectors, vol_sectors) : vol_sectors;
    uint64_t meta =
        static_cast<uint64_t>(b.reserved) + static_cast<uint64_t>(b.fats) * b.fat_sectors;
    uint64_t clusters =
        total > meta && b.sectors_per_cluster ? (total - meta) / b.sectors_per_cluster : 0;
    std::string free_text = "unknown";
    int64_t free_count = -1;
    uint8_t fsi[512];
    if (b.fsinfo_sector && b.fsinfo_sector < b.reserved &&
        s.image.read_sectors(s.image.volume_start() + b.fsinfo_sector, 1, fsi) &&
        std::memcmp(fsi, "RRaA", 4) == 0 && std::memcmp(fsi + 484, "rrAa", 4) == 0) {
        uint32_t f = static_cast<uint32_t>(fsi[488] | fsi[489] << 8 | fsi[490] << 16 |
                                           static_cast<uint32_t>(fsi[491]) << 24);
        if (f != 0xFFFFFFFFu && f <= clusters) {
            free_count = f;
            free_text = std::to_string(f) + " (" +
                        human_size(static_cast<uint64_t>(f) * s.vol->cluster_bytes) +
                        ", from FSInfo)";
        }
    }
    Counter c{s.vol, {}, 0, 0, 0, "", kOk};
    c.seen.insert(s.vol->root_cluster);
    Node root;
    root.is_root = true;
    c.walk(root, "/", true);
    std::string label = c.label.empty() ? b.label : c.label;
    if (label == "NO NAME") label.clear();
    char vid[16];
    std::snprintf(vid, sizeof vid, "%04X-%04X", b.volume_id >> 16, b.volume_id & 0xFFFF);
    uint64_t fat_start = s.vol->fat_start - s.image.volume_start();
    uint64_t data_start = s.vol->data_start - s.image.volume_start();

    if (json) {
        out = "{\"image\":" + json_string_utf8(img_path) +
              ",\"size\":" + std::to_string(s.image.size_bytes()) + ",\"partition_table\":\"" +
              t.kind + "\",\"partitions\":" + jparts + ",\n\"volume\":{" +
              "\"where\":" + json_string_utf8(s.image.volume_where()) +
              ",\"start_sector\":" + std::to_string(s.image.volume_start()) +
              ",\"sectors\":" + std::to_string(total) + ",\"oem\":" + json_string_utf8(b.oem) +
              ",\"label\":" + json_string_utf8(label) + ",\"volume_id\":\"" + vid + "\"" +
              ",\"bytes_per_sector\":512,\"sectors_per_cluster\":" +
              std::to_string(s.vol->sectors_per_cluster) +
              ",\"bytes_per_cluster\":" + std::to_string(s.vol->cluster_bytes) +
              ",\"reserved_sectors\":" + std::to_string(b.reserved) +
              ",\"fats\":" + std::to_string(b.fats) +
              ",\"fat_sectors\":" + std::to_string(b.fat_sectors) +
              ",\"fat_start\":" + std::to_string(fat_start) +
              ",\"data_start\":" + std::to_string(data_start) +
              ",\"root_cluster\":" + std::to_string(s.vol->root_cluster) +
              ",\"clusters\":" + std::to_string(clusters) + ",\"free_clusters\":" +
              (free_count < 0 ? std::string("null") : std::to_string(free_count)) +
              ",\"files\":" + std::to_string(c.files) +
              ",\"directories\":" + std::to_string(c.dirs) +
              ",\"file_bytes\":" + std::to_string(c.bytes) + "}}\n";
        out_str(out);
        return c.rc;
    }
    out += "Volume:          " + s.image.volume_where() + ", sectors " +
           std::to_string(s.image.volume_start()) + " to " +
           std::to_string(s.image.volume_start() + total - 1) + " (" + human_size(total * 512) +
           ")\n";
    out += "  OEM name:            " + escape_display_utf8(b.oem) + "\n";
    out +=
        "  Label:               " + (label.empty() ? "(none)" : escape_display_utf8(label)) + "\n";
    out += "  Volume ID:           " + std::string(vid) + "\n";
    out += "  Bytes per sector:    512\n";
    out += "  Bytes per cluster:   " + std::to_string(s.vol->cluster_bytes) + " (" +
           std::to_string(s.vol->sectors_per_cluster) +
           (s.vol->sectors_per_cluster == 1 ? " sector)\n" : " sectors)\n");
    out += "  Reserved sectors:    " + std::to_string(b.reserved) + "\n";
    out += "  FATs:                " + std::to_string(b.fats) + " x " +
           std::to_string(b.fat_sectors) + " sectors, first at sector " +
           std::to_string(fat_start) + "\n";
    out += "  Data start:          sector " + std::to_string(data_start) + "\n";
    out += "  Root cluster:        " + std::to_string(s.vol->root_cluster) + "\n";
    out += "  Clusters:            " + std::to_string(clusters) + "\n";
    out += "  Free clusters:       " + free_text + "\n";
    out += "  Files:               " + std::to_string(c.files) + " (" + human_size(c.bytes) + ")\n";
    out += "  Directories:         " + std::to_string(c.dirs) + "\n";
    out_str(out);
    return c.rc;
}

} // namespace dvcli
