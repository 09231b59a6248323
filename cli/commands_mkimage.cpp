// mkimage: a FAT32 image from a host directory.
#include "cli.h"
#include "mkimage.h"
#include "text.h"

namespace dvcli {

int cmd_mkimage(const Args &a) {
    MkOptions o;
    if (a.values.count("size") && (!parse_size(a.values.at("size"), o.size_bytes) || !o.size_bytes))
        return usage_error("mkimage", "bad size '" + a.values.at("size") + "' (e.g. 64M, 1G)");
    if (a.values.count("cluster-size")) {
        uint64_t c = 0;
        if (!parse_size(a.values.at("cluster-size"), c) || c > 0xFFFFFFFFu)
            return usage_error("mkimage", "bad cluster size '" + a.values.at("cluster-size") + "'");
        o.cluster_bytes = static_cast<uint32_t>(c);
    }
    if (a.values.count("label")) o.label = a.values.at("label");
    o.force = a.has("force");
    o.utc = utc_times();
    std::string error;
    bool ok = mkimage(
        a.positional[0], a.positional[1], o,
        [](const std::string &msg) { warning(escape_display_utf8(msg)); }, error);
    if (!ok) {
        report("mkimage", escape_display_utf8(error));
        return kFail;
    }
    return kOk;
}

} // namespace dvcli
