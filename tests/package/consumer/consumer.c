#include <dorvex/dorvex.h>
#include <dorvex/readfat.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    printf("dorvex %s, optimal flags 0x%x\n", dv_version(), (unsigned)readfat_optimal_flags());
    return strcmp(dv_version(), DV_VERSION_STRING) == 0 ? 0 : 1;
}
