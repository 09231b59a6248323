// The test image builder checked by independent tools: an image laid out by TreeLayout
// passes fsck.fat, and mtools reads back the same names and bytes. The volume tests rest
// on the builder, so it must write what real FAT32 tools agree with.
#include "support/tools.h"
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace dvtest;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

TEST(BuilderInterop, TreeImagesPassFsckAndReadBackWithMtools) {
    DV_NEED_TOOLS("fsck.fat", "mcopy");
    const std::string fsck = find_tool("fsck.fat"), mcopy = find_tool("mcopy");
    char tmpl[] = "/tmp/dorvex-builder.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;

    for (uint32_t spc : {1u, 2u}) {
        SCOPED_TRACE(spc);
        FatGeometry g;
        g.sectors_per_cluster = spc;
        g.cluster_count = 65600; // mtools reads FAT32 only from 65525 clusters on
        g.stored_sectors = 0;
        FatImage img(g);
        TreeLayout t(img);
        t.file("README.TXT", "hello\n")
            .file("Long name here.txt", pattern_data(5000, 1), FatImage::Spread::shuffled)
            .file("sub/deeper/x.bin", pattern_data(700 + spc * 512, 2), FatImage::Spread::gapped)
            .file("sub/Ünïcödé.txt", "u")
            .file("sub/back.bin", pattern_data(4 * spc * 512 + 9, 3), FatImage::Spread::reversed)
            .file("EMPTY.TXT", "");
        t.finish();
        std::memcpy(img.sector(6), img.boot(), 512); // the backup boot sector fsck expects
        const std::string path = dir + "/b" + std::to_string(spc) + ".img";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(img.disk().data()),
                   std::streamsize(img.disk().size()));

        std::string cmd = fsck + " -n " + path + " >" + dir + "/fsck.log 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << slurp(dir + "/fsck.log");

        for (const TreeNode &n : t.nodes()) {
            if (n.is_dir) continue;
            std::string out = dir + "/out.bin";
            fs::remove(out);
            std::string c = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 " + mcopy + " -n -i " + path +
                            " '::/" + n.path + "' " + out + " >" + dir + "/mcopy.log 2>&1";
            ASSERT_EQ(std::system(c.c_str()), 0) << n.path << ": " << slurp(dir + "/mcopy.log");
            EXPECT_TRUE(slurp(out) == n.data) << n.path;
        }

        // And the library reads the same image the same way.
        FaultReader rd(img);
        Mounted v(img, rd, DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH);
        ASSERT_TRUE(v.ok());
        for (const TreeNode &n : t.nodes()) {
            if (!n.is_dir) {
                EXPECT_TRUE(read_file(v, n.path.c_str()) == n.data) << n.path;
            }
        }
        EXPECT_EQ(names_of(list_dir(v, "sub"), true), t.children("sub"));
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}
