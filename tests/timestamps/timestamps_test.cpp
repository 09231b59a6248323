// FAT date/time conversions, checked against fixed cases and against the C library's own
// UTC routines (timegm/gmtime_r) over wide sweeps.
#include <dorvex/dorvex.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <random>

namespace {

// The codec must not depend on the time zone: run everything under a far-off one.
class Timestamps : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "NZST-12NZDT,M9.5.0,M4.1.0/3", 1);
        tzset();
    }
};

uint16_t fat_date(int year, int month, int day) {
    return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
uint16_t fat_time(int hour, int minute, int second) {
    return static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

struct EncodeCase {
    int32_t sec, nsec;
    uint16_t date, time_word;
    uint8_t tenms;
};

TEST_F(Timestamps, EncodesKnownInstants) {
    const EncodeCase cases[] = {
        {0, 0, 0x0021, 0, 0},                        // 1970 is stored as 1980-01-01
        {981173107, 789000000, 0x2A43, 0x20A3, 178}, // 2001-02-03 04:05:07.789
        {981173106, 789000000, 0x2A43, 0x20A3, 78},  // the even second before
        {315532799, 0, 0x019F, 0xBF7D, 100},         // 1979-12-31 23:59:59 -> 1980-12-31
        {315532800, 0, 0x0021, 0, 0},                // 1980-01-01 00:00:00
        {INT32_MAX, 999999999, fat_date(2038, 1, 19), fat_time(3, 14, 7), 199},
        {951782400, 0, fat_date(2000, 2, 29), 0, 0}, // leap day
        {1709164799, 10000000, fat_date(2024, 2, 28), fat_time(23, 59, 59), 101},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sec);
        const dv_timestamp ts{c.sec, c.nsec};
        uint16_t date = 0xAAAA, time_word = 0xAAAA;
        uint8_t tenms = 0xAA;
        EXPECT_EQ(dv_encodets(&ts, &date, &time_word, &tenms), 0);
        EXPECT_EQ(date, c.date);
        EXPECT_EQ(time_word, c.time_word);
        EXPECT_EQ(tenms, c.tenms);

        // The optional places may be left out.
        uint16_t date_only = 0;
        EXPECT_EQ(dv_encodets(&ts, &date_only, nullptr, nullptr), 0);
        EXPECT_EQ(date_only, c.date);
    }
}

TEST_F(Timestamps, NegativeSecondsStoreNothing) {
    for (int32_t sec : {-1, -86400, INT32_MIN}) {
        const dv_timestamp ts{sec, 0};
        uint16_t date = 0x1234, time_word = 0x5678;
        uint8_t tenms = 0x9A;
        EXPECT_EQ(dv_encodets(&ts, &date, &time_word, &tenms), -1);
        EXPECT_EQ(date, 0x1234);
        EXPECT_EQ(time_word, 0x5678);
        EXPECT_EQ(tenms, 0x9A);
        EXPECT_EQ(dv_encodets(&ts, &date, nullptr, nullptr), -1);
        EXPECT_EQ(date, 0x1234);
    }
}

struct DecodeCase {
    uint16_t date, time_word;
    uint8_t tenms;
    int32_t sec, nsec;
};

TEST_F(Timestamps, DecodesKnownFields) {
    const DecodeCase cases[] = {
        {0x2A43, 0x20A3, 178, 981173107, 780000000},
        {0, 0, 0, 312768000, 0}, // month 0, day 0 -> 1979-11-30
        {0x0021, 0, 100, 315532801, 0},
        {0x0021, 0, 199, 315532801, 990000000},
        {0x0021, 0, 255, 315532801, 550000000},
        {0x0021, 0, 99, 315532800, 990000000},
        {fat_date(2040, 6, 1), 0, 0, -1, 0},
        {fat_date(2040, 6, 1), 0, 150, -1, 500000000},
        {fat_date(2038, 1, 19), fat_time(3, 14, 6), 100, INT32_MAX, 0}, // last second
        {fat_date(2038, 1, 19), fat_time(3, 14, 8), 0, -1, 0},          // one past it
        {fat_date(2038, 1, 19), fat_time(3, 14, 6), 0, INT32_MAX - 1, 0},
        // Out-of-range fields carry like timegm's normalisation.
        {fat_date(2001, 3, 0), 0, 0, 983318400, 0},                 // day 0 -> 2001-02-28
        {fat_date(2000, 3, 0), 0, 0, 951782400, 0},                 // day 0 -> 2000-02-29
        {fat_date(2001, 13, 1), 0, 0, 1009843200, 0},               // month 13 -> 2002-01
        {fat_date(2001, 15, 31), 0, 0, 1017532800, 0},              // 2002-03-31
        {fat_date(2001, 2, 31), 0, 0, 983577600, 0},                // 2001-03-03
        {0x0021, static_cast<uint16_t>(24 << 11), 0, 315619200, 0}, // hour 24
        {0x0021, static_cast<uint16_t>(0xFFFF), 199, 315532800 + 31 * 3600 + 63 * 60 + 63,
         990000000}, // hour 31, minute 63, second 62 + 1
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.date << " " << c.time_word << " "
                                        << std::dec << int(c.tenms));
        dv_timestamp ts{12345, 6789};
        dv_decodets(&ts, c.date, c.time_word, c.tenms);
        EXPECT_EQ(ts.sec, c.sec);
        EXPECT_EQ(ts.nsec, c.nsec);
    }
}

