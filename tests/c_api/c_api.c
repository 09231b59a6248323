/* Compiled as C11: the public headers must be plain C and usable from it. */
#include <dorvex/dorvex.h>
#include <dorvex/iconv.h>
#include <dorvex/readfat.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;
#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

int main(void) {
    int err = 0;
    dv_ctx *ctx;
    dorvex_iconv_t cd;
    char text[] = "h\xc3\xa9";
    char out[8];
    char *in = text, *o = out;
    size_t inleft = 3, outleft = sizeof out;

    char version[32];
    snprintf(version, sizeof version, "%d.%d.%d", DV_VERSION_MAJOR, DV_VERSION_MINOR,
             DV_VERSION_PATCH);
    CHECK(strcmp(dv_version(), DV_VERSION_STRING) == 0);
    CHECK(strcmp(dv_version(), version) == 0);
    CHECK(strcmp(dv_strerror(DV_E_ENDDIR), "Reached end of directory") == 0);

    ctx = dv_newctx(DV_FLAG_SLASH | DV_CHARSET_UTF8, &err);
    CHECK(ctx != NULL);
    CHECK(dv_errno(ctx) == 0);
    dv_deletectx(ctx);
    CHECK(dv_newctx(0x800u, &err) == NULL && err == EINVAL);

    cd = dorvex_iconv_open("UTF-16LE", "UTF-8");
    CHECK(cd != -1);
    CHECK(dorvex_iconv(cd, &in, &inleft, &o, &outleft, &err) == 0);
    CHECK(inleft == 0 && outleft == 4 && memcmp(out, "h\0\xe9\0", 4) == 0);
    CHECK(dorvex_iconv_close(cd) == 0);

    CHECK(sizeof(dv_entry) == DV_ENTRY_BYTES && DV_ENTRY_BYTES == 616);
    CHECK(sizeof(readfat_volume) > 576);

    if (failures == 0) printf("c_api: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
