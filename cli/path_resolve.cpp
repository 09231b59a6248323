#include "path_resolve.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "text.h"

namespace dvcli {

// A damaged directory chain can be long; no real FAT directory holds more
// than 65536 entries.
constexpr size_t kMaxEntries = 1u << 17;

// The record does not say whether a long name was there. With DV_FLAG_NTCASE
// the library builds the name of an 8.3 entry without one as the cp437 text of
// dv_shortname_to_name with the entry's lower-case flags (but keeps a first
// byte 0x05), so a record whose name equals that text is taken as such an
// entry. A long name equal to it holds the very same characters: only a
// --codepage other than the one its writer used tells them apart.
void decode_short_name(dv_entry &e) {
    // A cp437 8.3 name with its dot has 12 units at most: a longer one is long.
    if (e.name.len > 12) return;
    // The library reads 8.3 names in cp437, the default: nothing to redo then.
    if (strcasecmp(short_codepage(), "cp437") == 0) return;
    bool high = false;
    for (int i = 0; i < 11; ++i) high = high || static_cast<unsigned char>(e.shortname[i]) >= 0x80;
    // ASCII reads the same in every code page.
    if (!high && e.shortname[0] != 0x05) return;
    dv_name cp437;
    if (dv_shortname_to_name(e.shortname, e.lcase, "cp437", &cp437) < 0) return;
    if (e.shortname[0] == 0x05 && cp437.len > 0) cp437.units[0] = 0x05;
    if (dv_namecmp(&cp437, &e.name) == 0)
        dv_shortname_to_name(e.shortname, e.lcase, short_codepage(), &e.name);
}

void copy_record(dv_entry &to, const dv_entry &from) {
    // Only the name's units and terminator are meaningful: the rest of the
    // 255-unit array need not be copied.
    const size_t units = from.name.len > DV_NAME_MAX ? DV_NAME_MAX : from.name.len;
    to.name.len = from.name.len;
    std::memcpy(to.name.units, from.name.units, (units + 1) * sizeof(uint16_t));
    to.cluster = from.cluster;
    to.size = from.size;
    to.attr = from.attr;
    std::memcpy(to.shortname, from.shortname, sizeof to.shortname);
    to.ctime = from.ctime;
    to.atime = from.atime;
    to.mtime = from.mtime;
    to.lcase = from.lcase;
    to.deleted = from.deleted;
    to.ctime64 = from.ctime64;
    to.atime64 = from.atime64;
    to.mtime64 = from.mtime64;
    to.size64 = from.size64;
    to.valid64 = from.valid64;
    to.stream_flags = from.stream_flags;
    std::memcpy(to.utc_offset, from.utc_offset, sizeof to.utc_offset);
}

int scan_dir(readfat_volume *vol, const Node &dir, const std::function<bool(const Listed &)> &fn) {
    int err = 0;
    readfat_dir *d =
        dir.is_root ? readfat_opendir(vol, "", &err) : readfat_opendir_entry(vol, &dir.entry, &err);
    if (!d) return err ? err : EIO;
    // Cluster 0 in an entry stands for the root too.
    bool root = dir.is_root || dir.entry.cluster == 0;
    int code = 0;
    size_t idx = 0;
    Listed l{};
    for (;; ++idx) {
        err = 0;
        const dv_entry *e = readfat_readdir(vol, d, &err);
        if (!e) {
            if (err != DV_E_ENDDIR) code = err ? err : EIO;
            break;
        }
        if (idx >= kMaxEntries) {
            code = EFBIG;
            break;
        }
        copy_record(l.entry, *e);
        decode_short_name(l.entry);
        bool is_dir_attr = (e->attr & DV_ATTR_DIRECTORY) != 0;
        l.dot = false;
        if (!root && idx < 2 && is_dir_attr) {
            const char *want = idx == 0 ? ".          " : "..         ";
            l.dot = std::memcmp(e->shortname, want, 11) == 0;
        }
        l.deleted = e->deleted != 0;
        l.label = !l.deleted && (e->attr & DV_ATTR_VOLUME) != 0 && !is_dir_attr;
        if (!fn(l)) break;
    }
    readfat_closedir(vol, d);
    return code;
}

int list_dir(readfat_volume *vol, const Node &dir, std::vector<Listed> &out) {
    out.clear();
    return scan_dir(vol, dir, [&out](const Listed &l) {
        out.push_back(l);
        return true;
    });
}

std::vector<std::string> split_path(const std::string &path) {
    std::vector<std::string> parts;
    std::string cur;
    auto flush = [&] {
        if (cur.empty() || cur == ".") {
        } else if (cur == "..") {
            if (!parts.empty()) parts.pop_back();
        } else {
            parts.push_back(cur);
        }
        cur.clear();
    };
    for (char c : path) {
        if (c == '/' || c == '\\')
            flush();
        else
            cur.push_back(c);
    }
    flush();
    return parts;
}

std::string volume_path(const std::string &path) {
    std::string p;
    for (const std::string &c : split_path(path)) p += "/" + c;
    return p.empty() ? "/" : p;
}

uint32_t dir_cluster(const readfat_volume *vol, const Node &n) {
    if (n.is_root || n.entry.cluster == 0) return vol->root_cluster;
    return n.entry.cluster;
}

namespace {

// Deleted entries count only on a volume mounted to show them.
bool usable(const readfat_volume *vol, const dv_entry &e) {
    bool label = (e.attr & DV_ATTR_VOLUME) && !(e.attr & DV_ATTR_DIRECTORY);
    return !label && (!e.deleted || (vol->flags & DV_FLAG_DELETED));
}

// Finds `want` in `dir` by listing it: the exact name, else the first whose
// long or 8.3 name matches case-insensitively, passing over dot entries and
// the label. Live entries win over deleted ones, as in the library's lookups.
int find_by_scan(readfat_volume *vol, const Node &dir, const std::string &want_utf8, Node &out) {
    std::u32string want;
    if (!utf8_to_u32(want_utf8, want)) return EILSEQ;
    std::u32string want_folded = fold(want);
    std::vector<Listed> list;
    int code = list_dir(vol, dir, list);
    if (code != 0 && code != EFBIG && list.empty()) return code;
    std::erase_if(list, [&](const Listed &l) { return l.dot || !usable(vol, l.entry); });
    const Listed *hit = nullptr;
    for (bool deleted : {false, true}) {
        auto in_pass = [&](const Listed &l) { return l.deleted == deleted; };
        for (size_t k = 0; !hit && k < list.size(); ++k)
            if (in_pass(list[k]) && name_to_u32(list[k].entry.name) == want) hit = &list[k];
        for (size_t k = 0; !hit && k < list.size(); ++k)
            if (in_pass(list[k]) && fold(name_to_u32(list[k].entry.name)) == want_folded)
                hit = &list[k];
        // A deleted 8.3 name lost its first byte: it matches by its recovered name only.
        for (size_t k = 0; !hit && !deleted && k < list.size(); ++k)
            if (in_pass(list[k]) && fold(short_name_u32(list[k].entry.shortname)) == want_folded)
                hit = &list[k];
    }
    if (!hit) return code ? code : ENOENT;
    out = Node{};
    out.entry = hit->entry;
    return 0;
}

// "X/", "X/." and "X\\": the user means a directory.
bool names_dir(const std::string &path) {
    size_t n = path.size();
    if (n && (path[n - 1] == '/' || path[n - 1] == '\\')) return true;
    return path == "." ||
           (n >= 2 && path[n - 1] == '.' && (path[n - 2] == '/' || path[n - 2] == '\\'));
}

} // namespace

namespace {

// Component by component: a library lookup of each prefix until one misses, then scans of
// the directories (a name decoded in another code page, a component after a 255-unit one).
int resolve_by_parts(readfat_volume *vol, const std::vector<std::string> &parts, Node &out) {
    // Once a scan had to settle a component, the library would take its own match there
    // again, so the rest is scanned too.
    std::string prefix;
    bool by_library = true;
    for (const std::string &part : parts) {
        if (!out.is_dir()) return ENOTDIR;
        Node next;
        int code = ENOENT;
        if (by_library) {
            prefix += "/" + part;
            code = readfat_stat(vol, prefix.c_str(), &next.entry);
            if (code == 0) decode_short_name(next.entry);
            if (code == 0 && !usable(vol, next.entry)) code = ENOENT;
        }
        if (code == ENOENT || code == ENAMETOOLONG) {
            int found = find_by_scan(vol, out, part, next);
            if (found) return found == ENOENT ? code : found;
            by_library = false;
            code = 0;
        }
        if (code) return code;
        out = next;
    }
    return 0;
}

} // namespace

int resolve(readfat_volume *vol, const std::string &path, Node &out) {
    out = Node{};
    out.is_root = true;
    const std::vector<std::string> parts = split_path(path);
    if (parts.empty()) return 0;
    // One library lookup of the whole path, which checks that every component on the way
    // is a directory; only a miss (perhaps a label or a name in another code page on the
    // way) is retried component by component.
    std::string joined;
    for (const std::string &part : parts) joined += "/" + part;
    Node found;
    int code = readfat_stat(vol, joined.c_str(), &found.entry);
    if (code == 0) decode_short_name(found.entry);
    if (code == 0 && !usable(vol, found.entry)) code = ENOENT;
    if (code == ENOENT || code == ENAMETOOLONG || code == ENOTDIR) {
        code = resolve_by_parts(vol, parts, out);
    } else if (code == 0) {
        out = found;
    }
    if (code) return code;
    if (!out.is_dir() && names_dir(path)) return ENOTDIR;
    return 0;
}

int resolve_in(readfat_volume *vol, const Node &dir, const std::string &name, Node &out) {
    if (!dir.is_dir()) return ENOTDIR;
    // One component: the library looks it up in `dir` alone; a miss is scanned for as in
    // resolve.
    if (name.find_first_of("/\\") == std::string::npos && name != "." && name != "..") {
        Node found;
        int code =
            readfat_stat_at(vol, dir.is_root ? nullptr : &dir.entry, name.c_str(), &found.entry);
        if (code == 0) decode_short_name(found.entry);
        if (code == 0 && usable(vol, found.entry)) {
            out = found;
            return 0;
        }
        if (code != 0 && code != ENOENT && code != ENAMETOOLONG) return code;
    }
    return find_by_scan(vol, dir, name, out);
}

} // namespace dvcli
