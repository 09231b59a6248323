// Entry reader: runs of 32-byte FAT directory entries -> dv_entry records.
#include "bytes.h"
#include "dirent_internal.h"
#include "iconv_internal.h"

#include <dorvex/dorvex.h>

#include <cstdint>
#include <cstring>

namespace dorvex {
namespace {

// Highest first position of a long-name entry: sequence number 20 holds units 247-259.
constexpr int last_lfn_position = 247;

bool is_lfn(const uint8_t *e) {
    return (e[DV_DIRENT_ATTR] & DV_ATTR_LFN) == DV_ATTR_LFN;
}

// Stores the 13 units of a long-name entry at position p of the name. Units that would
// fall beyond the name's terminator place (256 and up) are not stored.
void copy_lfn_units(const uint8_t *e, dv_name &name, int p) {
    for (int k = 0; k < 13 && p + k <= DV_NAME_MAX; ++k)
        name.units[p + k] = load_le16(e + lfn_unit_offsets[k]);
}

// The 11 name bytes, up to the first NUL, then NUL fill.
void copy_shortname(const uint8_t *e, char *shortname) {
    int i = 0;
    for (; i < 11 && e[i] != 0; ++i) shortname[i] = static_cast<char>(e[i]);
    for (; i < 12; ++i) shortname[i] = 0;
}

uint16_t short_unit(uint8_t byte) {
    // No code page is recorded on disk; take the OEM code page FAT tools assume.
    return byte < 0x80 ? byte : cp437_to_unicode(byte);
}

// BASE.EXT from the 8.3 bytes: trailing spaces of the base dropped, the extension up to its
// first space, no dot when it starts with a space.
int build_short_name(const uint8_t *e, dv_name &name) {
    int base = 8;
    while (base > 0 && e[base - 1] == ' ') --base;
    int n = 0;
    for (int i = 0; i < base; ++i) name.units[n++] = short_unit(e[i]);
    if (e[DV_DIRENT_EXT] != ' ') {
        name.units[n++] = '.';
        for (int i = DV_DIRENT_EXT; i < DV_DIRENT_EXT + 3 && e[i] != ' '; ++i)
            name.units[n++] = short_unit(e[i]);
    }
    name.units[n] = 0;
    return n;
}

// Whether the 13 units of a long-name entry at position p agree with `want` at every place
// up to and including its terminator. Places past 255 are never stored.
bool lfn_units_fit(const uint8_t *e, int p, const dv_name &want) {
    const int wlen = want.len;
    for (int k = 0; k < 13; ++k) {
        const int pos = p + k;
        if (pos > wlen || pos > DV_NAME_MAX) break;
        const uint16_t expected = pos < wlen ? want.units[pos] : 0;
        if (load_le16(e + lfn_unit_offsets[k]) != expected) return false;
    }
    return true;
}

// Hands the entries from `start` on to dv_readentry, whose results become the caller's.
int decode_from(const dv_ctx *ctx, const uint8_t *start, int left, const uint8_t **entries,
                int *count, dv_entry **records, int *room) {
    const uint8_t *cursor = start;
    int n = left;
    const int rc = dv_readentry(ctx, &cursor, &n, records, room);
    *entries = cursor;
    *count = n;
    return rc;
}

} // namespace

int read_entry_matching(const dv_ctx *ctx, const uint8_t **entries, int *count, dv_entry **records,
                        int *room, const dv_name &want) {
    const uint8_t *e = *entries;
    int left = *count;
    if (left <= 0 || *room <= 0 || e[0] == 0) return 0;

    const bool lenient = ctx->lenient != 0;
    bool run_open = false;
    uint8_t run_checksum = 0;
    int p = 0;
    int carry = 0;
    const uint8_t *run_start = nullptr;
    uint32_t blocks = 0;  // which 13-unit blocks of the name the run has written
    bool differs = false; // a written unit rules out `want`
    int result = 0;

    do {
        if (is_lfn(e)) {
            const uint8_t seq = e[DV_LFN_SEQ];
            if (seq & DV_LFN_LAST) {
                run_open = true;
                run_checksum = e[DV_LFN_CHECKSUM];
                carry = left;
                run_start = e;
                blocks = 0;
                differs = false;
                p = ((seq & 0x1F) - 1) * 13;
            } else if (!run_open) {
                goto consume;
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
            if (p < 0 || p > last_lfn_position) {
                result = -1;
                break;
            }
            blocks |= 1u << (p / 13);
            if (!differs) differs = !lfn_units_fit(e, p, want);
        } else if (run_open) {
            // A run that wrote all 20 blocks may lack a terminator, which only the full
            // decoding judges; so does a name that may be the one wanted. In a lenient
            // context any other run ends the same way whether its checksum holds or not:
            // no record that could match.
            const bool candidate = !differs || blocks == 0xFFFFFu;
            if (candidate || !lenient) {
                if (shortname_checksum(e) != run_checksum) {
                    if (!lenient) {
                        result = -1;
                        break;
                    }
                    run_open = false;
                    goto consume;
                }
                if (candidate)
                    return decode_from(ctx, run_start, carry, entries, count, records, room);
            }
            run_open = false;
        } else {
            dv_name name;
            const int n = build_short_name(e, name);
            if (n == want.len && std::memcmp(name.units, want.units, sizeof(uint16_t) * n) == 0)
                return decode_from(ctx, e, left, entries, count, records, room);
        }
    consume:
        e += DV_DIRENT_SIZE;
        --left;
    } while (left > 0 && e[0] != 0);

    if (result == 0 && run_open) left = carry;
    *entries = e;
    *count = left;
    return result;
}

} // namespace dorvex

extern "C" int dv_readentry(const dv_ctx *ctx, const uint8_t **entries, int *count,
                            dv_entry **records, int *room) {
    using namespace dorvex;
    const uint8_t *e = *entries;
    int left = *count;
    dv_entry *rec = *records;
    int free_records = *room;
    if (left <= 0 || free_records <= 0 || e[0] == 0) return 0;

    const bool lenient = ctx->lenient != 0;
    bool run_open = false;
    uint8_t run_checksum = 0;
    int p = 0;     // where the current long-name entry's units go
    int carry = 0; // entries from the open run's first entry to the end of the array
    int result = 0;

    do {
        if (is_lfn(e)) {
            const uint8_t seq = e[DV_LFN_SEQ];
            if (seq & DV_LFN_LAST) {
                // A new run; one left open is dropped unchecked.
                run_open = true;
                run_checksum = e[DV_LFN_CHECKSUM];
                carry = left;
                std::memset(rec, 0, sizeof *rec);
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
            copy_lfn_units(e, rec->name, p);
        } else {
            copy_shortname(e, rec->shortname);
            if (run_open) {
                if (shortname_checksum(e) != run_checksum) {
                    if (!lenient) {
                        result = -1;
                        break;
                    }
                    // The run and its short entry go together: no record.
                    run_open = false;
                    goto consume;
                }
            } else {
                build_short_name(e, rec->name);
            }
            int len = 0;
            while (len <= DV_NAME_MAX && rec->name.units[len] != 0) ++len;
            if (len > DV_NAME_MAX) {
                result = -1;
                break;
            }
            rec->name.len = static_cast<uint16_t>(len);
            rec->cluster = static_cast<uint32_t>(load_le16(e + DV_DIRENT_CLUSTER_HI)) << 16 |
                           load_le16(e + DV_DIRENT_CLUSTER_LO);
            rec->size = load_le32(e + DV_DIRENT_SIZE_FIELD);
            rec->attr = e[DV_DIRENT_ATTR];
            rec->ctime = decode_timestamp(load_le16(e + DV_DIRENT_CDATE),
                                          load_le16(e + DV_DIRENT_CTIME), e[DV_DIRENT_CTIME_MS]);
            rec->mtime =
                decode_timestamp(load_le16(e + DV_DIRENT_MDATE), load_le16(e + DV_DIRENT_MTIME), 0);
            rec->atime = decode_timestamp(load_le16(e + DV_DIRENT_ADATE), 0, 0);
            ++rec;
            --free_records;
            run_open = false;
        }
    consume:
        e += DV_DIRENT_SIZE;
        --left;
    } while (left > 0 && free_records > 0 && e[0] != 0);

    // An open run is read again whole on the next call: report how many entries it spans.
    if (result == 0 && run_open) left = carry;
    *entries = e;
    *count = left;
    *records = rec;
    *room = free_records;
    return result;
}
