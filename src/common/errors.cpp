// Messages for the library's error codes.
#include <dorvex/dorvex.h>

#include <cstring>

namespace {

// Indexed by code + 8998.
const char *const library_messages[] = {
    "Invalid boot sector signature",      // DV_E_BOOTSIG
    "Reached end of file",                // DV_E_EOF
    "Reached end of directory",           // DV_E_ENDDIR
    "Chain is broken in FAT table",       // DV_E_BROKENCHAIN
    "Bad PBR content or not a valid PBR", // DV_E_BADPBR
};

} // namespace

const char *dorvex_strerror_internal(int code) {
    unsigned index = static_cast<unsigned>(code) + 8998u;
    if (index > 4) return "Unknown error";
    return library_messages[index];
}

const char *dv_strerror(int code) {
    if (code >= DV_E_BOOTSIG && code <= DV_E_BADPBR) return dorvex_strerror_internal(code);
    return std::strerror(code);
}
