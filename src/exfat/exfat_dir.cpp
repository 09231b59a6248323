// exFAT directory records: entry sets decoded into the records readfat_readdir returns, and
// names compared through the volume's up-case table.
#include <cerrno>
#include <cstring>

#include "codec/dirent_internal.h"
#include "exfat/exfat_internal.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

constexpr uint8_t kTypeFile = 0x85;
constexpr uint8_t kTypeDeletedFile = 0x05;
constexpr uint8_t kTypeLabel = 0x83;
constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kSecondary = 0x40;

uint32_t saturate(uint64_t v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

bool same_stamp(const ExfatStamp &a, const ExfatStamp &b) {
    return a.stamp == b.stamp && a.tenms == b.tenms && a.utc_offset == b.utc_offset;
}

// A stamp into the record's two forms: 64-bit seconds (true UTC when the offset is recorded)
// and the 32-bit timestamp (-1 past 2038 as on FAT; fields out of range carried over as
// dv_decodets does).
void set_time(const ExfatStamp &st, dv_timestamp &ts, int64_t &ts64) {
    const ExfatTime t = decode_exfat_time(st);
    ts64 = t.sec;
    if (t.sec == DV_TIME_NONE) {
        ts = decode_timestamp(static_cast<uint16_t>(st.stamp >> 16),
                              static_cast<uint16_t>(st.stamp), st.tenms);
        return;
    }
    ts.sec = t.sec >= INT32_MIN && t.sec <= INT32_MAX ? static_cast<int32_t>(t.sec) : -1;
    ts.nsec = t.nsec;
}

void fill_file(const ExfatSet &s, dv_entry *rec) {
    // Field by field: a listing fills one record per name.
    rec->name.len = static_cast<uint16_t>(s.name_len);
    std::memcpy(rec->name.units, s.name, sizeof(uint16_t) * size_t(s.name_len));
    rec->name.units[s.name_len] = 0;
    rec->cluster = s.first_cluster;
    rec->size64 = s.data_length;
    rec->size = saturate(s.data_length);
    rec->valid64 = s.valid_length < s.data_length ? s.valid_length : s.data_length;
    rec->attr = s.attributes;
    std::memset(rec->shortname, 0, sizeof rec->shortname);
    rec->lcase = 0;
    rec->reserved[0] = rec->reserved[1] = 0;
    rec->reserved2 = 0;
    rec->deleted = s.in_use ? 0 : 1;
    rec->stream_flags = s.stream_flags;
    rec->utc_offset[0] = s.create.utc_offset;
    rec->utc_offset[1] = s.modify.utc_offset;
    rec->utc_offset[2] = s.access.utc_offset;
    // Writers often give two or all three the same stamp: decoded once.
    set_time(s.create, rec->ctime, rec->ctime64);
    if (same_stamp(s.modify, s.create)) {
        rec->mtime = rec->ctime;
        rec->mtime64 = rec->ctime64;
    } else {
        set_time(s.modify, rec->mtime, rec->mtime64);
    }
    if (same_stamp(s.access, s.modify)) {
        rec->atime = rec->mtime;
        rec->atime64 = rec->mtime64;
    } else {
        set_time(s.access, rec->atime, rec->atime64);
    }
}

void fill_label(const ExfatSet &s, dv_entry *rec) {
    std::memset(rec, 0, sizeof *rec);
    rec->name.len = static_cast<uint16_t>(s.name_len);
    std::memcpy(rec->name.units, s.name, sizeof(uint16_t) * size_t(s.name_len));
    rec->attr = DV_ATTR_VOLUME;
    rec->ctime64 = rec->mtime64 = rec->atime64 = DV_TIME_NONE;
    rec->ctime.sec = rec->mtime.sec = rec->atime.sec = -1;
}

// Whether the set's name is `want` up-cased: its length first, then unit by unit.
bool name_matches(const readfat_volume *vol, const uint8_t *run, const ExfatWant &want) {
    const uint8_t *stream = run + kExfatEntrySize;
    if (stream[3] != want.upper->len) return false;
    const ExfatUpcase up{vol->upcase, 65536};
    for (uint32_t i = 0; i < want.upper->len; ++i) {
        const uint8_t *n = run + (2 + i / 15) * kExfatEntrySize;
        if (up(load_le16(n + 2 + 2 * (i % 15))) != want.upper->units[i]) return false;
    }
    return true;
}

} // namespace

