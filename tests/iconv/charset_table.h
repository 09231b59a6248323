// Walks the groups of `charmaps` the way the converter's name lookup does, for tests.
#pragma once

#include "charset/charmaps.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace dvtest {

struct CharsetGroup {
    std::vector<std::string> names;
    uint32_t type_offset;
    uint8_t type;
    const uint8_t *table; // the packed table (single-byte charsets)
};

inline std::vector<CharsetGroup> charset_groups() {
    using dorvex::charmaps;
    std::vector<CharsetGroup> groups;
    uint32_t p = 0;
    while (p < dorvex::charmaps_size && charmaps[p] != 0) {
        CharsetGroup g;
        while (charmaps[p] != 0) {
            const char *name = reinterpret_cast<const char *>(charmaps + p);
            g.names.emplace_back(name);
            p += static_cast<uint32_t>(std::strlen(name)) + 1;
        }
        p++; // the empty name
        g.type_offset = p;
        g.type = charmaps[p];
        g.table = charmaps + p + 1;
        p++;
        if (g.type <= 0x80) p += (128u - g.type) / 4 * 5;
        groups.push_back(g);
    }
    return groups;
}

// The group one of whose names is exactly `name`; aborts the test binary if there is none.
inline CharsetGroup charset_group(const std::string &name) {
    for (const CharsetGroup &g : charset_groups())
        for (const std::string &n : g.names)
            if (n == name) return g;
    std::abort();
}

} // namespace dvtest
