// Converter internals shared with the rest of the library.
#pragma once

#include <cstdint>

namespace dorvex {

// The character that IBM PC code page 437 gives a byte 0x80-0xFF (the default OEM code
// page of FAT tools); bytes below 0x80 map to themselves. Taken from the converter's own
// cp437 table.
uint16_t cp437_to_unicode(uint8_t byte);

} // namespace dorvex
