#include "path_resolve.h"

#include <cerrno>
#include <cstring>

#include "text.h"

namespace dvcli {

// A damaged directory chain can be long; no real FAT directory holds more
// than 65536 entries.
constexpr size_t kMaxEntries = 1u << 17;

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
        // Only the name's units and terminator are meaningful; the rest of
        // the 255-unit array need not be copied.
        size_t units = e->name.len > DV_NAME_MAX ? DV_NAME_MAX : e->name.len;
        l.entry.name.len = e->name.len;
        std::memcpy(l.entry.name.units, e->name.units, (units + 1) * sizeof(uint16_t));
        l.entry.cluster = e->cluster;
        l.entry.size = e->size;
        l.entry.attr = e->attr;
        std::memcpy(l.entry.shortname, e->shortname, sizeof l.entry.shortname);
        l.entry.ctime = e->ctime;
        l.entry.atime = e->atime;
        l.entry.mtime = e->mtime;
        bool is_dir_attr = (e->attr & DV_ATTR_DIRECTORY) != 0;
        l.dot = false;
        if (!root && idx < 2 && is_dir_attr) {
            const char *want = idx == 0 ? ".          " : "..         ";
            l.dot = std::memcmp(e->shortname, want, 11) == 0;
        }
        l.deleted = static_cast<unsigned char>(e->shortname[0]) == 0xE5;
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

static bool usable(const Listed &l) {
    return !l.dot && !l.deleted && !l.label;
}

int resolve(readfat_volume *vol, const std::string &path, Node &out) {
    std::vector<std::string> parts = split_path(path);
    out = Node{};
    if (parts.empty()) {
        out.is_root = true;
        return 0;
    }

    // The library's own lookup: exact, by long name.
    std::string joined;
    for (const std::string &p : parts) joined += "/" + p;
    int exact = readfat_stat(vol, joined.c_str(), &out.entry);
    if (exact == 0) {
        bool label = (out.entry.attr & DV_ATTR_VOLUME) && !(out.entry.attr & DV_ATTR_DIRECTORY);
        bool deleted = static_cast<unsigned char>(out.entry.shortname[0]) == 0xE5;
        if (!label && !deleted) return 0;
    }

    // Case-insensitive scan, by long name, then by 8.3 name.
    Node cur;
    cur.is_root = true;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::u32string want;
        if (!utf8_to_u32(parts[i], want)) return exact && exact != ENOENT ? exact : EILSEQ;
        std::u32string want_folded = fold(want);
        std::vector<Listed> list;
        int code = list_dir(vol, cur, list);
        if (code != 0 && code != EFBIG && list.empty()) return code;
        const Listed *hit = nullptr;
        for (const Listed &l : list)
            if (usable(l) && name_to_u32(l.entry.name) == want) {
                hit = &l;
                break;
            }
        for (size_t k = 0; !hit && k < list.size(); ++k)
            if (usable(list[k]) && fold(name_to_u32(list[k].entry.name)) == want_folded)
                hit = &list[k];
        for (size_t k = 0; !hit && k < list.size(); ++k)
            if (usable(list[k]) && fold(short_name_u32(list[k].entry.shortname)) == want_folded)
                hit = &list[k];
        if (!hit) {
            if (code != 0) return code;
            return exact && exact != ENOENT ? exact : ENOENT;
        }
        Node next;
        next.entry = hit->entry;
        if (i + 1 < parts.size() && !next.is_dir()) return ENOTDIR;
        cur = next;
    }
    out = cur;
    return 0;
}

} // namespace dvcli
