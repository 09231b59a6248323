// Replays the committed corpus and regression inputs of the writeentry_roundtrip fuzz target.
#include "fuzz_replay/replay.h"

#define LLVMFuzzerTestOneInput dvreplay_writeentry_roundtrip
#include "../../fuzz/writeentry_roundtrip.cpp"
#undef LLVMFuzzerTestOneInput

TEST(FuzzReplay, writeentry_roundtrip) {
    dvreplay::replay("writeentry_roundtrip", dvreplay_writeentry_roundtrip);
}
