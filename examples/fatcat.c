/*
 * fatcat -- print a file of a FAT32 image file to standard output.
 *
 *     fatcat IMAGE PATH
 *
 * Shows the file half of the reader: open by path, then read in chunks
 * until readfat_read returns 0.
 */
#define _XOPEN_SOURCE 700
#define _FILE_OFFSET_BITS 64 /* images past 2 GiB on 32-bit hosts too */
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dorvex/readfat.h>

/* The sector reader: `count` 512-byte sectors from `sector` of the image. */
static int32_t read_image(void *reader_data, void *buf, uint64_t sector, uint32_t count) {
    int fd = *(int *)reader_data;
    ssize_t got = pread(fd, buf, (size_t)count * 512, (off_t)(sector * 512));
    return got < 512 ? -1 : (int32_t)(got / 512);
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: fatcat IMAGE PATH\n");
        return 2;
    }
    int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        perror(argv[1]);
        return 1;
    }

    /* One file slot, no directory slots; paths are UTF-8. */
    uint32_t flags = (readfat_optimal_flags() & ~DV_CHARSET_MASK) | DV_CHARSET_UTF8;
    int err = 0;
    readfat_volume *vol =
        readfat_new(0, (uint64_t)st.st_size / 512, 512, &fd, read_image, flags, 1, 0, &err);
    if (!vol) {
        fprintf(stderr, "fatcat: %s: %s\n", argv[1], dv_strerror(err));
        return 1;
    }

    int status = 0;
    readfat_file *file = readfat_open(vol, argv[2], &err);
    if (!file) {
        fprintf(stderr, "fatcat: %s: %s\n", argv[2], dv_strerror(err));
        status = 1;
    } else {
        /* Sector aligned: whole clusters are then read straight into it, with no copy. */
        static _Alignas(512) char buf[65536];
        uint32_t n;
        err = 0;
        while ((n = readfat_read(vol, file, buf, sizeof buf, &err)) > 0) fwrite(buf, 1, n, stdout);
        if (err != 0) { /* a short read that stored a code: a damaged chain or I/O */
            fprintf(stderr, "fatcat: %s: %s\n", argv[2], dv_strerror(err));
            status = 1;
        }
        readfat_close(vol, file);
    }
    readfat_delete(vol);
    close(fd);
    return status;
}
