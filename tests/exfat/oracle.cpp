#include "oracle.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace dvtest {

// ---- SHA-256 -------------------------------------------------------------------------------

namespace {

uint32_t rotr(uint32_t x, int n) {
    return x >> n | x << (32 - n);
}

const uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

} // namespace

std::string sha256_hex(const std::string &data) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string m = data;
    m += char(0x80);
    while (m.size() % 64 != 56) m += char(0);
    const uint64_t bits = uint64_t(data.size()) * 8;
    for (int i = 7; i >= 0; --i) m += char(uint8_t(bits >> (8 * i)));
    for (size_t off = 0; off < m.size(); off += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const auto *p = reinterpret_cast<const uint8_t *>(m.data() + off + 4 * i);
            w[i] = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 =
                k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
            const uint32_t t2 =
                (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            k = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
    }
    char out[65];
    for (int i = 0; i < 8; ++i) snprintf(out + 8 * i, 9, "%08x", h[i]);
    return out;
}

// ---- rawdump -------------------------------------------------------------------------------

namespace {

std::string after(const std::string &line, const std::string &key) {
    const size_t p = line.find(key);
    if (p == std::string::npos) return "";
    const size_t v = p + key.size();
    return line.substr(v, line.find(' ', v) - v);
}

// "2024-05-01 10:01:06+1000ms UTC+00:00" or "2024-05-01 10:01:06 UTC+00:00".
RawStamp parse_stamp(const std::string &text) {
    RawStamp s;
    std::tm t{};
    int ms = 0;
    char sign = '+';
    int oh = 0, om = 0;
    if (sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
               &t.tm_min, &t.tm_sec) != 6)
        ADD_FAILURE() << "stamp: " << text;
    t.tm_year -= 1900, t.tm_mon -= 1;
    s.local = int64_t(timegm(&t));
    const size_t plus = text.find('+', 19);
    if (text.find("ms") != std::string::npos && plus != std::string::npos)
        ms = std::stoi(text.substr(plus + 1));
    s.ms = ms;
    const size_t utc = text.find("UTC");
    if (utc != std::string::npos &&
        sscanf(text.c_str() + utc + 3, "%c%d:%d", &sign, &oh, &om) == 3) {
        s.utc = true;
        s.offset_min = (sign == '-' ? -1 : 1) * (oh * 60 + om);
    }
    return s;
}

} // namespace

RawDump parse_rawdump(const std::string &path) {
    RawDump d;
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("sector=", 0) == 0) {
            d.sector = uint32_t(std::stoul(after(line, "sector=")));
            d.cluster = uint32_t(std::stoul(after(line, "cluster=")));
            d.clusters = uint32_t(std::stoul(after(line, "clusters=")));
            d.root = uint32_t(std::stoul(after(line, "root=")));
        } else if (line.rfind("label ", 0) == 0) {
            d.label = line.substr(6);
        } else if (line.rfind("live ", 0) == 0 || line.rfind("DELETED ", 0) == 0) {
            RawSet s;
            s.live = line[0] == 'l';
            s.dir = line.find(" dir ") != std::string::npos;
            s.path = line.substr(line.find('/'));
            d.sets.push_back(s);
        } else if (!d.sets.empty() && line.rfind("  attrs=", 0) == 0) {
            RawSet &s = d.sets.back();
            s.attrs = uint32_t(std::stoul(after(line, "attrs="), nullptr, 16));
            s.flags = uint32_t(std::stoul(after(line, "flags="), nullptr, 16));
            s.size = std::stoull(after(line, "size="));
            s.valid = std::stoull(after(line, "valid="));
            s.first = uint32_t(std::stoul(after(line, "first=")));
            std::istringstream runs(line.substr(line.find("runs=") + 5));
            std::string r;
            while (runs >> r) {
                if (r[0] < '0' || r[0] > '9') continue; // "(as if contiguous)"
                const size_t dash = r.find('-');
                const uint32_t a = uint32_t(std::stoul(r));
                const uint32_t b =
                    dash == std::string::npos ? a : uint32_t(std::stoul(r.substr(dash + 1)));
                s.runs.emplace_back(a, b - a + 1);
            }
        } else if (!d.sets.empty() && line.rfind("  created ", 0) == 0) {
            d.sets.back().created = parse_stamp(line.substr(11));
        } else if (!d.sets.empty() && line.rfind("  modified ", 0) == 0) {
            d.sets.back().modified = parse_stamp(line.substr(11));
        } else if (!d.sets.empty() && line.rfind("  accessed ", 0) == 0) {
            d.sets.back().accessed = parse_stamp(line.substr(11));
        }
    }
    return d;
}

