#include "text.h"

#include <cstdio>

#include <sys/stat.h>

static_assert(sizeof(time_t) >= 8, "FAT dates run to 2107");

namespace dvcli {

std::u32string utf16_to_u32(const uint16_t *units, size_t len) {
    std::u32string out;
    out.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < len && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            out.push_back(
                static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u)));
            ++i;
        } else {
            out.push_back(static_cast<char32_t>(u));
        }
    }
    return out;
}

std::u32string name_to_u32(const dv_name &name) {
    size_t len = name.len > DV_NAME_MAX ? DV_NAME_MAX : name.len;
    return utf16_to_u32(name.units, len);
}

bool utf8_to_u32(std::string_view text, std::u32string &out) {
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1Fu;
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0Fu;
            n = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07u;
            n = 4;
        } else {
            return false;
        }
        if (i + n > text.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3Fu);
        }
        // Overlong forms, surrogates and values above U+10FFFF are invalid.
        if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        out.push_back(static_cast<char32_t>(cp));
        i += n;
    }
    return true;
}

static void put_utf8(std::string &out, uint32_t cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string name_to_utf8(const dv_name &name) {
    char buf[3 * DV_NAME_MAX + 1]; // the most dv_name_to_utf8 writes
    size_t n = dv_name_to_utf8(&name, buf, sizeof buf);
    return std::string(buf, n < sizeof buf ? n : sizeof buf - 1);
}

static void hex_escape(std::string &out, const char *fmt, uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, fmt, v);
    out += buf;
}

std::string escape_display(std::u32string_view cps) {
    std::string out;
    for (char32_t ch : cps) {
        uint32_t c = static_cast<uint32_t>(ch);
        switch (c) {
        case '\n':
            out += "\\n";
            continue;
        case '\t':
            out += "\\t";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        default:
            break;
        }
        if (c < 0x20 || c == 0x7F)
            hex_escape(out, "\\x%02X", c);
        else if ((c >= 0x80 && c < 0xA0) || (c >= 0xD800 && c <= 0xDFFF) || c == 0x2028 ||
                 c == 0x2029 || c == 0x202E || c == 0xFEFF)
            hex_escape(out, "\\u%04X", c);
        else
            put_utf8(out, c);
    }
    return out;
}

std::string display_name(const dv_name &name) {
    return escape_display(name_to_u32(name));
}

std::string escape_display_utf8(std::string_view text) {
    std::u32string cps;
    if (utf8_to_u32(text, cps)) return escape_display(cps);
    std::string out;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || c == '\\')
            hex_escape(out, "\\x%02X", c);
        else
            out.push_back(static_cast<char>(c));
    }
    return out;
}

std::string json_string(std::u32string_view cps) {
    std::string out = "\"";
    for (char32_t ch : cps) {
        uint32_t c = static_cast<uint32_t>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\t':
            out += "\\t";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\b':
            out += "\\b";
            continue;
        case '\f':
            out += "\\f";
            continue;
        default:
            break;
        }
        if (c < 0x20 || c == 0x7F)
            hex_escape(out, "\\u%04x", c);
        else
            put_utf8(out, c);
    }
    out += '"';
    return out;
}

std::string to_utf8(std::u32string_view cps) {
    std::string out;
    for (char32_t c : cps) put_utf8(out, static_cast<uint32_t>(c));
    return out;
}

bool has_lone_surrogate(const dv_name &name) {
    for (char32_t c : name_to_u32(name))
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    return false;
}

std::string json_string_utf8(std::string_view text) {
    std::u32string cps;
    if (!utf8_to_u32(text, cps)) {
        // Not UTF-8: keep the bytes visible as Latin-1 rather than lose them.
        cps.clear();
        for (char ch : text) cps.push_back(static_cast<unsigned char>(ch));
    }
    return json_string(cps);
}

