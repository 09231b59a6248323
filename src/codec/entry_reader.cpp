// Entry reader: runs of 32-byte FAT directory entries -> dv_entry records.
#include "common/bytes.h"
#include "charset/casefold.h"
#include "codec/dirent_internal.h"
#include "charset/iconv_internal.h"

#include <dorvex/dorvex.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dorvex {
namespace {

// Highest first position of a long-name entry: sequence number 20 holds units 247-259.
constexpr int last_lfn_position = 247;
// Long-name entries in the longest run.
constexpr int kMaxRun = 20;
// First byte of a deleted entry.
constexpr uint8_t kDeletedMark = 0xE5;

bool is_lfn(const uint8_t *e) {
    return (e[DV_DIRENT_ATTR] & DV_ATTR_LFN) == DV_ATTR_LFN;
}

// Whether any of the 4 units in `v` is 0, as its top bit.
constexpr uint64_t zero_units(uint64_t v) {
    return (v - 0x0001000100010001u) & ~v & 0x8000800080008000u;
}

// Stores the 13 units of a long-name entry at position p of the name. Units that would
// fall beyond the name's terminator place (256 and up) are not stored. Returns whether a
// unit stored is 0: the name's end is looked for while its units are copied.
inline bool copy_lfn_units(const uint8_t *e, dv_name &name, int p) {
    uint16_t *u = name.units + p;
    if constexpr (std::endian::native == std::endian::little) {
        // The units lie in three stretches of the entry, already in the name's byte order.
        if (p + 13 <= DV_NAME_MAX + 1) {
            std::memcpy(u, e + 1, 10);
            std::memcpy(u + 5, e + 14, 12);
            std::memcpy(u + 11, e + 28, 4);
            // Tested in the entry, not in the copy: a load across the stores just made
            // would wait for them. Units 0-3, 5-8, 7-10, 9-12 (with 4 alone).
            uint64_t a, b, c;
            uint32_t d;
            std::memcpy(&a, e + 1, 8);
            std::memcpy(&b, e + 14, 8);
            std::memcpy(&c, e + 18, 8);
            std::memcpy(&d, e + 28, 4);
            const uint64_t tail = uint64_t{d} | 0xFFFFFFFF00000000u; // two units, no more
            return (zero_units(a) | zero_units(b) | zero_units(c) | zero_units(tail)) != 0 ||
                   load_le16(e + 9) == 0;
        }
    }
    bool zero = false;
    for (int k = 0; k < 13 && p + k <= DV_NAME_MAX; ++k) {
        u[k] = load_le16(e + lfn_unit_offsets[k]);
        zero |= u[k] == 0;
    }
    return zero;
}

// Whether any of the 8 bytes of `v` is 0.
constexpr bool has_zero_byte(uint64_t v) {
    return ((v - 0x0101010101010101u) & ~v & 0x8080808080808080u) != 0;
}

// The 11 name bytes, up to the first NUL, then NUL fill.
void copy_shortname(const uint8_t *e, char *shortname) {
    uint64_t head;
    std::memcpy(&head, e, 8);
    if (!has_zero_byte(head) && e[8] != 0 && e[9] != 0 && e[10] != 0) {
        std::memcpy(shortname, e, 11);
        shortname[11] = 0;
        return;
    }
    int i = 0;
    for (; i < 11 && e[i] != 0; ++i) shortname[i] = static_cast<char>(e[i]);
    for (; i < 12; ++i) shortname[i] = 0;
}

uint16_t short_unit(uint8_t byte) {
    // No code page is recorded on disk; take the OEM code page FAT tools assume.
    return byte < 0x80 ? byte : cp437_to_unicode(byte);
}

// BASE.EXT from the 8.3 bytes: trailing spaces of the base dropped, the extension up to its
// first space, no dot when it starts with a space. A NUL byte ends the name where it stands,
// as it ends `shortname`. `lcase` holds the lower-case flags to apply (0 for none). Returns
// the name's length.
int build_short_name(const uint8_t *e, dv_name &name, unsigned lcase = 0) {
    int base = 8;
    while (base > 0 && e[base - 1] == ' ') --base;
    int n = 0;
    for (int i = 0; i < base; ++i) {
        if (e[i] == 0) {
            name.units[n] = 0;
            return n;
        }
        const uint16_t u = short_unit(e[i]);
        name.units[n++] = (lcase & DV_LCASE_BASE) ? lower_ascii(u) : u;
    }
    if (e[DV_DIRENT_EXT] != ' ') {
        name.units[n++] = '.';
        for (int i = DV_DIRENT_EXT; i < DV_DIRENT_EXT + 3 && e[i] != ' ' && e[i] != 0; ++i) {
            const uint16_t u = short_unit(e[i]);
            name.units[n++] = (lcase & DV_LCASE_EXT) ? lower_ascii(u) : u;
        }
    }
    name.units[n] = 0;
    return n;
}

// Whether the 13 units of a long-name entry at position p agree with `want` at every place
// up to and including its terminator. Compares the raw entry a word at a time.
bool lfn_units_fit(const uint8_t *e, int p, const WantBytes &want) {
    const int b = p / 13;
    if (b >= want.blocks) return true;
    uint64_t diff = 0;
    for (int w = 0; w < DV_DIRENT_SIZE; w += 8) {
        uint64_t a, x, k;
        std::memcpy(&a, e + w, 8);
        std::memcpy(&x, want.expect[b] + w, 8);
        std::memcpy(&k, want.mask[b] + w, 8);
        diff |= (a ^ x) & k;
    }
    return diff == 0;
}

// The same for a folded `want`: each unit up to the terminator folds to want's unit there,
// and the terminator's place holds 0.
bool lfn_units_fold(const uint8_t *e, int p, const WantBytes &want) {
    for (int k = 0; k < 13; ++k) {
        const int pos = p + k;
        if (pos > want.len) return true;
        const uint16_t u = load_le16(e + lfn_unit_offsets[k]);
        if (pos == want.len ? u != 0 : fold_unit(u) != want.name.units[pos]) return false;
    }
    return true;
}

// What a walk over raw entries does with the runs and short entries it accepts. The walk
// itself (run starts, checksums, position checks, carry count, end marks) is shared.
enum class Step { next, fail, stop };

// The one walk over raw entries. `sink` fills records (dv_readentry) or only looks for a
// name (path lookup); Step::stop means the sink has already given the call its result.
// Whether the deleted entry `e` is only the mark: zeros in every other byte.
bool is_blank_slot(const uint8_t *e) {
    for (int i = 1; i < DV_DIRENT_SIZE; ++i)
        if (e[i] != 0) return false;
    return true;
}

template <class Sink>
int walk_entries(const dv_ctx *ctx, const uint8_t **entries, int *count, Sink &sink) {
    const uint8_t *e = *entries;
    int left = *count;
    if (left <= 0 || sink.full() || e[0] == 0) return 0;

    const bool lenient = ctx->lenient != 0;
    const bool deleted = (ctx->flags & DV_FLAG_DELETED) != 0;
    bool run_open = false;
    uint8_t run_checksum = 0;
    // A run of deleted long-name entries (DV_FLAG_DELETED): their sequence bytes are gone,
    // so they are kept by checksum and their order alone places their units.
    bool del_open = false;
    uint8_t del_checksum = 0;
    const uint8_t *del_first = nullptr;
    int del_count = 0;
    int p = 0;     // where the current long-name entry's units go
    int carry = 0; // entries from the open run's first entry to the end of the array
    int result = 0;

    do {
        if (deleted && e[0] == kDeletedMark) {
            run_open = false; // a deleted entry ends a live run, as a new run start would
            if (is_blank_slot(e)) {
                // A slot a writer skipped (0xE5, then zeros) never held a file.
                del_open = false;
                goto consume;
            }
            if (is_lfn(e)) {
                if (!del_open || e[DV_LFN_CHECKSUM] != del_checksum || del_count == kMaxRun) {
                    del_open = true;
                    del_checksum = e[DV_LFN_CHECKSUM];
                    del_first = e;
                    del_count = 0;
                    carry = left;
                }
                ++del_count;
                goto consume;
            }
            const Step step =
                del_open ? sink.accept_deleted(e, del_first, del_count, del_checksum, carry)
                         : sink.accept_deleted(e, nullptr, 0, 0, left);
            del_open = false;
            if (step == Step::stop) return sink.result;
            goto consume;
        }
        del_open = false;
        if (is_lfn(e)) {
            const uint8_t seq = e[DV_LFN_SEQ];
            if (seq & DV_LFN_LAST) {
                // A new run; one left open is dropped unchecked.
                run_open = true;
                run_checksum = e[DV_LFN_CHECKSUM];
                carry = left;
                sink.run_start(e, left);
                p = ((seq & 0x1F) - 1) * 13;
            } else if (!run_open) {
                goto consume; // a stray continuation entry
            } else if (e[DV_LFN_CHECKSUM] != run_checksum) {
                if (!lenient) {
                    result = -1;
                    break;
                }
                run_open = false;
                goto consume;
            } else {
                p -= 13;
            }
            // Sequence number 0, above 20, or more continuation entries than the first
            // entry's number allows: the units would land outside the name.
            if (p < 0 || p > last_lfn_position) {
                result = -1;
                break;
            }
            sink.lfn(e, p);
        } else {
            sink.short_seen(e);
            if (run_open) {
                // A run the sink has ruled out gives nothing the sink wants, and neither does
                // its short entry when that could not stand alone as the wanted name either,
                // stale run or not: no checksum needed.
                if (lenient && sink.ruled_out() && !sink.short_may_match()) {
                    run_open = false;
                    goto consume;
                }
                if (shortname_checksum(e) != run_checksum) {
                    if (!lenient) {
                        result = -1;
                        break;
                    }
                    // The long name is stale (the 8.3 entry was renamed or reused): a live
                    // entry stands alone under its 8.3 name; a deleted one goes with its run.
                    run_open = false;
                    if (e[0] == kDeletedMark) goto consume;
                } else if (lenient && sink.ruled_out()) {
                    // A run the sink has ruled out gives nothing the sink wants.
                    run_open = false;
                    goto consume;
                }
            }
            const Step step = sink.accept(e, run_open, left);
            if (step == Step::fail) {
                result = -1;
                break;
            }
            if (step == Step::stop) return sink.result;
            run_open = false;
        }
    consume:
        e += DV_DIRENT_SIZE;
        --left;
    } while (left > 0 && !sink.full() && e[0] != 0);

    // An open run is read again whole on the next call: report how many entries it spans.
    if (result == 0 && (run_open || del_open)) left = carry;
    *entries = e;
    *count = left;
    return result;
}

// Whether `c` may start an 8.3 name: the byte a deleted entry's lost first byte can be.
bool valid_first_byte(uint8_t c) {
    if (c >= 0x80) return c != kDeletedMark;
    if (c <= 0x20 || (c >= 'a' && c <= 'z')) return false;
    return std::strchr("\"*+,./:;<=>?[\\]|\x7F", c) == nullptr;
}

// The first byte of a deleted short entry that makes its checksum `checksum`: the checksum
// takes every byte value once for the first byte, so there is exactly one. 0 when that byte
// cannot start a name (the run then belongs to another entry).
uint8_t recover_first_byte(const uint8_t *e, uint8_t checksum) {
    uint8_t name[11];
    std::memcpy(name, e, 11);
    for (unsigned c = 0; c < 256; ++c) {
        name[0] = static_cast<uint8_t>(c);
        if (shortname_checksum(name) == checksum) return valid_first_byte(name[0]) ? name[0] : 0;
    }
    return 0;
}

// The name of a deleted entry: from its run of `count` deleted long-name entries, else its
// 8.3 name with the lost first byte recovered or '_'.
void deleted_name(const dv_ctx *ctx, const uint8_t *e, const uint8_t *run, int count,
                  uint8_t checksum, dv_name &name);

// Both forms of one time, from its date already decoded (`days`, -1 for none). A valid date
// needs no carrying, so the 32-bit form is the 64-bit one when it fits; only impossible
// fields take the carrying arithmetic.
inline void decode_times(int32_t days, uint16_t date, uint16_t time_word, uint8_t tenms,
                         dv_timestamp &ts, int64_t &sec64) {
    const int32_t secs = fat_time_seconds(time_word, tenms);
    if (days < 0 || secs < 0) {
        sec64 = DV_TIME_NONE;
        ts = decode_timestamp(date, time_word, tenms);
        return;
    }
    sec64 = int64_t{days} * 86400 + secs;
    ts.sec = sec64 > INT32_MAX ? -1 : static_cast<int32_t>(sec64);
    ts.nsec = (tenms % 100) * 10000000;
}

// The lower-case flags a context applies to names built from short entries.
inline unsigned lcase_of(const dv_ctx *ctx, const uint8_t *e) {
    return (ctx->flags & DV_FLAG_NTCASE) ? e[DV_DIRENT_RESERVED] : 0u;
}

// Fills one record per accepted run or short entry.
struct DecodeSink {
    const dv_ctx *ctx;
    dv_entry *rec;
    int room;
    int result = 0;

