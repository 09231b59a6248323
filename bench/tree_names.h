// The names of the 10 x 10 directories x 100 files lookup tree, shared by the FAT and exFAT
// benchmarks so that both look up the same paths (tools/make_exfat_bench_images.sh makes
// the exFAT tree with these names too).
#pragma once

#include <cstdio>
#include <string>

inline std::string bench_dir_name(int i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, i % 10 == 3 ? "Ordner %02d für Dinge" : "folder %02d of things",
                  i);
    return std::string(buf);
}

inline std::string bench_file_name(int i) {
    char buf[48];
    std::snprintf(buf, sizeof buf, i % 10 == 7 ? "файл %05d.dat" : "document %05d.dat", i);
    return std::string(buf);
}
