// Formatting: the layout of a new FAT12, FAT16 or FAT32 volume.
#include <cerrno>

#include "dorvex/writefat.h"

extern "C" DORVEX_API int writefat_format(uint64_t, uint64_t, void *, writefat_sector_writer,
                                          const writefat_format_options *) {
    return ENOSYS;
}