// ---- The Sleuth Kit ------------------------------------------------------------------------

std::vector<BodyLine> parse_body(const std::string &path) {
    std::vector<BodyLine> v;
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream s(line);
        for (std::string x; std::getline(s, x, '|');) f.push_back(x);
        if (f.size() != 11) {
            ADD_FAILURE() << "body line: " << line;
            continue;
        }
        BodyLine b;
        b.path = f[1];
        const std::string del = " (deleted)";
        if (b.path.size() > del.size() &&
            b.path.compare(b.path.size() - del.size(), del.size(), del) == 0) {
            b.deleted = true;
            b.path.resize(b.path.size() - del.size());
        }
        b.inode = std::stoull(f[2]);
        b.dir = f[3][0] == 'd';
        b.size = std::stoull(f[6]);
        b.atime = std::stoll(f[7]), b.mtime = std::stoll(f[8]), b.crtime = std::stoll(f[10]);
        v.push_back(b);
    }
    return v;
}

std::map<std::string, std::string> parse_fields(const std::string &path) {
    std::map<std::string, std::string> m;
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::string line;
    while (std::getline(in, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) continue;
        const size_t v = line.find_first_not_of(" \t", colon + 1);
        // The first of a repeated name counts (fsstat has a second "Range" for inodes).
        m.emplace(line.substr(0, colon), v == std::string::npos ? "" : line.substr(v));
    }
    return m;
}

// ---- The manifest: the JSON subset it uses (objects, arrays, strings, numbers) ---------------

namespace {

struct Json {
    const std::string &s;
    size_t i = 0;
    bool bad = false;

    void ws() {
        while (i < s.size() && isspace(uint8_t(s[i]))) ++i;
    }
    bool eat(char c) {
        ws();
        if (i < s.size() && s[i] == c) return ++i, true;
        return false;
    }
    std::string str() {
        ws();
        std::string r;
        if (!eat('"')) return bad = true, r;
        while (i < s.size() && s[i] != '"') {
            if (s[i] == '\\' && i + 1 < s.size()) {
                ++i;
                if (s[i] == 'u') { // the manifests hold UTF-8 as is; \u only for controls
                    r += char(std::stoi(s.substr(i + 1, 4), nullptr, 16));
                    i += 4;
                } else {
                    r += s[i] == 'n' ? '\n' : s[i] == 't' ? '\t' : s[i];
                }
                ++i;
            } else {
                r += s[i++];
            }
        }
        ++i;
        return r;
    }
    // Any value: strings and numbers come back as text, objects and arrays are skipped
    // unless a callback reads them.
    std::string scalar() {
        ws();
        if (i < s.size() && s[i] == '"') return str();
        const size_t b = i;
        while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && !isspace(uint8_t(s[i])))
            ++i;
        return s.substr(b, i - b);
    }
    void skip() {
        ws();
        if (eat('[')) {
            if (eat(']')) return;
            do skip();
            while (eat(','));
            if (!eat(']')) bad = true;
        } else if (eat('{')) {
            if (eat('}')) return;
            do {
                str();
                if (!eat(':')) bad = true;
                skip();
            } while (eat(','));
            if (!eat('}')) bad = true;
        } else {
            scalar();
        }
    }
    std::vector<ManifestEntry> entries() {
        std::vector<ManifestEntry> v;
        if (!eat('[')) return bad = true, v;
        if (eat(']')) return v;
        do {
            ManifestEntry e;
            if (!eat('{')) return bad = true, v;
            do {
                const std::string k = str();
                if (!eat(':')) bad = true;
                ws();
                if (s[i] == '{' || s[i] == '[') {
                    skip();
                    continue;
                }
                const std::string val = scalar();
                if (k == "path") e.path = val;
                if (k == "type") e.type = val;
                if (k == "sha256") e.sha256 = val;
                if (k == "size") e.size = std::stoull(val);
                if (k == "mtime") e.mtime = std::stod(val);
            } while (eat(','));
            if (!eat('}')) bad = true;
            v.push_back(e);
        } while (eat(','));
        if (!eat(']')) bad = true;
        return v;
    }
};

} // namespace

Manifest parse_manifest(const std::string &path) {
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    Json j{text};
    Manifest m;
    if (!j.eat('{')) j.bad = true;
    do {
        const std::string k = j.str();
        if (!j.eat(':')) j.bad = true;
        if (k == "entries")
            m.entries = j.entries();
        else if (k == "deleted")
            m.deleted = j.entries();
        else
            j.skip();
    } while (!j.bad && j.eat(','));
    EXPECT_FALSE(j.bad) << path << ": cannot parse near byte " << j.i;
    return m;
}

} // namespace dvtest