uint16_t exfat_upper(const readfat_volume *vol, const dv_name &name, dv_name &out) {
    const ExfatUpcase up{vol->upcase, 65536};
    out.len = name.len;
    for (uint32_t i = 0; i < name.len; ++i) out.units[i] = up(name.units[i]);
    out.units[name.len] = 0;
    return exfat_name_hash(name.units, name.len, up);
}

int read_exfat_record(readfat_volume *vol, const uint8_t **cursor, uint32_t *count, dv_entry *rec,
                      const ExfatWant *want) {
    const bool deleted_too = (vol->ctx->flags & DV_FLAG_DELETED) != 0;
    const bool lenient = (vol->ctx->flags & DV_FLAG_LENIENT) != 0;
    const bool hashed = (vol->exfat_notes & DV_VOL_NOTE_UPCASE_BAD) == 0;
    const uint8_t *p = *cursor;
    uint32_t left = *count;
    auto step = [&](uint32_t n) {
        n = n < left ? n : left;
        p += size_t{n} * kExfatEntrySize;
        left -= n;
    };
    auto stop = [&](int result) {
        *cursor = p;
        *count = left;
        return result;
    };
    while (left != 0) {
        const uint8_t type = p[0];
        if (type == 0) return stop(0);
        const bool file = type == kTypeFile || (type == kTypeDeletedFile && deleted_too);
        if (!file) {
            if (type == kTypeLabel && !want) {
                ExfatSet s;
                if (parse_exfat_set(p, left, nullptr, &s) == ExfatCode::ok) {
                    fill_label(s, rec);
                    step(1);
                    return stop(1);
                }
            }
            // Benign primaries take their secondaries along; anything else is one entry
            // (free entries, deleted sets without DV_FLAG_DELETED, bitmap, up-case, orphans).
            // (A count past what a set can hold is no set: one entry is passed over.)
            const bool benign_primary =
                (type & (kInUse | kSecondary | 0x20)) == (kInUse | 0x20) && p[1] <= 18u;
            if (benign_primary && uint32_t{p[1]} + 1u > left) return stop(0);
            step(benign_primary ? 1u + p[1] : 1u);
            continue;
        }
        // A File set: the whole set must be in the window, else it is carried to the next one.
        const uint32_t secondaries = p[1];
        if (secondaries + 1u > left && secondaries <= 18u) return stop(0);
        // Only a set of 2 .. 18 secondaries (then all in the window) is compared, and only
        // when its name's entries lie inside it. The stream entry's name hash passes over
        // nearly every other name at once (unless the volume's own up-case table could not be
        // read: the writer hashed with that).
        const bool comparable = secondaries >= 2u && secondaries <= 18u &&
                                (uint32_t{p[kExfatEntrySize + 3]} + 14u) / 15u + 1u <= secondaries;
        if (want && (!comparable || (hashed && load_le16(p + kExfatEntrySize + 4) != want->hash) ||
                     !name_matches(vol, p, *want))) {
            step(type == kTypeFile && secondaries <= 18u ? 1u + secondaries : 1u);
            continue;
        }
        ExfatSet s;
        // A lenient listing shows a set whose checksum alone fails: it need not compute it.
        const ExfatCode code = parse_exfat_set(p, left, nullptr, &s, !lenient);
        const bool sound = code == ExfatCode::ok || (code == ExfatCode::set_checksum && lenient);
        if (sound) {
            fill_file(s, rec);
            step(1u + secondaries);
            return stop(1);
        }
        // A deleted set partly overwritten since is gone; an entry by entry walk goes on.
        if (type == kTypeDeletedFile) {
            step(1);
            continue;
        }
        // A damaged set in use: reported once, the listing goes on after it.
        step(secondaries <= 18u ? 1u + secondaries : 1u);
        return stop(-1);
    }
    return stop(0);
}

} // namespace dorvex
