// The volume check's two halves: FAT12/16/32 (check.cpp) and exFAT (check_exfat.cpp).
#pragma once

#include "dorvex/checkfat.h"

namespace dorvex {

// readfat_check on a FAT12/16/32 volume, and on an exFAT one; `vol` is not null.
long check_volume(readfat_volume *vol, uint32_t what, readfat_check_fn fn, void *fn_data, int *err);
long check_exfat(readfat_volume *vol, uint32_t what, readfat_check_fn fn, void *fn_data, int *err);

} // namespace dorvex
