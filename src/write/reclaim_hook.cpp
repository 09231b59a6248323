// Placeholder for what WRITEFAT_OPT_RECLAIM runs at open; reclaim.cpp takes its place.
#include "write/writefat_internal.h"

namespace dorvex {

int reclaim_at_open(W *) {
    return 0;
}

} // namespace dorvex
