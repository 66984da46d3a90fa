// The image-pair rule that the launcher and pkgtool share.
#include "pkglayout.h"

#include <gtest/gtest.h>

TEST(ImagePairRule, TwoPositiveSizesThatFillElement4)
{
    EXPECT_EQ(1, pkgIsImagePair(1000, 700, 300));
    EXPECT_EQ(1, pkgIsImagePair(2, 1, 1));
    EXPECT_EQ(1, pkgIsImagePair(0x7FFFFFFF, 0x7FFFFFFE, 1));
    // One image: a size missing, or a sum beside element 4.
    EXPECT_EQ(0, pkgIsImagePair(1000, 0, 1000));
    EXPECT_EQ(0, pkgIsImagePair(1000, 1000, 0));
    EXPECT_EQ(0, pkgIsImagePair(0, 0, 0));
    EXPECT_EQ(0, pkgIsImagePair(1000, 700, 299));
    EXPECT_EQ(0, pkgIsImagePair(1000, 700, 301));
}

TEST(ImagePairRule, NegativeSizesNeverMakeAPair)
{
    // Each adds up to element 4, but one half would lie outside it.
    const int32_t n = 345;
    EXPECT_EQ(0, pkgIsImagePair(n, -1, n + 1));
    EXPECT_EQ(0, pkgIsImagePair(n, n + 1, -1));
    EXPECT_EQ(0, pkgIsImagePair(n, 0x7FFFFFFF, n - 0x7FFFFFFF));
    // Two sizes whose 32-bit sum wraps to element 4's value.
    EXPECT_EQ(0, pkgIsImagePair(-2, 0x7FFFFFFF, 0x7FFFFFFF));
    EXPECT_EQ(0, pkgIsImagePair(-1000, -500, -500));
}
