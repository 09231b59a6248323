// mkimage: a FAT12, FAT16 or FAT32 image from a host directory.
#include "cli.h"
#include "mkimage.h"
#include "stop.h"
#include "text.h"

namespace dvcli {

int cmd_mkimage(const Args &a) {
    MkOptions o;
    if (a.values.count("size") && (!parse_size(a.values.at("size"), o.size_bytes) || !o.size_bytes))
        return usage_error("mkimage", "bad size '" + a.values.at("size") + "' (e.g. 64M, 1G)");
    if (a.values.count("cluster-size")) {
        const std::string &text = a.values.at("cluster-size");
        uint64_t c = 0;
        if (!parse_size(text, c) || c < 512 || c > kMaxClusterBytes || (c & (c - 1)))
            return usage_error("mkimage", "bad cluster size '" + text +
                                              "' (a power of two from 512 to " +
                                              std::to_string(kMaxClusterBytes) + ", e.g. 4K)");
        o.cluster_bytes = static_cast<uint32_t>(c);
    }
    if (a.values.count("fat")) {
        const std::string &f = a.values.at("fat");
        if (f != "12" && f != "16" && f != "32")
            return usage_error("mkimage", "bad FAT type '" + f + "' (12, 16 or 32)");
        o.fat_bits = static_cast<uint32_t>(std::stoul(f));
    }
    if (a.values.count("label")) o.label = a.values.at("label");
    o.force = a.has("force");
    o.utc = utc_times();
    std::string error;
    uint64_t unreadable = 0;
    auto warn = [&](const std::string &msg, MkSkip kind) {
        warning(escape_display_utf8(msg));
        unreadable += kind == MkSkip::unreadable;
    };
    if (!mkimage(a.positional[0], a.positional[1], o, warn, error)) {
        report("mkimage", escape_display_utf8(error));
        return stop_signal() ? 128 + stop_signal() : kFail;
    }
    if (unreadable) {
        // The image is written, but short of what was asked for.
        report("mkimage", escape_display_utf8(a.positional[1]) + " written without " +
                              std::to_string(unreadable) + " unreadable " +
                              (unreadable == 1 ? "entry" : "entries") + " (see above)");
        return kFail;
    }
    return kOk;
}

} // namespace dvcli
