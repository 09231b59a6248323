// Replays the committed corpus and regression inputs of the readentry fuzz target.
#include "fuzz_replay/replay.h"

#define LLVMFuzzerTestOneInput dvreplay_readentry
#include "../../fuzz/readentry.cpp"
#undef LLVMFuzzerTestOneInput

TEST(FuzzReplay, readentry) {
    dvreplay::replay("readentry", dvreplay_readentry);
}
