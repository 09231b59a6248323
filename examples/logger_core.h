/*
 * logger_core.h -- the data logger of logger.c: CSV lines appended to a file
 * per day (/LOG/2026-12-10.CSV), made durable every N lines.
 *
 * Each day's file is opened with WRITEFAT_CREATE | WRITEFAT_APPEND, so a
 * logger restarted after a power loss goes on at the end of what the last
 * flush kept. writefat_flush every `flush_every` lines bounds what a cut can
 * take: the lines since the last flush, never earlier ones. The first line of
 * a new day finishes the old day's file and opens the new one.
 *
 * Header-only C11 (static functions), shared by the example and its test.
 */
#ifndef DORVEX_EXAMPLE_LOGGER_CORE_H
#define DORVEX_EXAMPLE_LOGGER_CORE_H

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <dorvex/writefat.h>

typedef struct logger {
    writefat_volume *w;
    writefat_file *f;     /* the open day's file, or null */
    int64_t day;          /* days since 1970 of `f` */
    uint32_t flush_every; /* lines between flushes */
    uint32_t unflushed;   /* lines written since the last flush */
    uint64_t lines;       /* lines written */
    uint64_t durable;     /* of those, the lines the last flush (or finish) kept */
    uint64_t flushes;     /* writefat_flush and writefat_finish calls that succeeded */
} logger;

/* The civil date of a day since 1970 (the proleptic Gregorian calendar). */
static inline void logger_date(int64_t days, int *y, int *m, int *d) {
    const int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = (int)(doy - (153 * mp + 2) / 5 + 1);
    *m = (int)(mp < 10 ? mp + 3 : mp - 9);
    *y = (int)(yoe + era * 400 + (*m <= 2));
}

static inline int64_t logger_day(int64_t now) {
    return (now >= 0 ? now : now - 86399) / 86400;
}

/* "timestamp,channel,value\n" with an ISO 8601 UTC timestamp; its length. */
static inline size_t logger_format(char *buf, size_t room, int64_t now, unsigned channel,
                                   long value) {
    int y, m, d;
    const int64_t s = now - logger_day(now) * 86400;
    logger_date(logger_day(now), &y, &m, &d);
    const int n = snprintf(buf, room, "%04d-%02d-%02dT%02d:%02d:%02dZ,%u,%ld\n", y, m, d,
                           (int)(s / 3600), (int)(s / 60 % 60), (int)(s % 60), channel, value);
    return n < 0 ? 0 : (size_t)n < room ? (size_t)n : room - 1;
}

/* The day's file: /LOG/YYYY-MM-DD.CSV. */
static inline void logger_path(char *buf, size_t room, int64_t day) {
    int y, m, d;
    logger_date(day, &y, &m, &d);
    snprintf(buf, room, "/LOG/%04d-%02d-%02d.CSV", y, m, d);
}

static inline void logger_init(logger *lg, writefat_volume *w, uint32_t flush_every) {
    memset(lg, 0, sizeof *lg);
    lg->w = w;
    lg->flush_every = flush_every ? flush_every : 1;
}

/* A failure spends the handle: release it, keeping what the last flush made durable. */
static inline int logger_fail(logger *lg, int code) {
    writefat_abort(lg->w, lg->f);
    lg->f = NULL;
    lg->unflushed = 0;
    return code;
}

/* Finishes the open day's file (a last flush and the handle released). 0 or a code. */
static inline int logger_finish(logger *lg, int64_t now) {
    if (!lg->f) return 0;
    const int rc = writefat_finish(lg->w, lg->f, now);
    lg->f = NULL;
    if (rc == 0) {
        lg->durable = lg->lines;
        ++lg->flushes;
    }
    lg->unflushed = 0;
    return rc;
}

/* Appends `len` bytes of one line logged at `now` to that day's file, rolling to a new
 * file at a new day and flushing every `flush_every` lines. 0 or a code (the line may be
 * lost then; the logger opens the day's file again for the next line). */
static inline int logger_write(logger *lg, int64_t now, const char *text, size_t len) {
    int err = 0;
    if (lg->f && logger_day(now) != lg->day) {
        if ((err = logger_finish(lg, now)) != 0) return err;
    }
    if (!lg->f) {
        char path[32];
        err = writefat_mkdir(lg->w, "/LOG", now);
        if (err != 0 && err != EEXIST) return err;
        lg->day = logger_day(now);
        logger_path(path, sizeof path, lg->day);
        lg->f = writefat_open_file(lg->w, path, WRITEFAT_CREATE | WRITEFAT_APPEND, &err);
        if (!lg->f) return err;
    }
    if (writefat_write(lg->w, lg->f, text, len, &err) != 0) return logger_fail(lg, err);
    ++lg->lines;
    if (++lg->unflushed >= lg->flush_every) {
        if ((err = writefat_flush(lg->w, lg->f, now)) != 0) return logger_fail(lg, err);
        lg->durable = lg->lines;
        lg->unflushed = 0;
        ++lg->flushes;
    }
    return 0;
}

/* Logs `value` of `channel` at `now` (seconds since 1970, UTC). 0 or a code. */
static inline int logger_log(logger *lg, int64_t now, unsigned channel, long value) {
    char line[64];
    const size_t len = logger_format(line, sizeof line, now, channel, value);
    return logger_write(lg, now, line, len);
}

#endif /* DORVEX_EXAMPLE_LOGGER_CORE_H */
