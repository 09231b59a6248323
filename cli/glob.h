// Shell-style patterns matched inside a volume: `*`, `?` and `[...]` (ranges,
// `!` or `^` to negate) in any path component, compared the way paths are
// resolved: by long or 8.3 name, case-folded. A bracket holding one character
// stands for it (`[[]`, `[*]`, `[?]`): the backslash separates components here,
// as in paths, so it escapes nothing.
#ifndef DORVEX_CLI_GLOB_H
#define DORVEX_CLI_GLOB_H

#include <string>
#include <string_view>
#include <vector>

#include "path_resolve.h"

namespace dvcli {

// True when `text` holds a pattern character (`*`, `?` or `[`).
bool has_pattern(std::string_view text);

// Whether `name` matches `pattern`; both are already case-folded (fold()).
// A `[` without its `]` stands for itself.
bool glob_match(std::u32string_view pattern, std::u32string_view name);

// A directory entry a path or pattern named.
struct Match {
    Node node;
    std::string vpath; // its volume path, "/" or "/A/B"
};

// Expands `path` against the volume. Each component is first looked up by
// resolve's rules in every directory reached so far; one with pattern
// characters that names no entry there exactly is matched against that
// directory's entries instead (dot entries and the label never match; deleted
// entries only on a volume mounted with DV_FLAG_DELETED), its matches in name
// order. A trailing separator keeps directories only. `literal`, when given,
// is set to whether every component named an entry exactly: the path then
// names one entry, as a plain path does. Returns 0 with at least one match,
// ENOENT when nothing matched, or the error that stopped the expansion (EIO,
// EILSEQ, ...).
int expand_pattern(readfat_volume *vol, const std::string &path, std::vector<Match> &out,
                   bool *literal = nullptr);

} // namespace dvcli

#endif
