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

TEST(DirectoryBytes, EntriesAreLittleEndianWhateverTheHost)
{
    unsigned char bytes[PKG_DIR_SIZE];
    for (int i = 0; i < PKG_DIR_SIZE; i++)
        bytes[i] = (unsigned char)(i * 7 + 1);
    // Known values at the entries the launcher reads.
    const unsigned char size0[4] = {0x78, 0x56, 0x34, 0x12};
    const unsigned char negative[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    memcpy(bytes, size0, 4);
    memcpy(bytes + 4 * PKG_DIR_SECOND_IMAGE_ENTRY, negative, 4);
    int32_t entries[PKG_DIR_ENTRIES];
    pkgDecodeDirectory(bytes, entries);
    EXPECT_EQ(0x12345678, entries[0]);
    EXPECT_EQ(-1, entries[PKG_DIR_SECOND_IMAGE_ENTRY]);
    // Encoding the entries again gives back every byte, reserved ones too.
    unsigned char again[PKG_DIR_SIZE];
    for (int i = 0; i < PKG_DIR_ENTRIES; i++)
        pkgPutI32(again + 4 * i, entries[i]);
    EXPECT_EQ(0, memcmp(bytes, again, sizeof bytes));
}