// timegm of the fields the decoder builds, cut to the 32-bit range as the decoder must.
int32_t reference_decode(uint16_t date, uint16_t time_word, uint8_t tenms) {
    struct tm t = {};
    t.tm_year = 80 + (date >> 9);
    t.tm_mon = ((date >> 5) & 0x0F) - 1;
    t.tm_mday = date & 0x1F;
    t.tm_hour = time_word >> 11;
    t.tm_min = (time_word >> 5) & 0x3F;
    t.tm_sec = (time_word & 0x1F) * 2 + (tenms >= 100 ? 1 : 0);
    const int64_t v = timegm(&t);
    return v > INT32_MAX ? -1 : static_cast<int32_t>(v);
}

TEST_F(Timestamps, DecodeMatchesTimegm) {
    if (sizeof(time_t) < 8) { // a 32-bit time_t: timegm must then answer -1 past 2038, as we do
        struct tm late = {};
        late.tm_year = 200;
        late.tm_mday = 1;
        ASSERT_EQ(timegm(&late), static_cast<time_t>(-1));
    }
    // Every date word, at a few times of day, in and out of range.
    const uint16_t times[] = {0, fat_time(12, 30, 58), fat_time(23, 59, 58), 0xFFFF};
    for (unsigned date = 0; date <= 0xFFFF; ++date)
        for (uint16_t tw : times)
            for (uint8_t tenms : {uint8_t{0}, uint8_t{100}}) {
                dv_timestamp ts;
                dv_decodets(&ts, static_cast<uint16_t>(date), tw, tenms);
                ASSERT_EQ(ts.sec, reference_decode(static_cast<uint16_t>(date), tw, tenms))
                    << std::hex << date << " " << tw << " " << int(tenms);
            }
    // And random triples over the whole field space.
    std::mt19937 rng(20261208);
    for (int i = 0; i < 300000; ++i) {
        const auto date = static_cast<uint16_t>(rng()), tw = static_cast<uint16_t>(rng());
        const auto tenms = static_cast<uint8_t>(rng());
        dv_timestamp ts;
        dv_decodets(&ts, date, tw, tenms);
        ASSERT_EQ(ts.sec, reference_decode(date, tw, tenms))
            << std::hex << date << " " << tw << " " << int(tenms);
        ASSERT_EQ(ts.nsec, (tenms % 100) * 10000000);
    }
}

