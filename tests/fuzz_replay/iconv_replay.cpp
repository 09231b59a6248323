// Replays the committed corpus and regression inputs of the iconv fuzz target.
#include "fuzz_replay/replay.h"

#define LLVMFuzzerTestOneInput dvreplay_iconv
#include "../../fuzz/iconv.cpp"
#undef LLVMFuzzerTestOneInput

TEST(FuzzReplay, iconv) {
    dvreplay::replay("iconv", dvreplay_iconv);
}
