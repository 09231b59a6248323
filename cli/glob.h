// Shell-style patterns matched inside a volume: `*`, `?` and `[...]` (ranges,
// `!` or `^` to negate) in any path component, compared the way paths are
// resolved: by long or 8.3 name, case-folded.
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

// Expands `path` against the volume: every component with pattern characters
// is matched against the entries of the directories reached so far (dot
// entries and the label never match; deleted entries only on a volume mounted
// with DV_FLAG_DELETED), the others are looked up by resolve's rules. A
// trailing separator keeps directories only. The matches of a component come
// in name order. Returns 0 with at least one match, ENOENT when nothing
// matched, or the error that stopped the expansion (EIO, EILSEQ, ...).
int expand_pattern(readfat_volume *vol, const std::string &path, std::vector<Match> &out);

} // namespace dvcli

#endif
