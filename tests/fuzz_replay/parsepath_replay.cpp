// Replays the committed corpus and regression inputs of the parsepath fuzz target.
#include "fuzz_replay/replay.h"

#define LLVMFuzzerTestOneInput dvreplay_parsepath
#include "../../fuzz/parsepath.cpp"
#undef LLVMFuzzerTestOneInput

TEST(FuzzReplay, parsepath) {
    dvreplay::replay("parsepath", dvreplay_parsepath);
}
