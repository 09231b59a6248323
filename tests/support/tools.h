// Running the independent tools the tests compare against (dosfstools, mtools, sfdisk, The
// Sleuth Kit, xorriso): finding them (or skipping, or failing under CI, without them),
// quoting arguments, and a scratch directory per test binary.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace dvtest {

// The tool's path (PATH, then the sbin directories), or "" when it is not installed.
std::string find_tool(const char *name);
// The first of `names` that is not installed, or "" when all are.
std::string missing_tool(std::initializer_list<const char *> names);
// Whether the run is CI's (CI=true), where every oracle must be installed: tools/deps.sh
// installs them, so a missing one is a broken setup, not a reason to test less.
bool under_ci();
std::string shell_quote(const std::string &s);
// Runs `cmd` with the shell, its output appended to `log`; on failure adds a test failure
// with the output and returns false.
bool run_logged(const std::string &cmd, const std::string &log);
// A fresh directory (tmpfs when there is one), removed with everything in it on exit.
std::string scratch_dir(const char *prefix);
std::vector<uint8_t> read_whole(const std::string &path);

} // namespace dvtest

// Skips the test when one of the named tools is missing, and fails it instead under CI=true.
// Use it in a test body or SetUp, one line: DV_NEED_TOOLS("mkfs.fat", "mcopy");
#define DV_NEED_TOOLS(...)                                                                         \
    do {                                                                                           \
        const std::string dv_missing_ = ::dvtest::missing_tool({__VA_ARGS__});                     \
        if (dv_missing_.empty()) break;                                                            \
        if (::dvtest::under_ci()) FAIL() << dv_missing_ << " is needed (CI=true: tools/deps.sh)";  \
        GTEST_SKIP() << dv_missing_ << " is not installed";                                        \
    } while (0)