    bool full() const { return room <= 0; }
    static constexpr bool ruled_out() { return false; }
    static constexpr bool short_may_match() { return true; }
    int low = 0;           // the lowest unit the last run started has written
    int high = 0;          // the unit above the last run's top block (at most 256)
    int zero_block = -1;   // where the lowest block holding a 0 unit starts, or -1
    bool clearing = false; // a run started for this record: units below `low` read as 0
    void run_start(const uint8_t *e, int) {
        // The run writes its units from its top block down, and fill() every field after
        // the name: clear the rest, so the record is as if cleared whole.
        const int top = (e[DV_LFN_SEQ] & 0x1F) * 13;
        low = top < DV_NAME_MAX + 1 ? top : DV_NAME_MAX + 1;
        high = low;
        zero_block = -1;
        // In 16-byte stores from the 8-unit boundary at or below `low` (a string store of
        // odd length starts slowly): the units below `low` there are the top block's, which
        // the run writes next.
        constexpr int kUnits = sizeof rec->name.units / 2;
        static_assert((DV_NAME_MAX + 1) % 8 == 0 && kUnits > DV_NAME_MAX + 1);
        for (int i = low & ~7; i < DV_NAME_MAX + 1; i += 8) std::memset(rec->name.units + i, 0, 16);
        std::memset(rec->name.units + DV_NAME_MAX + 1, 0, (kUnits - DV_NAME_MAX - 1) * 2);
        clearing = true;
        rec->name.len = 0;
        std::memset(reinterpret_cast<uint8_t *>(&rec->name) + sizeof rec->name, 0,
                    offsetof(dv_entry, cluster) - sizeof rec->name);
    }
    void lfn(const uint8_t *e, int p) {
        // Blocks come from the top down: the last one with a 0 unit holds the first.
        if (copy_lfn_units(e, rec->name, p)) zero_block = p;
        low = p;
    }
    void short_seen(const uint8_t *e) { copy_shortname(e, rec->shortname); }
    Step accept(const uint8_t *e, bool from_run, int) {
        // The run's units end at its first 0 unit; without one, at the clearing above it.
        int len = high;
        if (zero_block >= 0)
            for (len = zero_block; rec->name.units[len] != 0; ++len) {
            }
        // Blocks a run lacked (a lenient run with entries missing, or one given up for its
        // short entry's own name) read as zeros.
        if (clearing && low > 0) {
            std::memset(rec->name.units, 0, size_t(low) * 2);
            len = 0;
        }
        if (!from_run) len = build_short_name(e, rec->name, lcase_of(ctx, e));
        if (len > DV_NAME_MAX) return Step::fail;
        rec->name.len = static_cast<uint16_t>(len);
        fill(e);
        return Step::next;
    }
    Step accept_deleted(const uint8_t *e, const uint8_t *run, int count, uint8_t checksum, int) {
        std::memset(rec, 0, sizeof *rec);
        copy_shortname(e, rec->shortname);
        deleted_name(ctx, e, run, count, checksum, rec->name);
        fill(e);
        return Step::next;
    }
    void fill(const uint8_t *e) {
        rec->cluster = static_cast<uint32_t>(load_le16(e + DV_DIRENT_CLUSTER_HI)) << 16 |
                       load_le16(e + DV_DIRENT_CLUSTER_LO);
        rec->size = load_le32(e + DV_DIRENT_SIZE_FIELD);
        rec->size64 = rec->valid64 = rec->size;
        rec->stream_flags = 0;
        std::memset(rec->utc_offset, 0, sizeof rec->utc_offset);
        rec->reserved2 = 0;
        rec->attr = e[DV_DIRENT_ATTR];
        const uint16_t cdate = load_le16(e + DV_DIRENT_CDATE);
        const uint16_t mdate = load_le16(e + DV_DIRENT_MDATE);
        const uint16_t adate = load_le16(e + DV_DIRENT_ADATE);
        const int32_t cdays = fat_date_days(cdate);
        const int32_t mdays = mdate == cdate ? cdays : fat_date_days(mdate);
        const int32_t adays = adate == mdate ? mdays : fat_date_days(adate);
        decode_times(cdays, cdate, load_le16(e + DV_DIRENT_CTIME), e[DV_DIRENT_CTIME_MS],
                     rec->ctime, rec->ctime64);
        decode_times(mdays, mdate, load_le16(e + DV_DIRENT_MTIME), 0, rec->mtime, rec->mtime64);
        decode_times(adays, adate, 0, 0, rec->atime, rec->atime64);
        rec->lcase = e[DV_DIRENT_RESERVED];
        rec->deleted = e[0] == kDeletedMark ? 1 : 0;
        rec->reserved[0] = rec->reserved[1] = 0;
        clearing = false;
        ++rec;
        --room;
    }
};

// Fills nothing: tracks whether the open run's units rule out `want`, and hands the first
// run or short entry that may carry it to dv_readentry, from its first entry.
template <bool Folded> struct MatchSink {
    const WantBytes &want; // with Folded, built from the folded name
    const uint8_t **entries;
    int *count;
    dv_entry **records;
    int *room;
    const dv_ctx *ctx;
    const uint8_t *run_first = nullptr;
    int run_left = 0;
    bool all_blocks = false; // the run started at sequence number 20 and reached block 0
    bool from_20 = false;
    bool differs = false; // a written unit rules out `want`
    int result = 0;

    bool full() const { return false; }
    // The open run cannot carry `want`. A run that wrote all 20 blocks may lack a
    // terminator, which only the full decoding judges. A folded lookup may still match the
    // run's 8.3 name when the wanted name is short enough to be one.
    bool ruled_out() const { return differs && !all_blocks && (!Folded || !short_may_match()); }
    // An 8.3 name has at most 12 units (8, the dot, 3).
    bool short_may_match() const { return want.len <= 12; }
    void run_start(const uint8_t *e, int left) {
        run_first = e;
        run_left = left;
        from_20 = (e[DV_LFN_SEQ] & 0x1F) == 20;
        all_blocks = false;
        differs = false;
    }
    void lfn(const uint8_t *e, int p) {
        // Positions only go down by 13 from the run's first entry, so the run has written
        // all 20 blocks when it started at block 19 and has reached block 0.
        all_blocks = from_20 && p == 0;
        if (!differs) differs = Folded ? !lfn_units_fold(e, p, want) : !lfn_units_fit(e, p, want);
    }
    void short_seen(const uint8_t *) {}
    Step accept(const uint8_t *e, bool from_run, int left) {
        if (from_run) {
            if (!differs || all_blocks) return decode_from(run_first, run_left);
            if (!Folded || !short_may_match() || !short_name_is(e, 0)) return Step::next;
            return decode_from(run_first, run_left);
        }
        if (!short_may_match() || !short_name_is(e, lcase_of(ctx, e))) return Step::next;
        return decode_from(e, left);
    }
    // Whether the 8.3 name of `e` is the wanted one (compared folded when Folded).
    bool short_name_is(const uint8_t *e, unsigned lcase) const {
        dv_name name;
        const int n = build_short_name(e, name, lcase);
        if (n != want.len) return false;
        for (int i = 0; i < n; ++i) {
            const uint16_t u = Folded ? fold_unit(name.units[i]) : name.units[i];
            if (want.name.units[i] != u) return false;
        }
        return true;
    }
    // A deleted entry is decoded whole and left to the lookup to compare: its name comes
    // from units whose places only the whole run tells.
    Step accept_deleted(const uint8_t *e, const uint8_t *run, int, uint8_t, int left) {
        return decode_from(run ? run : e, left);
    }
    Step decode_from(const uint8_t *start, int left) {
        const uint8_t *cursor = start;
        int n = left;
        result = dv_readentry(ctx, &cursor, &n, records, room);
        *entries = cursor;
        *count = n;
        return Step::stop;
    }
};

void deleted_name(const dv_ctx *ctx, const uint8_t *e, const uint8_t *run, int count,
                  uint8_t checksum, dv_name &name) {
    if (run != nullptr) {
        std::memset(name.units, 0, sizeof name.units);
        for (int i = 0; i < count; ++i)
            copy_lfn_units(run + i * DV_DIRENT_SIZE, name, (count - 1 - i) * 13);
        int len = 0;
        while (len < DV_NAME_MAX && name.units[len] != 0) ++len;
        if (len > 0) {
            name.units[len] = 0;
            name.len = static_cast<uint16_t>(len);
            return;
        }
    }
    // The 8.3 name, its lost first byte recovered from the run's checksum when that names
    // a byte that can start a name, else '_'.
    const uint8_t first = run != nullptr ? recover_first_byte(e, checksum) : 0;
    name.len = static_cast<uint16_t>(build_short_name(e, name, lcase_of(ctx, e)));
    if (name.len > 0) name.units[0] = first != 0 ? short_unit(first) : '_';
}

// The folded units of `name` equal `folded` (already folded).
bool folds_to(const dv_name &name, int len, const dv_name &folded) {
    if (len != folded.len) return false;
    for (int i = 0; i < len; ++i)
        if (fold_unit(name.units[i]) != folded.units[i]) return false;
    return true;
}

} // namespace

