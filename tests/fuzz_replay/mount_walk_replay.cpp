// Replays the committed corpus and regression inputs of the mount_walk fuzz target.
#include "fuzz_replay/replay.h"

#define LLVMFuzzerTestOneInput dvreplay_mount_walk
#include "../../fuzz/mount_walk.cpp"
#undef LLVMFuzzerTestOneInput

TEST(FuzzReplay, mount_walk) {
    dvreplay::replay("mount_walk", dvreplay_mount_walk);
}
