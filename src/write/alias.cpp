// How a long name is stored: a short entry alone when it fits 8.3, else a long-name run
// with an 8.3 alias and, when the alias is lossy or taken, a numeric tail (~1 .. ~999999).
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "charset/casefold.h"
#include "codec/dirent_internal.h"
#include "write/writefat_internal.h"

namespace dorvex {

// ---- Names ------------------------------------------------------------------------------

namespace {

bool bad_long_unit(uint16_t u) {
    return u < 0x20 || u == '"' || u == '*' || u == '/' || u == ':' || u == '<' || u == '>' ||
           u == '?' || u == '\\' || u == '|';
}

// A character an 8.3 name holds as it is (upper-case letters, digits, the allowed marks).
bool short_char(uint16_t u) {
    if ((u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')) return true;
    return u < 0x80 && u != 0 && std::strchr("!#$%&'()-@^_`{}~", static_cast<int>(u)) != nullptr;
}

// The device names Windows opens instead of a file (CON, NUL.TXT, "com1 .log"): the part
// before the first dot, trailing spaces dropped, case ignored. COM0 and LPT0 are files on
// every Windows that runs today; the superscript digits (COM\u00B9) are devices there.
bool device_name(const dv_name &name) {
    int end = 0;
    while (end < name.len && name.units[end] != '.') ++end;
    while (end > 0 && name.units[end - 1] == ' ') --end;
    if (end != 3 && end != 4) return false;
    char up[3];
    for (int i = 0; i < 3; ++i) {
        const uint16_t u = name.units[i];
        up[i] = static_cast<char>(u >= 'a' && u <= 'z' ? u - 32 : u);
        if (u >= 0x80) return false;
    }
    if (end == 3)
        for (const char *d = "CONPRNAUXNUL"; *d; d += 3)
            if (std::memcmp(up, d, 3) == 0) return true;
    if (end != 4 || (std::memcmp(up, "COM", 3) != 0 && std::memcmp(up, "LPT", 3) != 0))
        return false;
    const uint16_t digit = name.units[3];
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

} // namespace

int plan_name(const dv_name &name, NamePlan &p) {
    const int n = name.len;
    if (n == 0 || n > DV_NAME_MAX) return EINVAL;
    if ((n == 1 && name.units[0] == '.') ||
        (n == 2 && name.units[0] == '.' && name.units[1] == '.'))
        return EINVAL;
    if (name.units[n - 1] == '.' || name.units[n - 1] == ' ') return EINVAL;
    for (int i = 0; i < n; ++i)
        if (bad_long_unit(name.units[i])) return EINVAL;
    if (device_name(name)) return EINVAL;
    std::memset(&p, 0, sizeof p);
    std::memset(p.shortname, ' ', 11);

    // A plain 8.3 name, each part in one case: no long name needed.
    int dot = -1, dots = 0;
    for (int i = 0; i < n; ++i)
        if (name.units[i] == '.') {
            dot = i;
            ++dots;
        }
    const int base_n = dot < 0 ? n : dot, ext_n = dot < 0 ? 0 : n - dot - 1;
    bool fits = dots <= 1 && base_n >= 1 && base_n <= 8 && ext_n <= 3;
    bool up[2] = {false, false}, low[2] = {false, false};
    for (int i = 0; fits && i < n; ++i) {
        if (i == dot) continue;
        uint16_t u = name.units[i];
        const int part = dot >= 0 && i > dot;
        if (u >= 'a' && u <= 'z') {
            low[part] = true;
            u = static_cast<uint16_t>(u - 32);
        } else if (u >= 'A' && u <= 'Z') {
            up[part] = true;
        }
        if (!short_char(u)) fits = false;
    }
    if (fits) {
        for (int i = 0, k = 0; i < n; ++i) {
            if (i == dot) {
                k = 8;
                continue;
            }
            const uint16_t u = name.units[i];
            p.shortname[k++] = static_cast<uint8_t>(u >= 'a' && u <= 'z' ? u - 32 : u);
        }
        if (!(up[0] && low[0]) && !(up[1] && low[1])) {
            p.lcase =
                static_cast<uint8_t>((low[0] ? DV_LCASE_BASE : 0) | (low[1] ? DV_LCASE_EXT : 0));
            return 0;
        }
    }

    // A long name; its alias is made from the upper-cased name without spaces and leading
    // dots, other characters as '_', the base before the last dot and its extension after.
    p.need_lfn = true;
    p.lossy = !fits;
    int start = 0;
    while (start < n && name.units[start] == '.') ++start;
    int last_dot = -1;
    for (int i = start; i < n; ++i)
        if (name.units[i] == '.') last_dot = i;
    auto put = [&](uint16_t u, uint8_t *out, int &len, int room) {
        if (u == ' ' || u == '.') {
            p.lossy = true;
            return;
        }
        if (u >= 'a' && u <= 'z') u = static_cast<uint16_t>(u - 32);
        if (!short_char(u)) {
            u = '_';
            p.lossy = true;
        }
        if (len == room) {
            p.lossy = true;
            return;
        }
        out[len++] = static_cast<uint8_t>(u);
    };
    const int base_end = last_dot < 0 ? n : last_dot;
    for (int i = start; i < base_end; ++i) put(name.units[i], p.base, p.base_len, 8);
    for (int i = base_end + 1; last_dot >= 0 && i < n; ++i) put(name.units[i], p.ext, p.ext_len, 3);
    if (p.base_len == 0) {
        p.base[0] = '_';
        p.base_len = 1;
        p.lossy = true;
    }
    std::memcpy(p.shortname, p.base, static_cast<size_t>(p.base_len));
    std::memcpy(p.shortname + 8, p.ext, static_cast<size_t>(p.ext_len));
    return 0;
}

namespace {

int digits(uint32_t v) {
    int d = 1;
    while (v >= 10) {
        v /= 10;
        ++d;
    }
    return d;
}

// The base an alias with tail `t` keeps of `plan`'s base.
int tail_prefix(const NamePlan &plan, uint32_t t) {
    const int room = 8 - 1 - digits(t);
    return plan.base_len < room ? plan.base_len : room;
}

} // namespace

// Marks the tail of an existing 8.3 name when it is one this plan could make.
void note_tail(W *w, const NamePlan &plan, uint32_t base, const uint8_t *sn) {
    if (std::memcmp(sn + 8, "   ", 3) != 0 || plan.ext_len != 0) {
        uint8_t ext[3] = {' ', ' ', ' '};
        std::memcpy(ext, plan.ext, static_cast<size_t>(plan.ext_len));
        if (std::memcmp(sn + 8, ext, 3) != 0) return;
    }
    int len = 8;
    while (len > 0 && sn[len - 1] == ' ') --len;
    int tilde = len - 1;
    uint32_t t = 0, scale = 1;
    while (tilde >= 0 && sn[tilde] >= '0' && sn[tilde] <= '9') {
        t += (sn[tilde] - '0') * scale;
        scale *= 10;
        --tilde;
    }
    if (tilde < 0 || sn[tilde] != '~' || tilde == len - 1 || t < base || t - base >= w->tail_count)
        return;
    if (tilde != tail_prefix(plan, t) ||
        std::memcmp(sn, plan.base, static_cast<size_t>(tilde)) != 0)
        return;
    t -= base;
    w->tails[t / 32] |= 1u << (t % 32);
}

void alias_with_tail(const NamePlan &plan, uint32_t t, uint8_t out[11]) {
    std::memcpy(out, plan.shortname, 11);
    std::memset(out, ' ', 8);
    const int keep = tail_prefix(plan, t);
    std::memcpy(out, plan.base, static_cast<size_t>(keep));
    out[keep] = '~';
    uint32_t v = t;
    for (int pos = keep + digits(t); pos > keep; --pos, v /= 10)
        out[pos] = static_cast<uint8_t>('0' + v % 10);
}

int choose_alias(W *w, uint32_t dir, const NamePlan &plan, const Scan &s, uint8_t out[11]) {
    std::memcpy(out, plan.shortname, 11);
    if (!plan.need_lfn || (!plan.lossy && !s.alias_taken)) return 0;
    // The scan tracked one window of tails; when they are all taken the directory is
    // scanned again for the next window (a small table costs scans, never names).
    for (uint32_t base = s.tail_base; base < kTailEnd; base += w->tail_count) {
        if (base != s.tail_base) {
            Scan next;
            next.plan = &plan;
            next.tail_base = base;
            if (int rc = scan_dir(w, dir, next)) return rc;
        }
        for (uint32_t i = 0; i < w->tail_count && base + i < kTailEnd; ++i) {
            if (base + i == 0 || (w->tails[i / 32] & (1u << (i % 32)))) continue;
            alias_with_tail(plan, base + i, out);
            return 0;
        }
    }
    return ENOSPC;
}

} // namespace dorvex
