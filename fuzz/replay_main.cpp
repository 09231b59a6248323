// Replays fuzz inputs without libFuzzer (for compilers that lack it): every file argument,
// and every file inside a directory argument, is fed to the target once. Options that start
// with '-' (libFuzzer's, such as -runs=0) are ignored.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static void run(const std::filesystem::path &p) {
    std::ifstream f(p, std::ios::binary);
    std::vector<uint8_t> buf((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(buf.data(), buf.size());
}

int main(int argc, char **argv) {
    size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') continue;
        const std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto &e : std::filesystem::recursive_directory_iterator(p))
                if (e.is_regular_file()) run(e.path()), ++inputs;
        } else {
            run(p), ++inputs;
        }
    }
    std::printf("replayed %zu inputs\n", inputs);
    return 0;
}
