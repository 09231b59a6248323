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

void ExfatUpcaseDecoder::feed(const uint8_t *bytes, size_t n, bool final_piece) {
    for (size_t i = 0; i < n; ++i) sum = std::rotr(sum, 1) + bytes[i];
    if (code != ExfatCode::ok) return;
    if (n % 2 != 0) {
        code = ExfatCode::odd_length;
        return;
    }
    for (size_t i = 0; i < n; i += 2) {
        const uint16_t v = load_le16(bytes + i);
        if (run_count) {
            // The count after 0xFFFF: that many units map to themselves.
            run_count = false;
            if (v > kExfatUpcaseUnits - next) {
                code = ExfatCode::table_overflow;
                return;
            }
            for (const uint32_t end = next + v; next < end; ++next)
                if (next < table_len) table[next] = static_cast<uint16_t>(next);
        } else if (v == 0xFFFF && !(final_piece && i + 2 == n)) {
            // The last value of a table is always a mapping (tables end with 0xFFFF mapping
            // to itself).
            run_count = true;
        } else if (next >= kExfatUpcaseUnits) {
            code = ExfatCode::table_overflow;
            return;
        } else {
            if (next < table_len) table[next] = v;
            ++next;
        }
    }
}

ExfatCode ExfatUpcaseDecoder::finish(uint32_t checksum) {
    if (sum != checksum) code = ExfatCode::table_checksum;
    if (code != ExfatCode::ok) {
        exfat_default_upcase(table, table_len);
        return code;
    }
    for (; next < table_len; ++next) table[next] = static_cast<uint16_t>(next);
    return code;
}

ExfatCode decode_exfat_upcase(const uint8_t *bytes, size_t size, uint32_t checksum, uint16_t *table,
                              uint32_t table_len) {
    ExfatUpcaseDecoder d(table, table_len);
    d.feed(bytes, size, true);
    return d.finish(checksum);
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
