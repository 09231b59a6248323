// exFAT directory entry sets (File with its Stream Extension and File Name entries, and the
// root's bitmap, up-case and label entries) and exFAT timestamps.
#include "exfat/exfat_internal.h"

#include "codec/dirent_internal.h"
#include "common/bytes.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace dorvex {

namespace {

constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kSecondary = 0x40; // TypeCategory
constexpr uint8_t kBenign = 0x20;    // TypeImportance
constexpr uint8_t kTypeEnd = 0x00;
constexpr uint8_t kTypeInvalid = 0x80;
constexpr uint8_t kTypeBitmap = 0x81;
constexpr uint8_t kTypeUpcase = 0x82;
constexpr uint8_t kTypeLabel = 0x83;
constexpr uint8_t kTypeFile = 0x85;
constexpr uint8_t kTypeStream = 0xC0;
constexpr uint8_t kTypeName = 0xC1;
constexpr int kFileMinSecondaries = 2; // the stream and one name entry
constexpr int kFileMaxSecondaries = 18;
constexpr int kUnitsPerNameEntry = 15;

const uint8_t *entry(const uint8_t *run, size_t i) {
    return run + i * kExfatEntrySize;
}

ExfatStamp stamp_at(const uint8_t *e, size_t stamp, size_t tenms, size_t offset) {
    return ExfatStamp{load_le32(e + stamp), tenms ? e[tenms] : uint8_t{0}, e[offset]};
}

// The secondaries of a set whose primary is run[0]: present, secondaries, with the primary's
// in-use bit, and the checksum right.
ExfatCode check_secondaries(const uint8_t *run, size_t count, int secondaries, bool in_use,
                            bool verify = true) {
    if (size_t(secondaries) + 1 > count) return ExfatCode::set_past_run;
    for (int i = 1; i <= secondaries; ++i) {
        const uint8_t t = entry(run, size_t(i))[0];
        if ((t & kSecondary) == 0) return ExfatCode::primary_inside_set;
        if (((t & kInUse) != 0) != in_use) return ExfatCode::in_use_mismatch;
    }
    const uint16_t want = load_le16(run + 2);
    if (verify && exfat_set_checksum(run, size_t(secondaries) + 1, !in_use) != want)
        return ExfatCode::set_checksum;
    return ExfatCode::ok;
}

ExfatCode parse_file(const uint8_t *run, size_t count, const ExfatUpcase *upcase, ExfatSet *s,
                     bool verify) {
    const uint8_t *f = run;
    const int secondaries = f[1];
    if (secondaries < kFileMinSecondaries || secondaries > kFileMaxSecondaries)
        return ExfatCode::bad_secondary_count;
    s->attributes = load_le16(f + 4);
    s->create = stamp_at(f, 8, 20, 22);
    s->modify = stamp_at(f, 12, 21, 23);
    s->access = stamp_at(f, 16, 0, 24);
    // A checksum that does not match is reported last, with the rest of the set decoded, so
    // that a lenient reader can still show what it holds.
    const ExfatCode sum = check_secondaries(run, count, secondaries, s->in_use, verify);
    if (sum != ExfatCode::ok && sum != ExfatCode::set_checksum) return sum;

    const uint8_t *st = entry(run, 1);
    if ((st[0] | kInUse) != kTypeStream) return ExfatCode::stream_missing;
    s->stream_flags = st[1];
    s->name_len = st[3];
    s->name_hash = load_le16(st + 4);
    s->valid_length = load_le64(st + 8);
    s->first_cluster = load_le32(st + 20);
    s->data_length = load_le64(st + 24);
    if (s->name_len == 0) return ExfatCode::name_empty;
    const int name_entries = (s->name_len + kUnitsPerNameEntry - 1) / kUnitsPerNameEntry;
    if (name_entries > secondaries - 1) return ExfatCode::name_past_entries;
    for (int i = 0; i < name_entries; ++i) {
        const uint8_t *n = entry(run, size_t(i) + 2);
        if ((n[0] | kInUse) != kTypeName) return ExfatCode::name_past_entries;
        for (int k = 0; k < kUnitsPerNameEntry; ++k) {
            const int at = i * kUnitsPerNameEntry + k;
            if (at < s->name_len) s->name[at] = load_le16(n + 2 + 2 * k);
        }
    }
    // After the names: benign secondaries are skipped, a critical one is not understood.
    for (int i = name_entries + 2; i <= secondaries; ++i)
        if ((entry(run, size_t(i))[0] & kBenign) == 0) return ExfatCode::unknown_critical;
    if (s->valid_length > s->data_length) return ExfatCode::valid_past_data;
    if (upcase && exfat_name_hash(s->name, size_t(s->name_len), *upcase) != s->name_hash)
        return ExfatCode::name_hash;
    return sum;
}

} // namespace