int read_entry_folded(const dv_ctx *ctx, const uint8_t **entries, int *count, dv_entry **records,
                      int *room, const WantBytes &folded) {
    if (*room <= 0) return 0;
    MatchSink<true> sink{folded, entries, count, records, room, ctx};
    return walk_entries(ctx, entries, count, sink);
}

bool folds_equal(const dv_name &name, const dv_name &folded) {
    return folds_to(name, name.len, folded);
}

bool alias_folds_equal(const dv_entry &rec, const dv_name &folded) {
    dv_name alias;
    const int n = build_short_name(reinterpret_cast<const uint8_t *>(rec.shortname), alias);
    return folds_to(alias, n, folded);
}

void fold_name(const dv_name &name, dv_name &out) {
    out.len = name.len;
    for (int i = 0; i < name.len; ++i) out.units[i] = fold_unit(name.units[i]);
    out.units[name.len] = 0;
}

WantBytes::WantBytes(const dv_name &want)
    : name(want), len(want.len), blocks((want.len + 13) / 13) {
    if (blocks > 20) blocks = 20;
    std::memset(expect, 0, sizeof expect[0] * static_cast<size_t>(blocks));
    std::memset(mask, 0, sizeof mask[0] * static_cast<size_t>(blocks));
    for (int b = 0; b < blocks; ++b)
        for (int k = 0; k < 13; ++k) {
            const int pos = 13 * b + k;
            if (pos > len || pos > DV_NAME_MAX) break;
            const uint16_t unit = pos < len ? want.units[pos] : 0;
            store_le16(expect[b] + lfn_unit_offsets[k], unit);
            mask[b][lfn_unit_offsets[k]] = mask[b][lfn_unit_offsets[k] + 1] = 0xFF;
        }
}

int read_entry_matching(const dv_ctx *ctx, const uint8_t **entries, int *count, dv_entry **records,
                        int *room, const WantBytes &want) {
    if (*room <= 0) return 0;
    MatchSink<false> sink{want, entries, count, records, room, ctx};
    return walk_entries(ctx, entries, count, sink);
}

} // namespace dorvex

extern "C" int dv_readentry(const dv_ctx *ctx, const uint8_t **entries, int *count,
                            dv_entry **records, int *room) {
    dorvex::DecodeSink sink{ctx, *records, *room};
    const int rc = dorvex::walk_entries(ctx, entries, count, sink);
    *records = sink.rec;
    *room = sink.room;
    return rc;
}
