// Raw directory entries built by hand, independent of the library's writer.
#pragma once

#include <dorvex/dorvex.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace entrytest {

using Entry = std::array<uint8_t, DV_DIRENT_SIZE>;
using Units = std::u16string;

inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Rotate right, add: written out separately from the library's version on purpose.
inline uint8_t checksum(const char *name11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<uint8_t>(((sum >> 1) | (sum << 7)) + static_cast<uint8_t>(name11[i]));
    return sum;
}

struct ShortFields {
    uint8_t attr = DV_ATTR_ARCHIVE;
    uint32_t cluster = 0;
    uint32_t size = 0;
    uint8_t ctime_ms = 0;
    uint16_t ctime = 0, cdate = 0x0021, adate = 0x0021, mtime = 0, mdate = 0x0021;
};

// name11: exactly 11 bytes, base then extension, as stored.
inline Entry short_entry(const char *name11, const ShortFields &f = {}) {
    Entry e{};
    std::memcpy(e.data(), name11, 11);
    e[11] = f.attr;
    e[13] = f.ctime_ms;
    put16(&e[14], f.ctime);
    put16(&e[16], f.cdate);
    put16(&e[18], f.adate);
    put16(&e[20], static_cast<uint16_t>(f.cluster >> 16));
    put16(&e[22], f.mtime);
    put16(&e[24], f.mdate);
    put16(&e[26], static_cast<uint16_t>(f.cluster));
    e[28] = static_cast<uint8_t>(f.size);
    e[29] = static_cast<uint8_t>(f.size >> 8);
    e[30] = static_cast<uint8_t>(f.size >> 16);
    e[31] = static_cast<uint8_t>(f.size >> 24);
    return e;
}

constexpr int unit_offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// A long-name entry with the 13 given units (missing ones are 0xFFFF).
inline Entry lfn_entry(uint8_t seq, uint8_t sum, const Units &units13) {
    Entry e{};
    e[0] = seq;
    e[11] = 0x0F;
    e[13] = sum;
    for (int k = 0; k < 13; ++k)
        put16(&e[unit_offsets[k]], k < static_cast<int>(units13.size()) ? units13[k] : 0xFFFF);
    return e;
}

// The well-formed run for `name` (terminator, then 0xFFFF fill) and its short entry.
inline std::vector<Entry> run(const Units &name, const char *name11, const ShortFields &f = {}) {
    const uint8_t sum = checksum(name11);
    Units padded = name;
    if (padded.size() % 13 != 0 || padded.empty()) padded.push_back(0);
    const size_t n = (padded.size() + 12) / 13;
    std::vector<Entry> out;
    for (size_t s = n; s >= 1; --s) {
        Units piece = padded.substr((s - 1) * 13, 13);
        out.push_back(lfn_entry(static_cast<uint8_t>(s | (s == n ? 0x40 : 0)), sum, piece));
    }
    out.push_back(short_entry(name11, f));
    return out;
}

inline std::vector<uint8_t> flatten(const std::vector<Entry> &entries) {
    std::vector<uint8_t> bytes;
    for (const auto &e : entries) bytes.insert(bytes.end(), e.begin(), e.end());
    return bytes;
}

inline Units name_of(const dv_entry &r) {
    Units u;
    for (unsigned i = 0; i < r.name.len; ++i) u.push_back(static_cast<char16_t>(r.name.units[i]));
    return u;
}

} // namespace entrytest
