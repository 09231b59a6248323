// Replays committed fuzz inputs (fuzz/corpus/<target> and fuzz/regressions/<target>) through
// a fuzz target's entry point, so every build's ctest runs them, sanitizer builds included.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace dvreplay {

using Target = int (*)(const uint8_t *, size_t);

inline void replay(const std::string &target, Target fn) {
    size_t inputs = 0;
    for (const char *kind : {"corpus", "regressions"}) {
        const std::filesystem::path dir =
            std::filesystem::path(DORVEX_SOURCE_DIR) / "fuzz" / kind / target;
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto &e : std::filesystem::directory_iterator(dir)) {
            if (!e.is_regular_file()) continue;
            std::ifstream f(e.path(), std::ios::binary);
            std::vector<uint8_t> buf((std::istreambuf_iterator<char>(f)),
                                     std::istreambuf_iterator<char>());
            SCOPED_TRACE(e.path().string());
            fn(buf.data(), buf.size());
            ++inputs;
        }
    }
    std::printf("[ figure ] %s: %zu inputs replayed\n", target.c_str(), inputs);
    EXPECT_GT(inputs, 0u) << "no committed inputs for " << target;
}

} // namespace dvreplay