std::u32string fold(std::u32string_view cps) {
    std::u32string out;
    out.reserve(cps.size());
    for (char32_t c : cps) {
        // a-z raised again: ASCII names keep sorting as upper case, and no folded letter
        // is ever A-Z, so the classes stay the library's.
        const char32_t f = dv_foldcase(c);
        out.push_back(f >= 'a' && f <= 'z' ? f - 32 : f);
    }
    return out;
}

namespace {

// The options UseOptions made current: one pointer per thread to run()'s record, which
// owns them; the defaults while there is none.
const GlobalOptions kDefaults;
thread_local const GlobalOptions *g_current = nullptr;

const GlobalOptions &current() {
    return g_current ? *g_current : kDefaults;
}

// The broken-down form of seconds read as UTC.
struct tm broken_down(int64_t secs) {
    time_t t = static_cast<time_t>(secs);
    struct tm tm {};
    gmtime_r(&t, &tm);
    return tm;
}

// The host zone's offset from UTC at `t`, in seconds.
bool offset_at(time_t t, long &off) {
    struct tm tm {};
    if (!localtime_r(&t, &tm)) return false;
    off = tm.tm_gmtoff;
    return true;
}

} // namespace

UseOptions::UseOptions(const GlobalOptions &o) : previous_(g_current) {
    g_current = &o;
}

UseOptions::~UseOptions() {
    g_current = previous_;
}

const char *short_codepage() {
    return current().codepage.c_str();
}

bool is_short_codepage(const std::string &name) {
    dv_name probe;
    return dv_shortname_to_name("           ", 0, name.c_str(), &probe) >= 0;
}

bool utc_times() {
    return current().utc;
}

std::u32string short_name_u32(const char shortname[12]) {
    if (shortname[0] == '\0') return U""; // exFAT: none
    dv_name n;
    if (dv_shortname_to_name(shortname, 0, short_codepage(), &n) < 0) return U"";
    return name_to_u32(n);
}

