/*
 * logger -- a data logger on a RAM "card", as a microcontroller would run it.
 *
 *     logger FLUSH_EVERY LINES [IMAGE]
 *
 * The card is a RAM buffer behind the sector callbacks: the image file made
 * by mkfs.fat (written back when the logger is done), or without IMAGE an
 * 8 MiB card formatted in memory with writefat_format. The volume is opened
 * with the SMALL memory preset, and LINES readings of four channels, one a
 * minute from 2026-12-10 22:00 UTC, are logged as CSV lines to a file per
 * day (/LOG/2026-12-10.CSV, ...), flushed every FLUSH_EVERY lines (see
 * logger_core.h). At the end it prints the memory the write path took.
 */
#define _XOPEN_SOURCE 700
#define _FILE_OFFSET_BITS 64
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "logger_core.h"

typedef struct card {
    uint8_t *bytes;
    uint64_t sectors; /* 512-byte sectors */
} card;

static int32_t card_read(void *io_data, void *buf, uint64_t sector, uint32_t count) {
    card *c = io_data;
    if (sector + count > c->sectors) return -EIO;
    memcpy(buf, c->bytes + sector * 512, (size_t)count * 512);
    return (int32_t)count;
}

static int32_t card_write(void *io_data, const void *buf, uint64_t sector, uint32_t count) {
    card *c = io_data;
    if (sector + count > c->sectors) return -EIO;
    memcpy(c->bytes + sector * 512, buf, (size_t)count * 512);
    return (int32_t)count;
}

/* An allocator that counts what the library holds, and the most it held at once. */
typedef struct counter {
    size_t now, peak;
} counter;

static void *count_alloc(void *data, size_t size) {
    counter *k = data;
    size_t *p = malloc(sizeof(max_align_t) + size);
    if (!p) return NULL;
    *p = size;
    k->now += size;
    if (k->now > k->peak) k->peak = k->now;
    return (char *)p + sizeof(max_align_t);
}

static void count_free(void *data, void *ptr) {
    counter *k = data;
    if (!ptr) return;
    size_t *p = (size_t *)((char *)ptr - sizeof(max_align_t));
    k->now -= *p;
    free(p);
}

int main(int argc, char **argv) {
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: logger FLUSH_EVERY LINES [IMAGE]\n");
        return 2;
    }
    const uint32_t flush_every = (uint32_t)strtoul(argv[1], NULL, 10);
    const long lines = strtol(argv[2], NULL, 10);
    const char *image = argc == 4 ? argv[3] : NULL;

    card c = {NULL, 0};
    if (image) {
        FILE *in = fopen(image, "rb");
        long size = -1;
        if (in && fseek(in, 0, SEEK_END) == 0) size = ftell(in);
        c.sectors = size > 0 ? (uint64_t)size / 512 : 0;
        c.bytes = c.sectors ? malloc(c.sectors * 512) : NULL;
        if (!c.bytes || fseek(in, 0, SEEK_SET) != 0 ||
            fread(c.bytes, 512, c.sectors, in) != c.sectors) {
            perror(image);
            return 1;
        }
        fclose(in);
    } else {
        writefat_format_options opts;
        memset(&opts, 0, sizeof opts);
        opts.label = "LOGGER";
        c.sectors = 8u << 11;
        c.bytes = calloc(c.sectors, 512);
        int rc = c.bytes ? writefat_format(0, c.sectors, &c, card_write, &opts) : ENOMEM;
        if (rc != 0) {
            fprintf(stderr, "logger: format: %s\n", dv_strerror(rc));
            return 1;
        }
    }

    /* The SMALL preset: a few KiB of write state, whatever the cluster size. No read slots:
     * the logger only writes. */
    writefat_config config;
    writefat_config_init(&config, WRITEFAT_CONFIG_SMALL);
    counter k = {0, 0};
    int err = 0;
    const uint32_t flags = (readfat_optimal_flags() & ~DV_CHARSET_MASK) | DV_CHARSET_UTF8;
    writefat_volume *w = writefat_open3(0, c.sectors, 512, &c, card_read, card_write, flags, 0, 0,
                                        &config, &err, &k, count_alloc, count_free);
    if (!w) {
        fprintf(stderr, "logger: open: %s\n", dv_strerror(err));
        return 1;
    }
    const readfat_volume *rv = writefat_reader(w);
    const size_t state = writefat_config_bytes(&config, rv->bytes_per_sector, rv->cluster_bytes);

    logger lg;
    logger_init(&lg, w, flush_every);
    const int64_t start = 1796940000; /* 2026-12-10 22:00:00 UTC */
    int64_t now = start;
    for (long i = 0; i < lines && err == 0; ++i) {
        now = start + i / 4 * 60;
        err = logger_log(&lg, now, (unsigned)(i % 4), (long)((i * 7919) % 20000) - 10000);
    }
    if (err == 0) err = logger_finish(&lg, now);
    const int closed = writefat_close(w);
    if (err == 0) err = closed;
    if (err != 0) fprintf(stderr, "logger: %s\n", dv_strerror(err));

    printf("%llu lines in %llu flushes\n", (unsigned long long)lg.lines,
           (unsigned long long)lg.flushes);
    printf("write state (writefat_config_bytes): %zu bytes\n", state);
    printf("allocator: %zu bytes at most (reader, context and write state)\n", k.peak);

    if (image) {
        FILE *out = fopen(image, "r+b");
        if (!out || fwrite(c.bytes, 512, c.sectors, out) != c.sectors || fclose(out) != 0) {
            perror(image);
            return 1;
        }
    }
    free(c.bytes);
    return err != 0;
}
