// Path resolution the way FAT users expect, through the library's
// case-insensitive lookups ("." and ".." by the path's text, see
// READFAT_FLAG_DOTS), plus a scan where the library's match is unusable or
// its names differ from the tool's. Also directory listing, with 8.3 names
// decoded in the chosen code page.
#ifndef DORVEX_CLI_PATH_RESOLVE_H
#define DORVEX_CLI_PATH_RESOLVE_H

#include <functional>
#include <string>
#include <vector>

#include "dorvex/readfat.h"

namespace dvcli {

struct Node {
    bool is_root = false;
    dv_entry entry{}; // meaningless for the root
    bool is_dir() const { return is_root || (entry.attr & DV_ATTR_DIRECTORY) != 0; }
};

// A listed entry with what the walkers need to know about it.
struct Listed {
    dv_entry entry;
    bool dot = false;     // one of the real "." / ".." entries at the head of a directory
    bool deleted = false; // the library's mark: 0xE5 over the 8.3 name's first
                          // byte, or any entry of a deleted directory
    bool label = false;   // volume label
};

// Copies the record `from` into `to`: every field, and of the name only its
// units and terminator.
void copy_record(dv_entry &to, const dv_entry &from);

// Decodes the name of a record that comes from an 8.3 entry without a long
// name in short_codepage() (see the definition for how such records are told).
void decode_short_name(dv_entry &e);

// Hands every entry to `fn` in directory order as the library returns it,
// holding none of them; `fn` returns false to stop early. Returns 0, or an
// error code (EIO, ENFILE, ...) after the entries read before the error.
// The directory handle stays open while `fn` runs.
int scan_dir(readfat_volume *vol, const Node &dir, const std::function<bool(const Listed &)> &fn);

// Lists the whole directory. Returns 0, or an error code (EIO, ENFILE, ...).
// A listing cut short by a read error returns that code with what was read.
int list_dir(readfat_volume *vol, const Node &dir, std::vector<Listed> &out);

// Splits a user path at '/' and '\' and removes "." and ".." lexically.
std::vector<std::string> split_path(const std::string &path);
// The volume path a user path names: "/" and the components of split_path
// joined with '/'.
std::string volume_path(const std::string &path);

// Resolves `path`. Returns 0 with `out` filled, or an error code
// (ENOENT, ENOTDIR, EIO, EILSEQ, ...). A path ending in a separator or "."
// names a directory: a file there is ENOTDIR.
int resolve(readfat_volume *vol, const std::string &path, Node &out);

// Looks up one name in the directory `dir` through the library
// (readfat_stat_at), with resolve's rules (exact name, else long or 8.3 name
// case-folded; live before deleted), scanning it only after a miss.
// Returns 0, ENOTDIR when `dir` is a file, or ENOENT, EIO, EILSEQ, ...
int resolve_in(readfat_volume *vol, const Node &dir, const std::string &name, Node &out);

// The first directory cluster to guard against loops: the root's cluster for
// the root and for entries with cluster 0.
uint32_t dir_cluster(const readfat_volume *vol, const Node &n);

} // namespace dvcli

#endif
