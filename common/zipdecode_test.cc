// The decoders on entries made byte by byte: sound and damaged data, around
// the buffer's size, decoded whole (as the extraction decodes, into its
// room) and streamed (as pkgtool's check decodes) must come to the same.
#include "common/zipdecode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/zip_builder.h"

namespace {

using namespace ziptest;

// An output that keeps what it is given: with room for large entries (the
// extraction's way) or without (a check's, which streams).
struct Kept {
    bool withRoom = false;
    int stopAt = -1; // the piece put refuses, if any
    std::string bytes;
    int pieces = 0;
    std::vector<unsigned char> room;

    static int put(void *context, const unsigned char *bytes, size_t n)
    {
        Kept *k = static_cast<Kept *>(context);
        if (k->pieces++ == k->stopAt)
            return -1;
        k->bytes.append(reinterpret_cast<const char *>(bytes), n);
        return 0;
    }
    static unsigned char *makeRoom(void *context, uint64_t size)
    {
        Kept *k = static_cast<Kept *>(context);
        k->room.resize(size);
        return k->room.data();
    }
};

// Decodes the archive's first file entry with a streaming decoder.
int decodeFirst(const Bytes &z, Kept &kept)
{
    ZipArchive a;
    ZipProblem p;
    EXPECT_EQ(0, zipOpen(&a, z.data(), z.size(), &p)) << zipProblemText(p.code);
    ZipCursor c;
    ZipEntry e;
    zipFirst(&a, &c);
    EXPECT_EQ(1, zipNext(&a, &c, &e, &p));
    ZipDecoder d;
    EXPECT_EQ(0, zipDecoderInitStreaming(&d));
    const ZipOutput out = {Kept::put, kept.withRoom ? Kept::makeRoom : nullptr, &kept};
    const int r = zipDecode(&a, &e, &d, &out);
    zipDecoderEnd(&d);
    return r;
}

// Both ways on one archive: their results, which must agree; the bytes
// that came out whole.
int bothWays(const Bytes &z, std::string *bytes = nullptr)
{
    Kept whole, streamed;
    whole.withRoom = true;
    const int r = decodeFirst(z, whole);
    EXPECT_EQ(r, decodeFirst(z, streamed));
    if (r == 0) {
        EXPECT_TRUE(whole.bytes == streamed.bytes);
    }
    if (bytes != nullptr)
        *bytes = whole.bytes;
    return r;
}

// About size bytes that deflate shrinks little: both ways get real work.
Entry entryOf(uint64_t size)
{
    Entry e;
    e.name = "data";
    e.content.resize(size);
    uint32_t x = 12345;
    for (char &c : e.content) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>("abcdefgh"[(x >> 16) & 7]);
    }
    return e;
}

Bytes archiveOf(const Entry &e, Builder *made = nullptr)
{
    Builder b;
    b.entries = {e};
    const Bytes z = b.build();
    if (made != nullptr)
        *made = b;
    return z;
}

TEST(ZipDecode, SoundDataComesOutWholeOrStreamedAlike)
{
    const uint64_t buffer = ZIP_DECODE_BUFFER;
    for (uint64_t size : {uint64_t{100}, buffer, buffer + 1, 3 * buffer + 5}) {
        SCOPED_TRACE(size);
        Entry e = entryOf(size);
        for (uint16_t method : {ZIP_METHOD_DEFLATED, ZIP_METHOD_STORED}) {
            e.method = method;
            std::string bytes;
            EXPECT_EQ(0, bothWays(archiveOf(e), &bytes)) << method;
            EXPECT_TRUE(bytes == e.content) << method;
        }
        // Unused bytes after the stream's end, inside the compressed size.
        e.method = ZIP_METHOD_DEFLATED;
        e.trailing = "left over";
        EXPECT_EQ(0, bothWays(archiveOf(e)));
    }
}

TEST(ZipDecode, DamagedDataIsFoundWholeOrStreamedAlike)
{
    for (uint64_t size : {uint64_t{100}, uint64_t{ZIP_DECODE_BUFFER} + 1}) {
        SCOPED_TRACE(size);
        const Entry e = entryOf(size);
        Entry crc = e;
        crc.crcDelta = 1;
        EXPECT_EQ(ZIP_BAD_CRC, bothWays(archiveOf(crc)));
        crc.method = ZIP_METHOD_STORED;
        EXPECT_EQ(ZIP_BAD_CRC, bothWays(archiveOf(crc)));
        Builder b;
        const Bytes z = archiveOf(e, &b);
        // The stream makes fewer or more bytes than the entry's size.
        for (int delta : {1, -1}) {
            Bytes bad = z;
            set32(bad, b.directoryOffset + 24, static_cast<uint32_t>(size + delta));
            set32(bad, b.localOffsets[0] + 22, static_cast<uint32_t>(size + delta));
            EXPECT_EQ(ZIP_DAMAGED_DATA, bothWays(bad)) << delta;
        }
        // A byte of the stream changed; the first block's type made invalid.
        const size_t data = b.localOffsets[0] + 30 + e.name.size();
        Bytes flipped = z;
        flipped[data + (b.directoryOffset - data) / 2] ^= 0x55;
        const int r = bothWays(flipped);
        EXPECT_TRUE(r == ZIP_DAMAGED_DATA || r == ZIP_BAD_CRC) << r;
        Bytes invalid = z;
        invalid[data] |= 0x06;
        EXPECT_EQ(ZIP_DAMAGED_DATA, bothWays(invalid));
        // The stream cut short.
        const Bytes stream = Builder::deflate(e.content);
        Entry cut = e;
        cut.claimedSize = size;
        cut.stored.assign(stream.begin(), stream.begin() + stream.size() / 2);
        EXPECT_EQ(ZIP_DAMAGED_DATA, bothWays(archiveOf(cut)));
    }
}

TEST(ZipDecode, WholeDataReachesTheOutputOnlyWhenSound)
{
    for (uint64_t size : {uint64_t{100}, uint64_t{ZIP_DECODE_BUFFER} + 1}) {
        SCOPED_TRACE(size);
        Entry e = entryOf(size);
        e.crcDelta = 1;
        Kept whole;
        whole.withRoom = true;
        EXPECT_EQ(ZIP_BAD_CRC, decodeFirst(archiveOf(e), whole));
        EXPECT_EQ(0, whole.pieces);
        // An output that stops the decoding.
        e.crcDelta = 0;
        Kept stopping;
        stopping.stopAt = 0;
        EXPECT_EQ(-1, decodeFirst(archiveOf(e), stopping));
    }
}

TEST(ZipDecode, EachMethodsSizes)
{
    EXPECT_EQ(ZIP_FINE, zipMethodProblem(ZIP_METHOD_STORED, 7, 7));
    EXPECT_EQ(ZIP_BAD_STORED_SIZE, zipMethodProblem(ZIP_METHOD_STORED, 7, 8));
    EXPECT_EQ(ZIP_FINE, zipMethodProblem(ZIP_METHOD_DEFLATED, 1, 1032));
    EXPECT_EQ(ZIP_DAMAGED_DATA, zipMethodProblem(ZIP_METHOD_DEFLATED, 1, 2064));
    EXPECT_EQ(ZIP_BAD_METHOD, zipMethodProblem(12, 7, 7)); // bzip2
}

} // namespace
