// Shared pieces of the volume reader's directory and file handles.
#pragma once

#include <cstdint>

#include "dorvex/readfat.h"

namespace dorvex {

// Resolves `path` from the root into `*out` (the entry of its last component). Returns `out`,
// or null with the code stored through `err` (when not null): ENOENT, or the code of
// dv_parsepath.
dv_entry *process_path(readfat_volume *vol, const char *path, dv_entry *out, int *err);

// The cluster where the directory named by `entry` starts: a directory entry with cluster 0
// (the ".." of a directory just below the root) means the root.
inline uint32_t dir_start_cluster(const readfat_volume *vol, const dv_entry *entry) {
    if ((entry->attr & DV_ATTR_DIRECTORY) != 0 && entry->cluster == 0) return vol->root_cluster;
    return entry->cluster;
}

inline void set_err(int *err, int code) {
    if (err) *err = code;
}

} // namespace dorvex
