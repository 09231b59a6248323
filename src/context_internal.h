// The context's character decoders, for code that wants to recognise them.
#pragma once

#include <dorvex/dorvex.h>

#include <cstdint>

namespace dorvex {

// UTF-8 and ASCII contexts: one character through the converter.
const char *cc_get_identity(dv_ctx *ctx, const char *p, const char *end, uint16_t *unit, int *err);
// Locale contexts: mbrtowc in the caller's locale, then the converter.
const char *cc_get_mbtowc(dv_ctx *ctx, const char *p, const char *end, uint16_t *unit, int *err);

} // namespace dorvex
