// Replays the committed corpus and regression inputs of the write_ops fuzz target.
#include "fuzz_replay/replay.h"

#define LLVMFuzzerTestOneInput dvreplay_write_ops
#include "../../fuzz/write_ops.cpp"
#undef LLVMFuzzerTestOneInput

TEST(FuzzReplay, write_ops) {
    dvreplay::replay("write_ops", dvreplay_write_ops);
}
