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

TEST(PackageRecord, StateTellsOlderPackagesFromDamagedOnes)
{
    unsigned char d[PKG_DIR_SIZE] = {};
    EXPECT_EQ(0, pkgRecordState(d));
    pkgPutRecordHeader(d);
    EXPECT_EQ(1, pkgRecordState(d));
    // A later version with more fields is read for the fields it shares.
    d[PKG_REC_AREA_OFFSET + 4] = 2;
    d[PKG_REC_AREA_OFFSET + 6] = PKG_REC_AREA_SIZE & 0xFF;
    d[PKG_REC_AREA_OFFSET + 7] = PKG_REC_AREA_SIZE >> 8;
    EXPECT_EQ(1, pkgRecordState(d));
    struct Case {
        int offset;
        unsigned char value;
    } damaged[] = {
        {0, 'X'},                               // magic
        {4, 0},                                 // version 0
        {6, (unsigned char)(PKG_REC_V1_SIZE - 1)}, // too small for the fields it has
        {6, (unsigned char)((PKG_REC_AREA_SIZE + 1) & 0xFF)}, // beyond the area
    };
    for (const Case &c : damaged) {
        unsigned char copy[PKG_DIR_SIZE];
        memcpy(copy, d, sizeof copy);
        copy[PKG_REC_AREA_OFFSET + c.offset] = c.value;
        EXPECT_EQ(-1, pkgRecordState(copy)) << c.offset;
    }
    // One stray bit anywhere in an otherwise empty area is damage too.
    unsigned char stray[PKG_DIR_SIZE] = {};
    stray[PKG_REC_AREA_OFFSET + PKG_REC_AREA_SIZE - 1] = 0x80;
    EXPECT_EQ(-1, pkgRecordState(stray));
    // The bytes outside the area are no part of it.
    unsigned char outside[PKG_DIR_SIZE] = {};
    outside[PKG_REC_AREA_OFFSET - 1] = 1;
    outside[PKG_REC_AREA_OFFSET + PKG_REC_AREA_SIZE] = 1;
    EXPECT_EQ(0, pkgRecordState(outside));
}

TEST(PackageRecord, ImageSlotsRoundTripWithSixtyFourBitSizes)
{
    unsigned char d[PKG_DIR_SIZE] = {};
    pkgPutRecordHeader(d);
    const PkgImageFacts a = {0x123456789ABCull, 0xFFFFFFFFu, 0x7FFFFFFFu};
    const PkgImageFacts b = {1, 2, 3};
    pkgPutRecordImage(d, 0, a);
    pkgPutRecordImage(d, 1, b);
    PkgImageFacts ra = pkgRecordImage(d, 0), rb = pkgRecordImage(d, 1);
    EXPECT_EQ(a.unpackedBytes, ra.unpackedBytes);
    EXPECT_EQ(a.entries, ra.entries);
    EXPECT_EQ(a.archiveBytes, ra.archiveBytes);
    EXPECT_EQ(b.unpackedBytes, rb.unpackedBytes);
    // Little-endian at fixed places, whatever the host.
    EXPECT_EQ(0xBC, d[PKG_REC_AREA_OFFSET + PKG_REC_IMAGE_OFFSET]);
    EXPECT_EQ(0x12, d[PKG_REC_AREA_OFFSET + PKG_REC_IMAGE_OFFSET + 5]);
    EXPECT_EQ(1, d[PKG_REC_AREA_OFFSET + PKG_REC_IMAGE_OFFSET + PKG_REC_IMAGE_SLOT_SIZE]);
    // The slots stay clear of the digests.
    for (int i = PKG_REC_DIGEST_OFFSET; i < PKG_REC_AREA_SIZE; i++)
        EXPECT_EQ(0, d[PKG_REC_AREA_OFFSET + i]) << i;
}
