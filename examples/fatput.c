/*
 * fatput -- copy host files into a directory of a FAT12, FAT16 or FAT32
 * image file.
 *
 *     fatput IMAGE DIR FILE...
 *
 * Shows the write half of the library: the volume is opened with a sector
 * reader and a sector writer, each FILE is created, written in chunks and
 * finished under DIR/NAME, and closing the volume marks it clean. The files
 * are published as one group: their directory and FAT sectors are written
 * together at the end instead of once per file. A power loss keeps every
 * file that was there before, and each new file is whole or absent.
 */
#define _XOPEN_SOURCE 700
#define _FILE_OFFSET_BITS 64 /* images past 2 GiB on 32-bit hosts too */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dorvex/writefat.h>

/* The sector reader: `count` 512-byte sectors from `sector` of the image. */
static int32_t read_image(void *io_data, void *buf, uint64_t sector, uint32_t count) {
    int fd = *(int *)io_data;
    ssize_t got = pread(fd, buf, (size_t)count * 512, (off_t)(sector * 512));
    return got < 512 ? -1 : (int32_t)(got / 512);
}

/* The sector writer. It returns once the kernel has the sectors: enough
 * against a crash of this program; against a power loss, a device would be
 * opened with O_DSYNC. A negative errno passes the cause on (e.g. -ENOSPC). */
static int32_t write_image(void *io_data, const void *buf, uint64_t sector, uint32_t count) {
    int fd = *(int *)io_data;
    ssize_t put = pwrite(fd, buf, (size_t)count * 512, (off_t)(sector * 512));
    if (put < 0) return -errno;
    return put == (ssize_t)count * 512 ? (int32_t)count : -EIO;
}

/* Copies the host file `from` to `to` in the volume; 0 or an errno code. */
static int put_file(writefat_volume *w, const char *from, const char *to) {
    int in = open(from, O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) return errno;
    int err = 0;
    writefat_file *f = writefat_create(w, to, 0, &err);
    if (!f) {
        close(in);
        return err;
    }
    static char buf[1 << 16];
    ssize_t n;
    while ((n = read(in, buf, sizeof buf)) > 0) {
        if (writefat_write(w, f, buf, (size_t)n, &err) != 0) {
            writefat_abort(w, f);
            close(in);
            return err;
        }
    }
    err = n < 0 ? errno : 0;
    close(in);
    if (err) {
        writefat_abort(w, f);
        return err;
    }
    /* The file appears here, with the host file's time (seconds since 1970). */
    return writefat_finish(w, f, (int64_t)st.st_mtime);
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: fatput IMAGE DIR FILE...\n");
        return 2;
    }
    int fd = open(argv[1], O_RDWR);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        perror(argv[1]);
        return 1;
    }

    /* The whole image is the volume. No slots for reading: we only write. */
    uint32_t flags = (readfat_optimal_flags() & ~DV_CHARSET_MASK) | DV_CHARSET_UTF8;
    int err = 0;
    writefat_volume *w = writefat_open(0, (uint64_t)st.st_size / 512, 512, &fd, read_image,
                                       write_image, flags, 0, 0, &err);
    if (!w) {
        fprintf(stderr, "fatput: %s: %s\n", argv[1], dv_strerror(err));
        return 1;
    }

    int status = 0;
    writefat_group(w, 1);
    for (int i = 3; i < argc; ++i) {
        const char *slash = strrchr(argv[i], '/');
        char to[4096];
        snprintf(to, sizeof to, "%s/%s", argv[2], slash ? slash + 1 : argv[i]);
        if ((err = put_file(w, argv[i], to)) != 0) {
            fprintf(stderr, "fatput: %s: %s\n", argv[i], dv_strerror(err));
            status = 1;
        }
    }
    /* Writes the group, the free-cluster summary and the clean flag. */
    if ((err = writefat_close(w)) != 0) {
        fprintf(stderr, "fatput: %s: %s\n", argv[1], dv_strerror(err));
        status = 1;
    }
    close(fd);
    return status;
}
