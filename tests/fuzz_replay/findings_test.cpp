// Regressions for what fuzzing found, one test per finding, named after it.
#include <dorvex/iconv.h>
#include <gtest/gtest.h>

#include <cerrno>

// iconv: a null output pointer with no room must fail with E2BIG for a character that needs
// room, without arithmetic on the null pointer (found by the iconv target, utf8 -> utf16).
TEST(FuzzFindings, IconvNullOutputWithoutRoom) {
    const dorvex_iconv_t cd = dorvex_iconv_open("utf16", "utf8");
    ASSERT_NE(cd, -1);
    char text[] = "a";
    char *in = text, *out = nullptr;
    size_t inleft = 1, outleft = 0;
    int err = 0;
    EXPECT_EQ(dorvex_iconv(cd, &in, &inleft, &out, &outleft, &err), size_t(-1));
    EXPECT_EQ(err, E2BIG);
    EXPECT_EQ(in, text);
    EXPECT_EQ(out, nullptr);
}
