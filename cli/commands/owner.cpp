// owner: which file or directory holds a cluster (readfat_owner), as TSK's ifind -d says it
// for a data unit; with -a also deleted files by their recovered runs and /$Orphans.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "json.h"
#include "text.h"

namespace dvcli {
namespace {

struct Found {
    std::string path;
    dv_entry entry;
};

int collect(void *data, const char *path, const dv_entry *entry) {
    static_cast<std::vector<Found> *>(data)->push_back({path, *entry});
    return 0;
}

// A cluster number: decimal, or hexadecimal after 0x.
bool parse_cluster(const std::string &text, uint32_t &out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

} // namespace

OrphansNote::~OrphansNote() {
    // The search runs only when something opened /$Orphans; it leaves its table behind.
    if (!s.vol || !s.vol->orphans) return;
    readfat_orphan_info info;
    if (readfat_orphans(s.vol, &info, nullptr) == 0 && info.truncated)
        warning("/$Orphans: the orphan search stopped at " + std::to_string(READFAT_ORPHAN_MAX) +
                " entries; orphaned entries beyond them are not listed");
}

int cmd_owner(const Args &a) {
    uint32_t cluster = 0;
    if (!parse_cluster(a.positional[1], cluster))
        return usage_error("owner",
                           "not a cluster number: " + escape_display_utf8(a.positional[1]));
    Session s;
    if (!open_session(a, a.positional[0], s)) return kFail;
    readfat_volinfo info;
    readfat_info(s.vol, &info);
    if (info.fat_type == DV_FAT_EXFAT) {
        report(escape_display_utf8(a.positional[0]), "owner reads FAT12/16/32 volumes only");
        return kFail;
    }
    if (cluster < 2 || cluster - 2u >= s.vol->cluster_count)
        return usage_error("owner", "cluster " + std::to_string(cluster) +
                                        " is outside the data area (2.." +
                                        std::to_string(s.vol->cluster_count + 1u) + ")");
    const bool deleted = a.has("all");
    std::vector<Found> owners;
    int err = 0;
    if (readfat_owner(s.vol, cluster, deleted ? DV_FLAG_DELETED : 0u, collect, &owners, &err) < 0) {
        report(escape_display_utf8(a.positional[0]), dv_strerror(err));
        return kFail;
    }
    uint32_t link = 0;
    if (readfat_fat_entry(s.vol, cluster, &link, &err) != 0) {
        report(escape_display_utf8(a.positional[0]), dv_strerror(err));
        return kFail;
    }
    const char *state = !owners.empty() ? "owned" : link == 0 ? "free" : "not owned";
    if (a.has("json")) {
        JsonWriter j(stdout);
        j.begin_object().key("cluster").num(cluster).key("fat").num(link).key("state").str_utf8(
            state);
        j.key("owners").begin_array(true);
        for (const Found &f : owners) {
            j.begin_object().key("path").str_utf8(f.path);
            j.key("type").str_utf8(f.entry.attr & DV_ATTR_DIRECTORY ? "directory" : "file");
            j.key("cluster").num(f.entry.cluster).key("size").num(f.entry.size);
            j.key("deleted").boolean(f.entry.deleted != 0).end();
        }
        j.finish();
    } else if (owners.empty()) {
        out_str(std::string(state) + "\n");
    } else {
        for (const Found &f : owners)
            if (!out_str(escape_display_utf8(f.path) + (f.entry.deleted ? "  [deleted]\n" : "\n")))
                return kFail;
    }
    return owners.empty() ? kFail : kOk;
}

} // namespace dvcli
