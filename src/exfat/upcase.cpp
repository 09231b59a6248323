// The exFAT up-case table: its checksum, the stored (compressed) form and the name hash
// built on it. The fallback table is generated: upcase_default.cpp.
#include "exfat/exfat_internal.h"

#include "common/bytes.h"

#include <bit>

namespace dorvex {

uint32_t exfat_table_checksum(const uint8_t *bytes, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum = std::rotr(sum, 1) + bytes[i];
    return sum;
}

namespace {

ExfatCode decode_runs(const uint8_t *bytes, size_t size, uint16_t *table, uint32_t table_len) {
    if (size % 2 != 0) return ExfatCode::odd_length;
    uint32_t next = 0; // the unit the next stored value maps
    for (size_t i = 0; i < size; i += 2) {
        const uint16_t v = load_le16(bytes + i);
        // 0xFFFF starts an identity run, its count next; the last value of a table is always
        // a mapping (tables end with 0xFFFF mapping to itself).
        if (v == 0xFFFF && i + 2 < size) {
            i += 2;
            const uint32_t run = load_le16(bytes + i);
            if (run > kExfatUpcaseUnits - next) return ExfatCode::table_overflow;
            for (uint32_t end = next + run; next < end; ++next)
                if (next < table_len) table[next] = static_cast<uint16_t>(next);
            continue;
        }
        if (next >= kExfatUpcaseUnits) return ExfatCode::table_overflow;
        if (next < table_len) table[next] = v;
        ++next;
    }
    for (; next < table_len; ++next) table[next] = static_cast<uint16_t>(next);
    return ExfatCode::ok;
}

} // namespace

ExfatCode decode_exfat_upcase(const uint8_t *bytes, size_t size, uint32_t checksum, uint16_t *table,
                              uint32_t table_len) {
    if (table_len > kExfatUpcaseUnits) table_len = kExfatUpcaseUnits;
    ExfatCode code = exfat_table_checksum(bytes, size) == checksum
                         ? decode_runs(bytes, size, table, table_len)
                         : ExfatCode::table_checksum;
    if (code != ExfatCode::ok) exfat_default_upcase(table, table_len);
    return code;
}

uint16_t exfat_name_hash(const uint16_t *name, size_t len, const ExfatUpcase &upcase) {
    uint16_t hash = 0;
    for (size_t i = 0; i < len; ++i) {
        const uint16_t u = upcase(name[i]);
        hash = static_cast<uint16_t>(std::rotr(hash, 1) + (u & 0xFF));
        hash = static_cast<uint16_t>(std::rotr(hash, 1) + (u >> 8));
    }
    return hash;
}

} // namespace dorvex
