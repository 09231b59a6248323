// FAT date/time fields <-> seconds since 1970, always read as UTC.
//
// The calendar arithmetic is done here rather than with gmtime_r/timegm: it runs for
// every entry a directory scan decodes, needs no time zone, and must behave the same on
// every platform (32-bit range, timegm-style carrying of out-of-range fields).
#include "codec/dirent_internal.h"

#include <dorvex/dorvex.h>

#include <cstdint>

namespace dorvex {
namespace {

constexpr int64_t seconds_per_day = 86400;

// Days from 1970-01-01 to year-month-day of the proleptic Gregorian calendar (month 1-12,
// day 1-31; years before 1 are never needed here).
constexpr int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = year / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400); // [0, 399]
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy; // [0, 146096]
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct civil_date {
    int64_t year;
    unsigned month; // 1-12
    unsigned day;   // 1-31
};

// The inverse for day counts >= 0.
constexpr civil_date civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = days / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);                // [0, 146096]
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365; // [0, 399]
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);               // [0, 365]
    const unsigned mp = (5 * doy + 2) / 153;                                    // [0, 11]
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 3, 1) == 11017);
static_assert(civil_from_days(11016).month == 2 && civil_from_days(11016).day == 29);

} // namespace

static_assert(civil_from_days(INT32_MAX / seconds_per_day).year < 2100);

int encode_timestamp(const dv_timestamp &ts, uint16_t *date, uint16_t *time_word, uint8_t *tenms) {
    // Like gmtime_r on a 32-bit count: times before 1970 have no calendar form here.
    if (ts.sec < 0) return -1;
    const int64_t days = ts.sec / seconds_per_day;
    const auto secs = static_cast<unsigned>(ts.sec % seconds_per_day);
    const civil_date c = civil_from_days(days);
    const unsigned hour = secs / 3600, minute = secs / 60 % 60, second = secs % 60;

    // FAT dates start in 1980: earlier years are stored as 1980, month and day kept.
    const int64_t fat_year = c.year < 1980 ? 0 : c.year - 1980;
    *date = static_cast<uint16_t>((fat_year << 9) | (c.month << 5) | c.day);
    if (time_word) *time_word = static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
    if (tenms) *tenms = static_cast<uint8_t>(ts.nsec / 10000000 + ((second & 1) ? 100 : 0));
    // A year of 2100 or later would return 1, but a 32-bit count ends in 2038.
    return 0;
}

dv_timestamp decode_timestamp(uint16_t date, uint16_t time_word, uint8_t tenms) {
    int64_t year = 1980 + (date >> 9);
    int month0 = ((date >> 5) & 0x0F) - 1; // -1..14: month 0 and 13-15 carry into the year
    const int day = date & 0x1F;           // day 0 is the last day of the month before
    if (month0 < 0) {
        month0 += 12;
        --year;
    } else if (month0 >= 12) {
        month0 -= 12;
        ++year;
    }
    const int hour = time_word >> 11, minute = (time_word >> 5) & 0x3F;
    const int second = (time_word & 0x1F) * 2 + (tenms >= 100 ? 1 : 0);

    // Hours, minutes and seconds past their range simply add up, as timegm carries them.
    const int64_t days = days_from_civil(year, static_cast<unsigned>(month0 + 1), 1) + day - 1;
    const int64_t sec = days * seconds_per_day + hour * 3600 + minute * 60 + second;

    dv_timestamp ts;
    ts.sec = (sec > INT32_MAX || sec < INT32_MIN) ? -1 : static_cast<int32_t>(sec);
    ts.nsec = (tenms % 100) * 10000000;
    return ts;
}

static_assert(kFatDays1980 == days_from_civil(1980, 1, 1));

int64_t decode_timestamp64(uint16_t date, uint16_t time_word, uint8_t tenms) {
    const int32_t days = fat_date_days(date);
    const int32_t secs = fat_time_seconds(time_word, tenms);
    if (days < 0 || secs < 0) return DV_TIME_NONE;
    return int64_t{days} * seconds_per_day + secs;
}

int encode_timestamp64(int64_t sec, int32_t nsec, uint16_t *date, uint16_t *time_word,
                       uint8_t *tenms) {
    constexpr int64_t first = days_from_civil(1980, 1, 1) * seconds_per_day;
    constexpr int64_t after_last = days_from_civil(2108, 1, 1) * seconds_per_day;
    if (sec < first) return -1;
    if (sec >= after_last) return 1;
    const civil_date c = civil_from_days(sec / seconds_per_day);
    const auto secs = static_cast<unsigned>(sec % seconds_per_day);
    const unsigned hour = secs / 3600, minute = secs / 60 % 60, second = secs % 60;
    *date = static_cast<uint16_t>(((c.year - 1980) << 9) | (c.month << 5) | c.day);
    if (time_word) *time_word = static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
    if (tenms)
        *tenms = static_cast<uint8_t>((nsec < 0 ? 0 : nsec % 1000000000) / 10000000 +
                                      ((second & 1) ? 100 : 0));
    return 0;
}

} // namespace dorvex

extern "C" {

int64_t dv_decodets64(uint16_t date, uint16_t time_word, uint8_t tenms) {
    return dorvex::decode_timestamp64(date, time_word, tenms);
}

int dv_encodets64(int64_t sec, int32_t nsec, uint16_t *date, uint16_t *time_word, uint8_t *tenms) {
    return dorvex::encode_timestamp64(sec, nsec, date, time_word, tenms);
}

int dv_encodets(const dv_timestamp *ts, uint16_t *date, uint16_t *time_word, uint8_t *tenms) {
    return dorvex::encode_timestamp(*ts, date, time_word, tenms);
}

void dv_decodets(dv_timestamp *ts, uint16_t date, uint16_t time_word, uint8_t tenms) {
    *ts = dorvex::decode_timestamp(date, time_word, tenms);
}

} // extern "C"
