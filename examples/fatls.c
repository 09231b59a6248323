/*
 * fatls -- list a directory of a FAT or exFAT image file.
 *
 *     fatls IMAGE [PATH]
 *
 * Prints one line per entry: D for a directory, the size in bytes and the
 * name as UTF-8. The library asks for every sector through the small
 * pread-based reader below; it never opens the image itself.
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
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: fatls IMAGE [PATH]\n");
        return 2;
    }
    const char *path = argc == 3 ? argv[2] : "/";
    int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        perror(argv[1]);
        return 1;
    }

    /* The whole image is the volume: sectors 0 .. size / 512. Two directory
     * slots, no file slots: we only list. Paths are UTF-8 and match in any
     * case; 8.3 names show in the case Windows gives them (readme.txt). */
    uint32_t flags = (readfat_optimal_flags() & ~DV_CHARSET_MASK) | DV_CHARSET_UTF8 |
                     DV_FLAG_NOCASE | DV_FLAG_NTCASE;
    int err = 0;
    readfat_volume *vol =
        readfat_new(0, (uint64_t)st.st_size / 512, 512, &fd, read_image, flags, 0, 1, &err);
    if (!vol) {
        fprintf(stderr, "fatls: %s: %s\n", argv[1], dv_strerror(err));
        return 1;
    }

    int status = 0;
    readfat_dir *dir = readfat_opendir(vol, path, &err);
    if (!dir) {
        fprintf(stderr, "fatls: %s: %s\n", path, dv_strerror(err));
        status = 1;
    } else {
        const dv_entry *e;
        char name[3 * DV_NAME_MAX + 1]; /* the longest UTF-8 a name can take */
        while ((e = readfat_readdir(vol, dir, &err)) != NULL) {
            /* The library returns every entry as it is; skip deleted entries
             * and the volume label. */
            if (e->deleted || (e->attr & DV_ATTR_VOLUME)) continue;
            dv_name_to_utf8(&e->name, name, sizeof name);
            /* size64: exFAT files may pass 4 GiB. */
            printf("%c %12llu  %s\n", (e->attr & DV_ATTR_DIRECTORY) ? 'D' : ' ',
                   (unsigned long long)e->size64, name);
        }
        if (err != DV_E_ENDDIR) {
            fprintf(stderr, "fatls: %s: %s\n", path, dv_strerror(err));
            status = 1;
        }
        readfat_closedir(vol, dir);
    }
    readfat_delete(vol);
    close(fd);
    return status;
}
