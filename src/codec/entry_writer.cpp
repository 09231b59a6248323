// Entry writer: dv_entry records -> long-name runs and short entries.
#include "common/bytes.h"
#include "codec/dirent_internal.h"

#include <dorvex/dorvex.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace dorvex {
namespace {

// Long-name entry number i (0 = first on disk) of a run of `lfn_count` entries.
void write_lfn(uint8_t *e, const dv_name &name, unsigned i, unsigned lfn_count, uint8_t checksum) {
    const unsigned seq = lfn_count - i;
    e[DV_LFN_SEQ] = static_cast<uint8_t>(i == 0 ? seq | DV_LFN_LAST : seq);
    e[DV_LFN_ATTR] = DV_ATTR_LFN;
    e[DV_LFN_TYPE] = 0;
    e[DV_LFN_CHECKSUM] = checksum;
    store_le16(e + DV_LFN_CLUSTER, 0);
    for (uint8_t off : lfn_unit_offsets) store_le16(e + off, 0xFFFF);
    // Copy up to and including the terminating zero unit; the places after it keep the fill.
    unsigned pos = (seq - 1) * 13;
    for (uint8_t off : lfn_unit_offsets) {
        if (pos > DV_NAME_MAX + 1) break; // end of the units array, whatever the record holds
        const uint16_t unit = name.units[pos++];
        store_le16(e + off, unit);
        if (unit == 0) break;
    }
}

// One timestamp of a record. With `wide`, a 32-bit time that cannot hold it (negative
// seconds) gives way to the record's 64-bit one, so times after 2038 can be written.
int encode_field(const dv_timestamp &ts, int64_t ts64, bool wide, uint16_t *date,
                 uint16_t *time_word, uint8_t *tenms) {
    if (ts.sec >= 0 || !wide || ts64 == DV_TIME_NONE)
        return encode_timestamp(ts, date, time_word, tenms);
    return encode_timestamp64(ts64, 0, date, time_word, tenms) == 0 ? 0 : -1;
}

void write_short(uint8_t *e, const dv_entry &r, bool ntcase) {
    std::memcpy(e, r.shortname, 11);
    e[DV_DIRENT_ATTR] = static_cast<uint8_t>(r.attr);
    e[DV_DIRENT_RESERVED] = ntcase ? r.lcase & (DV_LCASE_BASE | DV_LCASE_EXT) : 0;

    // A timestamp that has no FAT form (before 1970) leaves its bytes as they were.
    uint16_t date, time_word;
    uint8_t tenms;
    if (encode_field(r.ctime, r.ctime64, ntcase, &date, &time_word, &tenms) >= 0) {
        e[DV_DIRENT_CTIME_MS] = tenms;
        store_le16(e + DV_DIRENT_CTIME, time_word);
        store_le16(e + DV_DIRENT_CDATE, date);
    }
    if (encode_field(r.atime, r.atime64, ntcase, &date, nullptr, nullptr) >= 0)
        store_le16(e + DV_DIRENT_ADATE, date);
    if (encode_field(r.mtime, r.mtime64, ntcase, &date, &time_word, nullptr) >= 0) {
        store_le16(e + DV_DIRENT_MTIME, time_word);
        store_le16(e + DV_DIRENT_MDATE, date);
    }
    store_le16(e + DV_DIRENT_CLUSTER_HI, static_cast<uint16_t>(r.cluster >> 16));
    store_le16(e + DV_DIRENT_CLUSTER_LO, static_cast<uint16_t>(r.cluster));
    store_le32(e + DV_DIRENT_SIZE_FIELD, r.size);
}

} // namespace
} // namespace dorvex

extern "C" int dv_writeentry(dv_ctx *ctx, const dv_entry **records, int *count, uint8_t **entries,
                             unsigned *room) {
    using namespace dorvex;
    if (*count <= 0) return 0; // nothing to write, not even an end mark
    // The NT form: lower-case flags kept, an empty name stands for "8.3 name only".
    const bool ntcase = (ctx->flags & DV_FLAG_NTCASE) != 0;
    while (*count > 0) {
        const dv_entry &r = **records;
        const unsigned n = r.name.len;
        if (n > DV_NAME_MAX) {
            ctx->err = ENAMETOOLONG;
            return -1;
        }
        // n/13 + 1 long-name entries (a name filling its last entry gets one holding only
        // the terminator) plus the short entry.
        // The NT form: no long name for an empty one, and no entry holding the terminator
        // alone when the units fill their last entry (as Windows writes them).
        const unsigned lfn_count = ntcase ? (n + 12) / 13 : n / 13 + 1;
        const unsigned needed = lfn_count + 1;
        if (*room < needed) {
            ctx->err = E2BIG;
            return static_cast<int>(needed - *room);
        }
        const uint8_t checksum = shortname_checksum(reinterpret_cast<const uint8_t *>(r.shortname));
        for (unsigned i = 0; i < lfn_count; ++i) {
            write_lfn(*entries, r.name, i, lfn_count, checksum);
            *entries += DV_DIRENT_SIZE;
            --*room;
        }
        write_short(*entries, r, ntcase);
        *entries += DV_DIRENT_SIZE;
        --*room;
        ++*records;
        --*count;
    }
    // Mark the end of the directory after the last run, unless it is marked already or
    // there is no room left.
    if (*room > 0 && (*entries)[0] != 0) {
        std::memset(*entries, 0, DV_DIRENT_SIZE);
        *entries += DV_DIRENT_SIZE;
        --*room;
    }
    return 0;
}

extern "C" unsigned dv_entrycount(uint32_t flags, unsigned units) {
    if (units > DV_NAME_MAX) return 0;
    // The NT form writes no long name for an empty one, and no entry that holds only the
    // terminator; the original form always ends the name with a terminator.
    if (flags & DV_FLAG_NTCASE) return units == 0 ? 1 : (units + 12) / 13 + 1;
    return units / 13 + 2;
}
