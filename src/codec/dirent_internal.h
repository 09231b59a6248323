// Directory-entry helpers shared by the entry reader and writer.
#pragma once

#include <dorvex/dorvex.h>

#include <bit>
#include <cstdint>

namespace dorvex {

// VFAT short-name checksum over the 11 stored 8.3 bytes (padding spaces included): rotate
// right by one bit, add the next byte, all modulo 256.
inline uint8_t shortname_checksum(const uint8_t *name11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(std::rotr(sum, 1) + name11[i]);
    return sum;
}

// The unit places of a long-name entry, in name order.
inline constexpr uint8_t lfn_unit_offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// UTC conversions behind dv_encodets/dv_decodets, also used per entry by the codec.
// encode_timestamp returns -1 (storing nothing) for a negative count, else 0 (a 32-bit count
// never reaches the year 2100); time_word and tenms may be null.
int encode_timestamp(const dv_timestamp &ts, uint16_t *date, uint16_t *time_word, uint8_t *tenms);
dv_timestamp decode_timestamp(uint16_t date, uint16_t time_word, uint8_t tenms);
// 64-bit seconds over FAT's whole range, DV_TIME_NONE for fields out of range; and back,
// returning -1 before 1980, 1 after 2107 (nothing stored).
int64_t decode_timestamp64(uint16_t date, uint16_t time_word, uint8_t tenms);
// Its two halves: days from 1970 to a FAT date (-1 when the date does not exist), and
// seconds into the day of a time word and 10-ms byte (-1 when out of range). An entry's
// three dates are often one, decoded once.
// Inline: the listing decodes one of each per entry.
// Days before each month of a common year, and each month's length (index 1-12).
inline constexpr uint16_t kDaysBeforeMonth[13] = {0,   0,   31,  59,  90,  120, 151,
                                                  181, 212, 243, 273, 304, 334};
inline constexpr uint8_t kMonthDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
// FAT years 1980-2107: every fourth is a leap year, except 2100 (year 120).
inline constexpr unsigned kYear2100 = 120;
inline constexpr int32_t kFatDays1980 = 3652; // 1970-01-01 to 1980-01-01

inline int32_t fat_date_days(uint16_t date) {
    const unsigned y = date >> 9;
    const unsigned month = (date >> 5) & 0x0F, day = date & 0x1F;
    if (month < 1 || month > 12 || day < 1) return -1;
    const unsigned leap = (y & 3) == 0 && y != kYear2100 ? 1 : 0;
    if (day > kMonthDays[month] + (month == 2 ? leap : 0)) return -1;
    // Leap days of the years before: 1980, 1984, ... (2100 not among them).
    const unsigned leap_days = (y + 3) / 4 - (y > kYear2100 ? 1 : 0);
    return static_cast<int32_t>(kFatDays1980 + 365 * y + leap_days + kDaysBeforeMonth[month] +
                                (month > 2 ? leap : 0) + day - 1);
}

inline int32_t fat_time_seconds(uint16_t time_word, uint8_t tenms) {
    const unsigned hour = time_word >> 11, minute = (time_word >> 5) & 0x3F;
    const unsigned two_secs = time_word & 0x1F;
    if (hour > 23 || minute > 59 || two_secs > 29 || tenms > 199) return -1;
    return static_cast<int32_t>(hour * 3600 + minute * 60 + two_secs * 2 + tenms / 100u);
}
int encode_timestamp64(int64_t sec, int32_t nsec, uint16_t *date, uint16_t *time_word,
                       uint8_t *tenms);

// The long-name entries that would carry a wanted name, as they lie on disk: for each block
// of 13 units up to the terminator, the entry's 32 bytes and a mask of the bytes that must
// agree (the units up to and including the terminator; never sequence byte, checksum or
// fill). Built once per looked-up name and directory; `want` must outlive it.
struct WantBytes {
    explicit WantBytes(const dv_name &want);
    const dv_name &name;
    int len;
    int blocks;
    uint8_t expect[20][DV_DIRENT_SIZE];
    uint8_t mask[20][DV_DIRENT_SIZE];
};

// dv_readentry for a path lookup, with a record room of 1: entries whose name cannot equal
// `want` are passed over without filling the record, and the reading goes on. It stops
// where dv_readentry would stop (end mark, end of the array, a refused run), or at a name
// that may equal `want`, which dv_readentry then decodes from its first entry: the record,
// cursor, count, room and result are then that call's.
int read_entry_matching(const dv_ctx *ctx, const uint8_t **entries, int *count, dv_entry **records,
                        int *room, const WantBytes &want);

// The same for a case-insensitive lookup: stops at a name, or an 8.3 name, whose simple
// case folding equals the wanted name (`folded` is built from it folded with fold_name).
int read_entry_folded(const dv_ctx *ctx, const uint8_t **entries, int *count, dv_entry **records,
                      int *room, const WantBytes &folded);
void fold_name(const dv_name &name, dv_name &out);
// Whether a record's name, or the 8.3 name it was stored under, folds to `folded`.
bool folds_equal(const dv_name &name, const dv_name &folded);
bool alias_folds_equal(const dv_entry &rec, const dv_name &folded);

} // namespace dorvex
