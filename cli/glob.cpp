#include "glob.h"

#include <algorithm>
#include <cerrno>

#include "text.h"

namespace dvcli {

bool has_pattern(std::string_view text) {
    return text.find_first_of("*?[") != std::string_view::npos;
}

namespace {

// Matches the class at pattern[i] (just after its `[`) against `c`. Sets `end`
// to the index after the closing `]`; false there when the class has no end.
bool match_class(std::u32string_view p, size_t i, char32_t c, bool &matched, size_t &end) {
    bool negate = i < p.size() && (p[i] == U'!' || p[i] == U'^');
    if (negate) ++i;
    size_t j = i;
    bool hit = false;
    // A `]` first in the class is one of its characters.
    do {
        if (j >= p.size()) return false;
        char32_t lo = p[j], hi = lo;
        if (j + 2 < p.size() && p[j + 1] == U'-' && p[j + 2] != U']') {
            hi = p[j + 2];
            j += 2;
        }
        if (lo <= c && c <= hi) hit = true;
        ++j;
    } while (j >= p.size() || p[j] != U']');
    matched = hit != negate;
    end = j + 1;
    return true;
}

// How well a listed entry answers to the name `want` by resolve_in's rules,
// lower being better: 0 its long name, 1 that case-folded, 2 its 8.3 name
// case-folded, 3 and 4 as 0 and 1 for a deleted entry (whose 8.3 name lost
// its first byte); -1 not at all. `name` and `folded` are its long name.
int name_rank(const Listed &l, const std::u32string &name, const std::u32string &folded,
              const std::u32string &want, const std::u32string &want_folded) {
    const int base = l.deleted ? 3 : 0;
    if (name == want) return base;
    if (folded == want_folded) return base + 1;
    if (!l.deleted && fold(short_name_u32(l.entry.shortname)) == want_folded) return 2;
    return -1;
}

} // namespace

bool glob_match(std::u32string_view p, std::u32string_view s) {
    // Iterative with one backtrack point: the last `*` seen.
    size_t pi = 0, si = 0, star = std::u32string_view::npos, star_si = 0;
    while (si < s.size()) {
        if (pi < p.size()) {
            char32_t pc = p[pi];
            if (pc == U'*') {
                star = pi++;
                star_si = si;
                continue;
            }
            if (pc == U'?') {
                ++pi;
                ++si;
                continue;
            }
            if (pc == U'[') {
                bool matched = false;
                size_t end = 0;
                if (match_class(p, pi + 1, s[si], matched, end)) {
                    if (matched) {
                        pi = end;
                        ++si;
                        continue;
                    }
                } else if (s[si] == pc) { // an unclosed `[` is literal
                    ++pi;
                    ++si;
                    continue;
                }
            } else if (pc == s[si]) {
                ++pi;
                ++si;
                continue;
            }
        }
        if (star == std::u32string_view::npos) return false;
        pi = star + 1;
        si = ++star_si;
    }
    while (pi < p.size() && p[pi] == U'*') ++pi;
    return pi == p.size();
}

int expand_pattern(readfat_volume *vol, const std::string &path, std::vector<Match> &out,
                   bool *literal) {
    out.clear();
    bool globbed = false;
    std::vector<std::string> parts = split_path(path);
    bool dirs_only = !path.empty() && (path.back() == '/' || path.back() == '\\');
    std::vector<Match> level{Match{Node{}, "/"}};
    level[0].node.is_root = true;
    int first_error = 0;
    auto join = [](const std::string &dir, const std::string &name) {
        return dir == "/" ? "/" + name : dir + "/" + name;
    };
    for (size_t k = 0; k < parts.size(); ++k) {
        const std::string &part = parts[k];
        // Only files left, and a name after them: the path goes through a file.
        if (std::none_of(level.begin(), level.end(),
                         [](const Match &m) { return m.node.is_dir(); })) {
            if (!first_error) first_error = ENOTDIR;
            level.clear();
            break;
        }
        std::vector<Match> next;
        if (!has_pattern(part)) {
            for (const Match &m : level) {
                if (!m.node.is_dir()) continue;
                Node n;
                int code = resolve_in(vol, m.node, part, n);
                if (code == 0)
                    next.push_back({n, join(m.vpath, name_to_utf8(n.entry.name))});
                else if (code != ENOENT && !first_error)
                    first_error = code;
            }
        } else {
            std::u32string want;
            if (!utf8_to_u32(part, want)) return EILSEQ;
            const std::u32string pat = fold(want);
            bool deleted_too = (vol->flags & DV_FLAG_DELETED) != 0;
            for (const Match &m : level) {
                if (!m.node.is_dir()) continue;
                size_t from = next.size();
                // A name that holds pattern characters but names an entry
                // exactly is that entry ("Photo [1].txt" is not "Photo 1.txt"):
                // the best such entry is kept while the same pass matches.
                int best = -1;
                Node exact;
                int code = scan_dir(vol, m.node, [&](const Listed &l) {
                    if (l.dot || l.label || (l.deleted && !deleted_too)) return true;
                    std::u32string name = name_to_u32(l.entry.name);
                    // Lone surrogates never fold, so a long name always compares.
                    std::u32string folded = fold(name);
                    int rank = name_rank(l, name, folded, want, pat);
                    if (rank >= 0 && (best < 0 || rank < best)) {
                        best = rank;
                        exact.entry = l.entry;
                    }
                    if (glob_match(pat, folded) ||
                        (!l.deleted && glob_match(pat, fold(short_name_u32(l.entry.shortname))))) {
                        Node n;
                        n.entry = l.entry;
                        next.push_back({n, join(m.vpath, name_to_utf8(l.entry.name))});
                    }
                    return true;
                });
                if (best >= 0) {
                    next.resize(from);
                    next.push_back({exact, join(m.vpath, name_to_utf8(exact.entry.name))});
                    continue;
                }
                globbed = true;
                if (code && code != EFBIG && !first_error) first_error = code;
                std::sort(next.begin() + static_cast<long>(from), next.end(),
                          [](const Match &a, const Match &b) { return a.vpath < b.vpath; });
            }
        }
        level = std::move(next);
        if (level.empty()) break;
    }
    if (literal) *literal = !globbed;
    for (Match &m : level)
        if (!dirs_only || m.node.is_dir()) out.push_back(std::move(m));
    if (!out.empty()) return 0;
    return first_error ? first_error : ENOENT;
}

} // namespace dvcli