TEST_F(Timestamps, EncodeMatchesGmtime) {
    std::mt19937 rng(4711);
    auto check = [](int32_t sec, int32_t nsec) {
        const time_t t = sec;
        struct tm g;
        ASSERT_NE(gmtime_r(&t, &g), nullptr);
        const int year = g.tm_year + 1900;
        const auto want_date = static_cast<uint16_t>(((year < 1980 ? 0 : year - 1980) << 9) |
                                                     ((g.tm_mon + 1) << 5) | g.tm_mday);
        const dv_timestamp ts{sec, nsec};
        uint16_t date, time_word;
        uint8_t tenms;
        ASSERT_EQ(dv_encodets(&ts, &date, &time_word, &tenms), 0) << sec;
        ASSERT_EQ(date, want_date) << sec;
        ASSERT_EQ(time_word, fat_time(g.tm_hour, g.tm_min, g.tm_sec)) << sec;
        ASSERT_EQ(tenms, nsec / 10000000 + (g.tm_sec % 2 ? 100 : 0)) << sec;

        // From 1980 on the packed form holds the instant to 10 ms.
        if (year >= 1980) {
            dv_timestamp back;
            dv_decodets(&back, date, time_word, tenms);
            ASSERT_EQ(back.sec, sec);
            ASSERT_EQ(back.nsec, nsec / 10000000 * 10000000);
        }
    };
    for (int64_t sec = 0; sec <= INT32_MAX; sec += 7919) // about 271,000 points, every hour
        check(static_cast<int32_t>(sec), 0);
    for (int i = 0; i < 200000; ++i)
        check(static_cast<int32_t>(rng() & 0x7FFFFFFF), static_cast<int32_t>(rng() % 1000000000));
    // Around every new year and leap day of the range.
    for (int year = 1970; year <= 2038; ++year) {
        struct tm t = {};
        t.tm_year = year - 1900;
        t.tm_mday = 1;
        const int64_t jan1 = timegm(&t);
        t.tm_mon = 2;
        const int64_t mar1 = timegm(&t);
        for (int64_t base : {jan1, mar1})
            for (int64_t d = -2; d <= 2; ++d)
                if (base + d >= 0 && base + d <= INT32_MAX)
                    check(static_cast<int32_t>(base + d), 0);
    }
}

// Seconds since 1970 of a day's 23:59:59 UTC, in 64 bits whatever the width of time_t
// (timegm answers -1 past 2038 on hosts with a 32-bit one). Days of the proleptic Gregorian
// calendar, counted from 1 March so that the leap day ends the year.
int64_t utc_end_of_day(int year, int month, int day) {
    const int64_t y = year - (month <= 2);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return (era * 146097 + doe - 719468) * 86400 + 86399;
}

bool real_day(int year, int month, int day) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap);
}

// The 64-bit forms over FAT's whole range: every day from 1980 to 2107 against the civil
// calendar, impossible fields refused rather than carried, and the round trip through the
// encoder.
TEST_F(Timestamps, SixtyFourBitFormsCoverTheWholeRange) {
    for (int year = 1980; year <= 2107; ++year)
        for (int month = 0; month <= 15; ++month)
            for (int day = 0; day <= 31; ++day) {
                const uint16_t date = fat_date(year, month, day);
                const uint16_t time_word = fat_time(23, 59, 58);
                const bool valid = real_day(year, month, day);
                const int64_t want = valid ? utc_end_of_day(year, month, day) : 0;
                const int64_t got = dv_decodets64(date, time_word, 100);
                ASSERT_EQ(got, valid ? want : DV_TIME_NONE) << year << "-" << month << "-" << day;
                if (!valid) continue;
                uint16_t d2, t2;
                uint8_t ms2;
                ASSERT_EQ(dv_encodets64(got, 250000000, &d2, &t2, &ms2), 0);
                ASSERT_EQ(d2, date);
                ASSERT_EQ(t2, time_word);
                ASSERT_EQ(ms2, 125);
            }
    EXPECT_EQ(dv_decodets64(0x0021, fat_time(24, 0, 0), 0), DV_TIME_NONE);
    EXPECT_EQ(dv_decodets64(0x0021, fat_time(0, 60, 0), 0), DV_TIME_NONE);
    EXPECT_EQ(dv_decodets64(0x0021, 30, 0), DV_TIME_NONE); // 60 seconds
    EXPECT_EQ(dv_decodets64(0x0021, 0, 200), DV_TIME_NONE);
    uint16_t date = 7;
    EXPECT_EQ(dv_encodets64(315532800 - 1, 0, &date, nullptr, nullptr), -1); // 1979
    EXPECT_EQ(dv_encodets64(4354819200, 0, &date, nullptr, nullptr), 1);     // 2108
    EXPECT_EQ(date, 7);
}

} // namespace