uint16_t exfat_set_checksum(const uint8_t *run, size_t entries, bool force_in_use) {
    uint16_t sum = 0;
    const size_t n = entries * kExfatEntrySize;
    for (size_t i = 0; i < n; ++i) {
        if (i == 2 || i == 3) continue;
        uint8_t b = run[i];
        if (force_in_use && i % kExfatEntrySize == 0) b |= kInUse;
        sum = static_cast<uint16_t>(std::rotr(sum, 1) + b);
    }
    return sum;
}

ExfatCode parse_exfat_set(const uint8_t *run, size_t count, const ExfatUpcase *upcase, ExfatSet *s,
                          bool verify) {
    // Every field but the name, which is filled as far as name_len says (a listing's hot path).
    std::memset(static_cast<void *>(s), 0, offsetof(ExfatSet, name));
    s->kind = ExfatSetKind::unused;
    if (count == 0) return ExfatCode::short_buffer;
    s->entries = 1;
    const uint8_t *e = run;
    const uint8_t type = s->type = e[0];
    s->in_use = (type & kInUse) != 0;
    if (type == kTypeEnd) {
        s->kind = ExfatSetKind::end;
        return ExfatCode::ok;
    }
    if (type == kTypeInvalid) return ExfatCode::invalid_entry;
    if (type == (kTypeFile & ~kInUse) || type == kTypeFile) {
        s->kind = ExfatSetKind::file;
        const ExfatCode c = parse_file(run, count, upcase, s, verify || !s->in_use);
        if (c == ExfatCode::ok) s->entries = 1 + e[1];
        return c;
    }
    if (!s->in_use) return ExfatCode::ok; // a free entry of any other type
    if (type & kSecondary) return ExfatCode::orphan_secondary;
    switch (type) {
    case kTypeBitmap:
        s->kind = ExfatSetKind::bitmap;
        s->bitmap_index = e[1] & 1;
        s->first_cluster = load_le32(e + 20);
        s->data_length = load_le64(e + 24);
        return ExfatCode::ok;
    case kTypeUpcase:
        s->kind = ExfatSetKind::upcase;
        s->table_checksum = load_le32(e + 4);
        s->first_cluster = load_le32(e + 20);
        s->data_length = load_le64(e + 24);
        return ExfatCode::ok;
    case kTypeLabel:
        s->kind = ExfatSetKind::label;
        if (e[1] > kExfatMaxLabel) return ExfatCode::label_too_long;
        s->name_len = e[1];
        for (int i = 0; i < s->name_len; ++i) s->name[i] = load_le16(e + 2 + 2 * i);
        return ExfatCode::ok;
    default:
        break;
    }
    if ((type & kBenign) == 0) return ExfatCode::unknown_critical;
    // Benign primaries (volume GUID, TexFAT padding, vendor ones) share the generic layout.
    s->kind = ExfatSetKind::benign;
    const ExfatCode c = check_secondaries(run, count, e[1], true);
    if (c == ExfatCode::ok) s->entries = 1 + e[1];
    return c;
}

ExfatTime decode_exfat_time(const ExfatStamp &st) {
    ExfatTime t{};
    t.sec = decode_timestamp64(static_cast<uint16_t>(st.stamp >> 16),
                               static_cast<uint16_t>(st.stamp), st.tenms);
    if (t.sec == DV_TIME_NONE) return t;
    t.nsec = static_cast<int32_t>(st.tenms % 100) * 10000000;
    if (st.utc_offset & 0x80) {
        // Bits 0-6 are a signed count of quarter hours east of UTC; the stamp is local time.
        const int quarters =
            (st.utc_offset & 0x40) ? (st.utc_offset & 0x7F) - 128 : (st.utc_offset & 0x7F);
        t.sec -= int64_t{quarters} * 15 * 60;
        t.utc = true;
    }
    return t;
}

} // namespace dorvex