std::string fat_time(int64_t wall, bool utc, int32_t nsec, bool date_only) {
    if (wall == DV_TIME_NONE) return "-";
    struct tm tm = broken_down(wall);
    char buf[64];
    if (date_only) {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string s = buf;
    if (nsec > 0) {
        std::snprintf(buf, sizeof buf, ".%02d", static_cast<int>(nsec / 10000000));
        s += buf;
    }
    if (utc) s += 'Z';
    return s;
}

int offset_minutes(uint8_t off) {
    const int quarters = (off & 0x40) ? static_cast<int>(off & 0x7F) - 0x80 : off & 0x3F;
    return quarters * 15;
}

std::string offset_text(uint8_t off) {
    if (!(off & 0x80)) return "";
    const int m = offset_minutes(off);
    const int a = m < 0 ? -m : m;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", m < 0 ? '-' : '+', a / 60, a % 60);
    return buf;
}

std::string listing_time(int64_t t, uint8_t off, int32_t nsec, bool date_only) {
    const bool utc = utc_times();
    if (!(off & 0x80) || t == DV_TIME_NONE || utc) return fat_time(t, utc, nsec, date_only);
    long gmtoff = 0;
    if (!offset_at(static_cast<time_t>(t), gmtoff)) return fat_time(t, true, nsec, date_only);
    return fat_time(t + gmtoff, false, nsec, date_only);
}

std::string recorded_time(int64_t t, uint8_t off, int32_t nsec, bool date_only) {
    if (!(off & 0x80) || t == DV_TIME_NONE) return fat_time(t, utc_times(), nsec, date_only);
    return fat_time(t + offset_minutes(off) * 60, false, nsec, date_only) +
           (date_only ? "" : offset_text(off));
}

bool entry_host_time(int64_t t, uint8_t off, bool utc, time_t &out) {
    if (!(off & 0x80) || t == DV_TIME_NONE) return host_time(t, utc, out);
    out = static_cast<time_t>(t);
    return true;
}

bool host_time(int64_t wall, bool utc, time_t &out) {
    if (wall == DV_TIME_NONE) return false;
    if (utc) {
        out = static_cast<time_t>(wall);
        return true;
    }
    // The instants t with t + offset(t) == wall. Around a change of offset
    // there are two (the hour repeated when clocks go back) or none (the hour
    // they skip going forward); the offsets a day either side are the ones
    // in force before and after any change near it.
    const time_t w = static_cast<time_t>(wall);
    long offsets[3];
    if (!offset_at(w - 86400, offsets[0]) || !offset_at(w, offsets[1]) ||
        !offset_at(w + 86400, offsets[2]))
        return false;
    bool found = false;
    for (long o : offsets) {
        long at;
        // The later of two: the repeated hour's second pass, as mtools and 7-Zip read it.
        if (offset_at(w - o, at) && at == o && (!found || w - o > out)) {
            out = w - o;
            found = true;
        }
    }
    // A skipped time: the clock had not been put forward yet (02:30 is 03:30
    // summer time), as 7-Zip and mktime read it.
    if (!found) out = w - offsets[0];
    return true;
}

int64_t wall_clock(time_t t, bool utc) {
    struct tm tm {};
    if (utc || !localtime_r(&t, &tm)) return static_cast<int64_t>(t);
    return static_cast<int64_t>(t) + tm.tm_gmtoff;
}

std::u32string label_u32(const dv_entry &e) {
    return exfat_record(e) ? name_to_u32(e.name) : label_text_u32(e.shortname);
}

std::u32string label_text_u32(const char bytes[11]) {
    std::u32string out;
    for (int i = 0; i < 11; ++i) {
        char one[12] = "           ";
        one[0] = bytes[i];
        std::u32string c = one[0] == ' ' ? U" " : short_name_u32(one);
        out += c.empty() ? U"?" : c;
    }
    while (!out.empty() && out.back() == U' ') out.pop_back();
    return out;
}

const char *file_kind(unsigned mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "a regular file";
    case S_IFDIR:
        return "a directory";
    case S_IFLNK:
        return "a symbolic link";
    case S_IFCHR:
        return "a character device";
    case S_IFBLK:
        return "a block device";
    case S_IFIFO:
        return "a FIFO";
    case S_IFSOCK:
        return "a socket";
    default:
        return "not a regular file";
    }
}

std::string human_size(uint64_t bytes) {
    static const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        ++u;
    }
    char buf[32];
    if (u == 0)
        std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

std::string human_size_ls(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes);
    static const char units[] = "KMGTP";
    // In tenths, rounded up as ls does; one decimal below 10.
    int u = 0;
    uint64_t div = 1024;
    while (u < 4 && bytes > div * 1024 - 1) {
        div *= 1024;
        ++u;
    }
    uint64_t tenths = (bytes * 10 + div - 1) / div;
    char buf[32];
    if (tenths < 100) {
        std::snprintf(buf, sizeof buf, "%llu.%llu%c", static_cast<unsigned long long>(tenths / 10),
                      static_cast<unsigned long long>(tenths % 10), units[u]);
    } else {
        uint64_t whole = (bytes + div - 1) / div;
        if (whole >= 1024 && u < 4) {
            std::snprintf(buf, sizeof buf, "1.0%c", units[u + 1]);
        } else {
            std::snprintf(buf, sizeof buf, "%llu%c", static_cast<unsigned long long>(whole),
                          units[u]);
        }
    }
    return buf;
}

bool parse_size(std::string_view text, uint64_t &out) {
    size_t i = 0;
    uint64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (i == 0) return false;
    const std::string_view suffix = text.substr(i);
    static const char *const kSuffixes[][3] = {
        {"", "B", "B"}, {"K", "k", "KiB"}, {"M", "m", "MiB"}, {"G", "g", "GiB"}, {"T", "t", "TiB"}};
    for (int k = 0; k < 5; ++k)
        for (const char *s : kSuffixes[k])
            if (suffix == s) {
                if (v > (UINT64_MAX >> (10 * k))) return false;
                out = v << (10 * k);
                return true;
            }
    return false;
}

} // namespace dvcli
